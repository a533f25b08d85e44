// libFuzzer target: every input is a whole wave file, written to a temp
// file and run through the tool in-process with a few command lines. The
// last bytes of the input pick the times, resolution and magnification from
// tables of ordinary and edge values, so the fuzzer can steer them too.
// Output goes to /dev/null: formatting still runs, nothing piles up. The
// scan never goes past the frames the file holds, so the work per input is
// bounded by its size whatever the times say.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "main.hpp"

namespace {

constexpr std::array kTimes = {
    "0",   "-0",   "0.01", "0.5",   "1",    "2.5",   "1e9", "-1",
    "-1e-30", "1e30", "3.5e38", "inf", "-inf", "nan", "18446744073709551616",
    "x"};
constexpr std::array kResolutions = {
    "0",          "1",           "2",          "3",
    "-1",         "4095",        "4097",       "44100",
    "2147483647", "-2147483648", "4294967296", "99999999999999999999",
    "nan",        "x"};
constexpr std::array kMagnifications = {
    "1",   "0",   "-1",   "0.5",  "2",    "256",   "256.5",
    "300", "nan", "inf",  "-inf", "1e-40", "1e300", "-0"};

template <std::size_t N>
const char* Pick(const std::array<const char*, N>& table, std::uint8_t byte) {
  return table[byte % N];
}

std::string TempPath() {
  const char* dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr;
  if (dir == nullptr) dir = std::getenv("TMPDIR");
  if (dir == nullptr) dir = "/tmp";
  return std::string(dir) + "/ostrel-fuzz-" + std::to_string(::getpid()) +
         ".wav";
}

const std::string& Path() {
  static const std::string path = TempPath();
  static const int registered = std::atexit([] { ::unlink(Path().c_str()); });
  static_cast<void>(registered);
  return path;
}

bool WriteFile(const std::string& path, const std::uint8_t* data,
               std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        0600);
  if (fd < 0) return false;
  std::size_t done = 0;
  while (done < size) {
    const ssize_t w = ::write(fd, data + done, size - done);
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  ::close(fd);
  return done == size;
}

void RunTool(std::initializer_list<const char*> args) {
  static const int dev_null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ostrel::Output out(dev_null);
  const std::vector<const char*> argv(args);
  ostrel::Run(argv, out);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string& path = Path();
  if (!WriteFile(path, data, size)) std::abort();
  std::array<std::uint8_t, 5> tail{};
  for (std::size_t k = 0; k < tail.size() && k < size; ++k) {
    tail[k] = data[size - 1 - k];
  }
  const char* file = path.c_str();
  RunTool({file, "0", "1e9"});  // the whole file, default window
  RunTool({file, "0", "1e9", Pick(kResolutions, tail[0]),
           Pick(kMagnifications, tail[1])});
  const char* start = Pick(kTimes, tail[2]);
  const char* stop = Pick(kTimes, tail[3]);
  const char* resolution = Pick(kResolutions, tail[4]);
  switch ((tail[1] >> 4) % 3) {
    case 0:
      RunTool({file, start, stop});
      break;
    case 1:
      RunTool({file, start, stop, resolution, Pick(kMagnifications, tail[0])});
      break;
    default:  // six arguments: the magnification is ignored
      RunTool({file, start, stop, resolution, "2", "extra"});
      break;
  }
  return 0;
}
