// Live captures: a writer sends a header, then one second of audio at a
// time, and sends the next only once the line for the last one has arrived,
// on a pipe and on a terminal. The tool must show each line before it waits
// for more, end on SIGINT or SIGTERM with the lines and peaks of what it
// read and then die by that signal, as a shell expects of it, and print the
// same bytes as for the whole stream at once.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "os.hpp"
#include "wave_builder.hpp"

namespace {

// The seam of the test of the window in which the stop signals' handlers
// go in or come out: once g_raise_after more of the tool's changes of a
// stop signal's action are done, g_raise is raised.
int g_raise_after = 0;
int g_raise = 0;

using wb::Bytes;

// A pipe whose ends no child inherits. macOS has no pipe2, which sets the
// flag as it makes the pipe; setting it just after is as safe here, as the
// tests start their children from this one thread.
int OpenPipe(int fds[2]) {
  if (::pipe(fds) != 0) return -1;
  ::fcntl(fds[0], F_SETFD, FD_CLOEXEC);
  ::fcntl(fds[1], F_SETFD, FD_CLOEXEC);
  return 0;
}

// What a pipe holds before its writer must wait: Linux tells; macOS's
// pipes grow to 64 KiB at most.
std::size_t PipeCapacity(int fd) {
#ifdef F_GETPIPE_SZ
  return static_cast<std::size_t>(::fcntl(fd, F_GETPIPE_SZ));
#else
  static_cast<void>(fd);
  return 64 * 1024;
#endif
}

// Starts the built tool with the given arguments and standard streams, and
// SIGINT ignored if asked, as a shell leaves it for a command run with &.
// The runner script execs it, so the process and its signals are the tool's.
pid_t StartTool(const std::vector<std::string>& args, int in, int out, int err, bool ignore_sigint = false) {
  std::vector<std::string> words{OSTREL_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (const std::string& a : words) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  const pid_t pid = ::fork();
  if (pid == 0) {
    // The defaults, whatever the test inherited (a job run with & ignores
    // SIGINT) or does (it ignores SIGPIPE while it writes).
    for (const int s : {SIGINT, SIGTERM, SIGPIPE}) ::signal(s, SIG_DFL);
    if (ignore_sigint) ::signal(SIGINT, SIG_IGN);
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
    ASSERT_GT(w, 0) << "writing to the tool: " << std::strerror(errno);
    p += w;
    n -= static_cast<std::size_t>(w);
  }
}

// Reads from fd into text until it holds `lines` lines (false if that has
// not happened `within` the time) or, with lines 0, until the end. A slow
// reader pauses before each read.
bool ReadLines(int fd, std::string& text, std::size_t lines, std::chrono::seconds within = std::chrono::seconds(10),
               std::chrono::milliseconds pause = {}) {
  const auto deadline = std::chrono::steady_clock::now() + within;
  while (lines == 0 || static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')) < lines) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    pollfd p{.fd = fd, .events = POLLIN, .revents = 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0) return false;
    std::this_thread::sleep_for(pause);
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
      EXPECT_EQ(OpenPipe(fds), 0);
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

// How the process ended: its exit status, or minus the signal that killed
// it. One still running after 10 s is killed (-SIGKILL): a hang fails.
int Status(pid_t pid) {
  int raw = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (::waitpid(pid, &raw, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &raw, 0);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
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

// How a capture goes: `signal` (0 for none) is sent once the line for
// second `signal_after` has arrived, to a tool that may have been started
// with SIGINT ignored; then the input is closed.
struct Ending {
  const char* name;
  int signal = 0, signal_after = 3;
  bool ignore_sigint = false;
  int status = 0;
};

// A live capture of `seconds` seconds; what it printed, on standard error
// too, and its status.
Outcome Capture(bool terminal, int seconds, const Ending& ending, Bytes& sent) {
  const std::vector<std::string> args = {"-", "0", "100", std::to_string(kRate)};
  Sink sink(terminal);
  int in[2], err[2];
  EXPECT_EQ(OpenPipe(in), 0);
  EXPECT_EQ(OpenPipe(err), 0);
  // A tool that ended early must fail the test, not kill it.
  const auto old_sigpipe = ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = StartTool(args, in[0], sink.tool, err[1], ending.ignore_sigint);
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
    if (ending.signal != 0 && k + 1 == ending.signal_after) ::kill(pid, ending.signal);
  }
  ::close(in[1]);
  ::signal(SIGPIPE, old_sigpipe);
  ReadLines(sink.test, o.out, 0);
  ReadLines(err[0], o.err, 0);
  ::close(err[0]);
  o.status = Status(pid);
  return o;
}

TEST(Live, EachLineBeforeTheNextSecondOnAPipeAndATerminal) {
  // A signal ends the input, and the tool then dies by it (a shell sees
  // 130 or 143); one that the tool's starter ignores changes nothing.
  constexpr Ending kCases[] = {
      {.name = "end of input"},
      {.name = "SIGINT", .signal = SIGINT, .status = -SIGINT},
      {.name = "SIGTERM", .signal = SIGTERM, .status = -SIGTERM},
      {.name = "SIGINT ignored", .signal = SIGINT, .signal_after = 1, .ignore_sigint = true},
  };
  for (const bool terminal : {false, true}) {
    for (const Ending& c : kCases) {
      Bytes sent;
      const Outcome live = Capture(terminal, 3, c, sent);
      Outcome expected = AtOnce(sent, {"-", "0", "100", std::to_string(kRate)});
      // Three lines, the summary; the signal changes only how the run ends.
      EXPECT_EQ(std::count(expected.out.begin(), expected.out.end(), '\n'), 6);
      expected.status = c.status;
      EXPECT_EQ(live, expected) << c.name << (terminal ? " on a terminal" : " through a pipe");
    }
  }
}

TEST(Live, BeforeTheScanASignalKillsAsUsual) {
  // Only part of the header has come: the tool waits in the probe for the
  // rest of it, where SIGINT still has its default action.
  int in[2], out[2];
  ASSERT_EQ(OpenPipe(in), 0);
  ASSERT_EQ(OpenPipe(out), 0);
  const pid_t pid = StartTool({"-", "0", "100"}, in[0], out[1], out[1]);
  ::close(in[0]);
  ::close(out[1]);
  const Bytes header = Header();
  WriteAll(in[1], header.data(), 20);
  std::string text;
  EXPECT_TRUE(ReadLines(out[0], text, 1));
  ::kill(pid, SIGINT);
  EXPECT_EQ(Status(pid), -SIGINT);
  ::close(in[1]);
  ::close(out[0]);
}

// A stop signal is never lost, whenever it comes: in a child that arms the
// stop signals, and reads the status and disarms them as a run does, the
// seam raises one at each step of putting the handlers in place or taking
// them down. A second signal once armed must end the process at once, a
// first one later on must end it by that signal.
TEST(Live, NoStopSignalIsLostWhileTheHandlersGoInOrComeOut) {
  const struct {
    int after_call = 0, signal = 0;  // changes 1, 2 install SIGINT's and SIGTERM's handler, 3, 4 restore
    int second = 0;                  // raised once armed
    int late = 0;                    // raised once the status is read
    int dies_by;
  } rows[] = {
      {.after_call = 1, .signal = SIGINT, .second = SIGTERM, .dies_by = SIGTERM},
      {.after_call = 1, .signal = SIGTERM, .second = SIGINT, .dies_by = SIGINT},
      {.after_call = 2, .signal = SIGINT, .second = SIGTERM, .dies_by = SIGTERM},
      {.late = SIGINT, .dies_by = SIGINT},
      {.after_call = 3, .signal = SIGTERM, .dies_by = SIGTERM},
      {.after_call = 4, .signal = SIGINT, .dies_by = SIGINT},
  };
  for (const auto& r : rows) {
    const pid_t pid = ::fork();
    if (pid == 0) {
      for (const int s : {SIGINT, SIGTERM}) ::signal(s, SIG_DFL);
      g_raise_after = r.after_call;
      g_raise = r.signal;
      ostrel::os::SetStopSignalSeamForTesting([] {
        if (g_raise_after > 0 && --g_raise_after == 0) ::raise(g_raise);
      });
      int status = 0;
      {
        ostrel::os::StopSignals stop;
        stop.Arm();
        if (r.second != 0) ::raise(r.second);
        status = stop.Status();
        if (r.late != 0) ::raise(r.late);
      }
      ::_exit(ostrel::os::EndProcess(status));
    }
    EXPECT_EQ(Status(pid), -r.dies_by) << "signal " << r.signal << " after call " << r.after_call << ", then "
                                       << r.second << ", late " << r.late;
  }
}

// For outputs of thousands of lines: the first line that differs, not all.
void ExpectSameLong(const Outcome& live, const Outcome& expected) {
  EXPECT_EQ(std::pair(live.err, live.status), std::pair(expected.err, expected.status));
  const auto differs = static_cast<std::size_t>(
      std::mismatch(live.out.begin(), live.out.end(), expected.out.begin(), expected.out.end()).first - live.out.begin());
  const std::size_t at = differs == 0 ? 0 : live.out.rfind('\n', differs - 1) + 1;  // that line's start
  const auto line = [at](const std::string& s) { return s.substr(at, s.find('\n', at) - at); };
  EXPECT_TRUE(live.out == expected.out) << "line " << std::count(live.out.begin(), live.out.begin() + at, '\n') + 1
                                        << " is \"" << line(live.out) << "\", not \"" << line(expected.out) << '"';
}

// The tests that watch the tool's state read it from /proc, which macOS
// lacks.
bool HasProc() { return ::access("/proc/self/status", R_OK) == 0; }

// Whether `holds` comes true within 5 s, asked every millisecond.
template <class Condition>
bool Within5s(Condition holds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  for (; std::chrono::steady_clock::now() < deadline; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
    if (holds()) return true;
  }
  return false;
}

// Whether the tool comes to sleep with lines in the pipe that `fd` reads.
// With more lines than the pipe holds and its reader idle, that is the
// tool blocked writing the rest: it waits for nothing else.
bool BlockedWriting(pid_t pid, int fd) {
  return Within5s([&] {
    int queued = 0;
    ::ioctl(fd, FIONREAD, &queued);
    const std::string stat = ReadFile("/proc/" + std::to_string(pid) + "/stat");
    const std::size_t state = stat.rfind(')') + 2;  // past the command's name
    return queued > 0 && state < stat.size() && stat[state] == 'S';
  });
}

// Whether no signal is left pending for the process: the one just sent
// has been taken.
bool Delivered(pid_t pid) {
  return Within5s([&] {
    const std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    return status.find("SigPnd:\t0000000000000000") != std::string::npos &&
           status.find("ShdPnd:\t0000000000000000") != std::string::npos;
  });
}

TEST(Live, SignalsWhileTheLinesWaitForTheReader) {
  // Windows of one frame make some 150 KB of lines of one second, more than
  // the pipe holds, and nobody reads them yet: with the input dry (its
  // writer stays open), the tool blocks writing. One signal ends the input,
  // and once the reader has drained the pipe the tool ends with every line
  // of what it read, by that signal. A second one, of either kind, must end
  // it where it waits, by the second. A signal ignored from the start stays
  // ignored.
  if (!HasProc()) GTEST_SKIP() << "no /proc (macOS) to tell when the tool sleeps in its write and takes a signal";
  struct Case {
    const char* name;
    int first, second = 0;
    bool ignore_sigint = false, drained = false;  // drained: ends only once the pipe is read
    int status;
  };
  constexpr Case kCases[] = {
      {.name = "SIGTERM", .first = SIGTERM, .drained = true, .status = -SIGTERM},
      {.name = "SIGINT then SIGTERM", .first = SIGINT, .second = SIGTERM, .status = -SIGTERM},
      {.name = "SIGTERM then SIGINT", .first = SIGTERM, .second = SIGINT, .status = -SIGINT},
      {.name = "SIGINT twice", .first = SIGINT, .second = SIGINT, .status = -SIGINT},
      {.name = "SIGTERM, then SIGINT ignored", .first = SIGTERM, .second = SIGINT, .ignore_sigint = true,
       .drained = true, .status = -SIGTERM},
  };
  const std::vector<std::string> args = {"-", "0", "100", "1"};
  Bytes sent = Header();
  const Bytes second = Second(0);
  sent.insert(sent.end(), second.begin(), second.end());
  const Outcome expected = AtOnce(sent, args);
  for (const Case& c : kCases) {
    int in[2], out[2], err[2];
    ASSERT_EQ(OpenPipe(in), 0);
    ASSERT_EQ(OpenPipe(out), 0);
    ASSERT_EQ(OpenPipe(err), 0);
    ASSERT_GT(expected.out.size(), PipeCapacity(out[0]));
    WriteAll(in[1], sent.data(), sent.size());
    const pid_t pid = StartTool(args, in[0], out[1], err[1], c.ignore_sigint);
    for (const int fd : {in[0], out[1], err[1]}) ::close(fd);
    EXPECT_TRUE(BlockedWriting(pid, out[0])) << c.name << ": the tool never blocked writing";
    ::kill(pid, c.first);
    if (c.second != 0) {
      EXPECT_TRUE(Delivered(pid)) << c.name;
      ::kill(pid, c.second);
    }
    Outcome live{};
    if (!c.drained) live.status = Status(pid);
    ReadLines(out[0], live.out, 0);
    ReadLines(err[0], live.err, 0);
    if (c.drained) {
      live.status = Status(pid);
      ExpectSameLong(live, Outcome{.out = expected.out, .err = "", .status = c.status});
    } else {
      EXPECT_EQ(live.status, c.status) << c.name;
    }
    for (const int fd : {in[1], out[0], err[0]}) ::close(fd);
  }
}

TEST(Live, NonBlockingStandardOutputWaitsForASlowReader) {
  // Non-blocking is a flag of the pipe's write end, shared with whoever
  // holds it. Windows of one frame make some 300 KB of lines, far more than
  // the pipe holds, and the reader takes them slowly.
  const std::vector<std::string> args = {"-", "0", "100", "1"};
  Bytes stream = Header();
  for (int k = 0; k < 2; ++k) {
    const Bytes second = Second(k);
    stream.insert(stream.end(), second.begin(), second.end());
  }
  int out[2], err[2];
  ASSERT_EQ(OpenPipe(out), 0);
  ASSERT_EQ(OpenPipe(err), 0);
  ASSERT_EQ(::fcntl(out[1], F_SETFL, O_NONBLOCK), 0);
  const int in = ::open(wb::Write(stream).c_str(), O_RDONLY | O_CLOEXEC);
  const pid_t pid = StartTool(args, in, out[1], err[1]);
  ::close(in);
  ::close(out[1]);
  ::close(err[1]);
  Outcome live{};
  EXPECT_TRUE(ReadLines(out[0], live.out, 0, std::chrono::seconds(10), std::chrono::milliseconds(2)));
  ReadLines(err[0], live.err, 0);
  live.status = Status(pid);
  ExpectSameLong(live, AtOnce(stream, args));
  ::close(out[0]);
  ::close(err[0]);
}

}  // namespace
