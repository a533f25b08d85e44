// Live captures: a writer sends a header, then one second of audio at a
// time, and sends the next only once the line for the last one has arrived,
// on a pipe and on a terminal. The tool must show each line before it waits
// for more, end on SIGINT or SIGTERM with the lines and peaks of what it
// read, and print the same bytes as for the whole stream at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "wave_builder.hpp"

namespace {

using wb::Bytes;

// Starts the built tool with the given arguments and standard streams.
pid_t StartTool(const std::vector<std::string>& args, int in, int out, int err) {
  std::vector<char*> argv{const_cast<char*>(OSTREL_BINARY)};
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in, STDIN_FILENO);
    ::dup2(out, STDOUT_FILENO);
    ::dup2(err, STDERR_FILENO);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  return pid;
}

// 8000 frames a second of 16-bit mono; second k is a tone of amplitude
// 3000 (k + 1), so that every line and the peak depend on which seconds
// were read. The header's data size is all ones, as a capture writes it.
constexpr int kRate = 8000;
Bytes Header() {
  Bytes h = wb::Wave{.rate = kRate, .declared = 0xFFFFFFFF}.Build();
  return h;
}
Bytes Second(int k) {
  std::vector<std::int64_t> v;
  for (int i = 0; i < kRate; ++i) v.push_back(std::lround(3000.0 * (k + 1) * std::sin(0.3 * i)));
  return wb::Pack(2, v);
}

void WriteAll(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    ASSERT_GT(w, 0);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Reads from fd into text until it holds `lines` lines (false if that has
// not happened within 10 s) or, with lines 0, until the end.
bool ReadLines(int fd, std::string& text, std::size_t lines) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (lines == 0 || static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    char buffer[4096];
    const ssize_t r = ::read(fd, buffer, sizeof buffer);
    if (r <= 0) return lines == 0;  // a terminal whose other side closed says EIO
    text.append(buffer, static_cast<std::size_t>(r));
  }
  return true;
}

// Standard output for the tool: a pipe, or a terminal in raw mode (no
// newline translation, so its bytes are the tool's own).
struct Sink {
  int tool = -1, test = -1;
  explicit Sink(bool terminal) {
    if (!terminal) {
      int fds[2];
      EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
      test = fds[0];
      tool = fds[1];
      return;
    }
    test = ::posix_openpt(O_RDWR | O_NOCTTY);
    EXPECT_GE(test, 0);
    ::fcntl(test, F_SETFD, FD_CLOEXEC);
    EXPECT_EQ(::grantpt(test), 0);
    EXPECT_EQ(::unlockpt(test), 0);
    tool = ::open(::ptsname(test), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    EXPECT_EQ(::tcgetattr(tool, &raw), 0);
    ::cfmakeraw(&raw);
    EXPECT_EQ(::tcsetattr(tool, TCSANOW, &raw), 0);
  }
  Sink(const Sink&) = delete;
  Sink& operator=(const Sink&) = delete;
  ~Sink() {
    if (tool >= 0) ::close(tool);
    ::close(test);
  }
};

struct Outcome {
  std::string out, err;
  int status;
  bool operator==(const Outcome&) const = default;
};
void PrintTo(const Outcome& o, std::ostream* os) { *os << testing::PrintToString(std::make_tuple(o.out, o.err, o.status)); }

std::string ReadFile(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY);
  ReadLines(fd, text, 0);
  ::close(fd);
  return text;
}

int Status(pid_t pid) {
  int raw = 0;
  ::waitpid(pid, &raw, 0);
  if (WIFSIGNALED(raw)) return -WTERMSIG(raw);
  return WEXITSTATUS(raw);
}

// The tool on the whole stream at once, as a file on standard input.
Outcome AtOnce(const Bytes& stream, const std::vector<std::string>& args) {
  const std::string in = wb::Write(stream);
  char out_path[] = "/tmp/ostrel_live_XXXXXX";
  const int out = ::mkostemp(out_path, O_CLOEXEC);
  const int in_fd = ::open(in.c_str(), O_RDONLY | O_CLOEXEC);
  const pid_t pid = StartTool(args, in_fd, out, out);
  const int status = Status(pid);
  ::close(in_fd);
  ::close(out);
  Outcome o{.out = ReadFile(out_path), .err = "", .status = status};
  ::unlink(out_path);
  return o;
}

// A live capture of `seconds` seconds, ended by closing its input (signal
// 0) or by the signal; what it printed, on standard error too, and its
// status.
Outcome Capture(bool terminal, int seconds, int signal, Bytes& sent) {
  const std::vector<std::string> args = {"-", "0", "100", std::to_string(kRate)};
  Sink sink(terminal);
  int in[2], err[2];
  EXPECT_EQ(::pipe2(in, O_CLOEXEC), 0);
  EXPECT_EQ(::pipe2(err, O_CLOEXEC), 0);
  const pid_t pid = StartTool(args, in[0], sink.tool, err[1]);
  ::close(in[0]);
  ::close(err[1]);
  ::close(sink.tool);
  sink.tool = -1;
  Outcome o{};
  sent = Header();
  WriteAll(in[1], sent.data(), sent.size());
  // The banner comes before the tool waits for the first second.
  EXPECT_TRUE(ReadLines(sink.test, o.out, 1)) << "no banner before the audio";
  for (int k = 0; k < seconds; ++k) {
    const Bytes second = Second(k);
    // In two pieces, the first ending inside a frame: the part frame must
    // wait for its rest.
    constexpr std::size_t kCut = 8001;
    WriteAll(in[1], second.data(), kCut);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    WriteAll(in[1], second.data() + kCut, second.size() - kCut);
    sent.insert(sent.end(), second.begin(), second.end());
    EXPECT_TRUE(ReadLines(sink.test, o.out, static_cast<std::size_t>(k) + 2))
        << "no line for second " << k + 1 << " before the next one";
  }
  if (signal != 0) ::kill(pid, signal);
  ::close(in[1]);
  ReadLines(sink.test, o.out, 0);
  ReadLines(err[0], o.err, 0);
  ::close(err[0]);
  o.status = Status(pid);
  return o;
}

TEST(Live, EachLineBeforeTheNextSecondOnAPipeAndATerminal) {
  struct Case {
    const char* name;
    int signal, status;
  };
  constexpr Case kCases[] = {
      {.name = "end of input", .signal = 0, .status = 0},
      {.name = "SIGINT", .signal = SIGINT, .status = 130},
      {.name = "SIGTERM", .signal = SIGTERM, .status = 143},
  };
  for (const bool terminal : {false, true}) {
    for (const Case& c : kCases) {
      Bytes sent;
      const Outcome live = Capture(terminal, 3, c.signal, sent);
      Outcome expected = AtOnce(sent, {"-", "0", "100", std::to_string(kRate)});
      // Three lines, the summary; the signal changes the status only.
      EXPECT_EQ(std::count(expected.out.begin(), expected.out.end(), '\n'), 6);
      expected.status = c.status;
      EXPECT_EQ(live, expected) << c.name << (terminal ? " on a terminal" : " through a pipe");
    }
  }
}

TEST(Live, BeforeTheScanASignalKillsAsUsual) {
  // Only the header has come: the tool waits in the probe for the rest of
  // the head, where SIGINT still has its default action.
  int in[2], out[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(out, O_CLOEXEC), 0);
  const pid_t pid = StartTool({"-", "0", "100"}, in[0], out[1], out[1]);
  ::close(in[0]);
  ::close(out[1]);
  const Bytes header = Header();
  WriteAll(in[1], header.data(), header.size());
  std::string text;
  EXPECT_TRUE(ReadLines(out[0], text, 1));
  ::kill(pid, SIGINT);
  EXPECT_EQ(Status(pid), -SIGINT);
  ::close(in[1]);
  ::close(out[0]);
}

}  // namespace
