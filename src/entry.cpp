// The process entry: hands the arguments to the run, and ends the process
// as the run's status says.
#include <algorithm>
#include <string>
#include <vector>

#include "main.hpp"
#include "os.hpp"

int main(int argc, char** argv) {
  ostrel::Output out(ostrel::os::StandardOutput());
  const std::vector<std::string> args = ostrel::os::Arguments(argc, argv);
  std::vector<const char*> pointers(args.size());
  std::transform(args.begin(), args.end(), pointers.begin(),
                 [](const std::string& arg) { return arg.c_str(); });
  return ostrel::os::EndProcess(ostrel::Run(pointers, out));
}
