// libFuzzer target: every input is a whole wave file, written to a temp
// file and run through the tool in-process with a few command lines, and
// fed once more as a stream, through a pipe, in pieces. The last bytes of
// the input pick the times, resolution and magnification from tables of
// ordinary and edge values, and the sizes of the pieces, so the fuzzer can
// steer them too.
// Output goes to /dev/null: formatting still runs, nothing piles up. The
// scan never goes past the frames the file holds, so the work per input is
// bounded by its size whatever the times say.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <initializer_list>
#include <string>
#include <vector>

#include "input.hpp"
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

bool WriteAll(int fd, const std::uint8_t* data, std::size_t size) {
  std::size_t done = 0;
  while (done < size) {
    const ssize_t w = ::write(fd, data + done, size - done);
    if (w <= 0) break;
    done += static_cast<std::size_t>(w);
  }
  return done == size;
}

bool WriteFile(const std::string& path, const std::uint8_t* data,
               std::size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC,
                        0600);
  if (fd < 0) return false;
  const bool written = WriteAll(fd, data, size);
  ::close(fd);
  return written;
}

void RunTool(std::initializer_list<const char*> args) {
  static const int dev_null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ostrel::Output out(dev_null);
  const std::vector<const char*> argv(args);
  ostrel::Run(argv, out);
}

// Runs the tool on the bytes as a stream that arrives in pieces: a piece
// goes into the pipe only when the tool is about to wait for more, so the
// pipe is empty then and the tool sees exactly that piece, the same way on
// every run. Sizes run from 1 byte to 16 KiB, drawn from `seed`; once the
// bytes run out the pipe is closed. This reaches the stream's kept head,
// its skip and look-back, and frames cut between pieces.
void RunStream(const std::uint8_t* data, std::size_t size, std::uint32_t seed,
               const char* start, const char* stop, const char* resolution) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) std::abort();
  std::size_t at = 0;
  std::uint32_t state = seed;
  ostrel::Input input;
  input.BeforeWaiting([&] {
    if (fds[1] < 0) return;
    if (at == size) {
      ::close(fds[1]);
      fds[1] = -1;
      return;
    }
    state = state * 1103515245U + 12345U;
    const std::size_t limit = std::size_t{1} << ((state >> 16) % 15);
    const std::size_t piece = std::min(size - at, 1 + (state >> 8) % limit);
    if (!WriteAll(fds[1], data + at, piece)) std::abort();
    at += piece;
  });
  static const int dev_null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ostrel::Output out(dev_null);
  const std::string name = "/proc/self/fd/" + std::to_string(fds[0]);
  const std::vector<const char*> argv = {name.c_str(), start, stop, resolution};
  ostrel::Run(argv, input, out);
  if (fds[1] >= 0) ::close(fds[1]);
  ::close(fds[0]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data,
                                      std::size_t size) {
  const std::string& path = Path();
  if (!WriteFile(path, data, size)) std::abort();
  std::array<std::uint8_t, 7> tail{};
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
  // The same bytes as a stream: the whole of it, or the interval above
  // (a start inside it skips what lies before).
  const std::uint32_t seed = tail[5] | std::uint32_t{tail[6]} << 8;
  if ((tail[6] & 1) == 0) {
    RunStream(data, size, seed, "0", "1e9", Pick(kResolutions, tail[0]));
  } else {
    RunStream(data, size, seed, start, stop, resolution);
  }
  return 0;
}
