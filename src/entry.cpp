// The process entry: hands the arguments to the run and returns its status.
#include <unistd.h>

#include <cstddef>
#include <span>

#include "main.hpp"

int main(int argc, char** argv) {
  ostrel::Output out(STDOUT_FILENO);
  const std::span<const char* const> all(argv, static_cast<std::size_t>(argc));
  return ostrel::Run(all.subspan(all.empty() ? 0 : 1), out);
}
