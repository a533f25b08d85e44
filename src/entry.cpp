// The process entry: hands the arguments to the run, and ends the process
// as the run's status says.
#include <cstddef>
#include <span>

#include "main.hpp"
#include "os.hpp"

int main(int argc, char** argv) {
  ostrel::Output out(ostrel::os::StandardOutput());
  const std::span<const char* const> all(argv, static_cast<std::size_t>(argc));
  return ostrel::os::EndProcess(
      ostrel::Run(all.subspan(all.empty() ? 0 : 1), out));
}
