// The operating system's part on POSIX systems (Linux, the BSDs, macOS):
// file descriptors, poll, and signal handlers that wake the wait through
// a pipe of their own.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <limits>

#include "os.hpp"

namespace ostrel::os {
namespace {

// Offsets past 2 GiB and 4 GiB must reach the system whole; 32-bit builds
// get a 64-bit off_t from _FILE_OFFSET_BITS=64, which the build sets.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

constexpr auto kMaxOffset =
    static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());

int Fd(Handle handle) { return static_cast<int>(handle); }

constexpr std::array kStopSignals = {SIGINT, SIGTERM};

// The first stop signal caught while armed, 0 if none came.
volatile std::sig_atomic_t g_caught = 0;
// The write end of the wake-up pipe, -1 while disarmed. The handler
// writes a byte there, so that a poll that includes the read end returns
// whenever the signal comes: before the poll started, or during it.
volatile std::sig_atomic_t g_wake_write = -1;
int g_wake_read = -1;

// Each stop signal as Arm found it: whether the tool took it over (it was
// not ignored, and the handler went in), and its action before, which
// goes back when the instance goes. Written only while both stop signals
// are blocked and the handler is not installed, so the handler reads it
// whole.
struct Taken {
  bool taken = false;
  struct sigaction before {};
};
std::array<Taken, kStopSignals.size()> g_taken{};
// The signal that StopSignals::Status last told the run of, 0 for none.
int g_reported = 0;
void (*g_seam)() = nullptr;

// Sets a stop signal's action as Arm and ~StopSignals do, then runs the
// tests' seam. False if it could not be set.
bool SetStopAction(int signal, const struct sigaction& action) {
  const bool set = ::sigaction(signal, &action, nullptr) == 0;
  if (g_seam != nullptr) g_seam();
  return set;
}

// Blocks both stop signals while it lives, so that the handler never sees
// them half installed or half restored: a signal that comes meanwhile
// waits, and is taken with the actions as they are once the mask is back.
class StopSignalsBlocked {
 public:
  StopSignalsBlocked() {
    sigset_t both;
    sigemptyset(&both);
    for (const int signal : kStopSignals) sigaddset(&both, signal);
    ::sigprocmask(SIG_BLOCK, &both, &before_);
  }
  ~StopSignalsBlocked() { ::sigprocmask(SIG_SETMASK, &before_, nullptr); }
  StopSignalsBlocked(const StopSignalsBlocked&) = delete;
  StopSignalsBlocked& operator=(const StopSignalsBlocked&) = delete;

 private:
  sigset_t before_{};
};

extern "C" void OnStopSignal(int signal) {
  const int saved = errno;
  if (g_caught == 0) g_caught = signal;
  // The input ends at the first stop signal; from then on a second one,
  // of either kind, ends the tool at once, for a run that does not end
  // fast enough (a reader that has stalled, say). So every signal the
  // tool took over goes back to its default action; one the caller
  // ignored was never taken, and stays ignored. While this handler runs
  // the other stop signal waits (sa_mask), and it finds the default
  // action when it comes.
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  for (std::size_t k = 0; k < kStopSignals.size(); ++k) {
    if (g_taken[k].taken) ::sigaction(kStopSignals[k], &fallback, nullptr);
  }
  if (g_wake_write >= 0) {
    const char byte = 0;
    [[maybe_unused]] const ssize_t ignored = ::write(g_wake_write, &byte, 1);
  }
  errno = saved;
}

// pipe2 is not everywhere (macOS lacks it); nothing runs another program
// meanwhile, so setting the flags afterwards is as good.
bool MakeWakePipe() {
  int fds[2];
  if (::pipe(fds) != 0) return false;
  for (const int fd : fds) {
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    // A full pipe drops the handler's byte rather than blocking it; the
    // bytes already there wake the poll all the same.
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
  }
  g_wake_read = fds[0];
  g_wake_write = fds[1];
  return true;
}

enum class Wait { kReadable, kStopped, kCannotTell };

// Waits until the input can be read or a stop signal has come.
Wait WaitReadable(int fd) {
  for (;;) {
    if (g_caught != 0) return Wait::kStopped;
    // A negative descriptor is skipped: while disarmed only the input
    // counts.
    std::array<pollfd, 2> fds = {
        pollfd{.fd = fd, .events = POLLIN, .revents = 0},
        pollfd{.fd = g_wake_read, .events = POLLIN, .revents = 0}};
    const int count = ::poll(fds.data(), fds.size(), -1);
    if (count < 0) {
      if (errno == EINTR) continue;
      return Wait::kCannotTell;
    }
    if (fds[1].revents != 0 || g_caught != 0) return Wait::kStopped;
    // Some systems' poll does not serve devices (macOS says POLLNVAL
    // for them): the read itself has to wait.
    if ((fds[0].revents & POLLNVAL) != 0) return Wait::kCannotTell;
    if (fds[0].revents != 0) return Wait::kReadable;
  }
}

}  // namespace

std::vector<std::string> Arguments(int argc, char** argv) {
  if (argc < 1) return {};
  return {argv + 1, argv + argc};
}

std::string ErrorText(Error error) { return std::strerror(error); }

Handle StandardOutput() { return STDOUT_FILENO; }

bool OpenInput(const std::string& name, OpenedInput& opened) {
  int fd = STDIN_FILENO;
  if (name != "-") {
    // No O_NONBLOCK: the open of a FIFO waits for its writer.
    fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0) {  // a closed standard input
    if (fd != STDIN_FILENO) ::close(fd);
    return false;
  }
  opened.handle = fd;
  opened.owned = fd != STDIN_FILENO;
  // The file's type decides, not a trial read: a positioned read of no
  // bytes fails on a terminal with another error on some systems.
  opened.positioned = S_ISREG(st.st_mode) || S_ISBLK(st.st_mode);
  const int flags = ::fcntl(fd, F_GETFL);
  opened.readable = flags < 0 || (flags & O_ACCMODE) != O_WRONLY;
  return true;
}

void Close(Handle handle) { ::close(Fd(handle)); }

std::uint64_t Length(Handle handle) {
  // Put back where it was: standard input's position is not ours to move.
  const int fd = Fd(handle);
  const off_t here = ::lseek(fd, 0, SEEK_CUR);
  const off_t end = ::lseek(fd, 0, SEEK_END);
  if (here >= 0) ::lseek(fd, here, SEEK_SET);
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

void WillReadInOrder([[maybe_unused]] Handle handle,
                     [[maybe_unused]] std::uint64_t offset) {
#ifdef OSTREL_HAVE_POSIX_FADVISE
  if (offset <= kMaxOffset) {
    ::posix_fadvise(Fd(handle), static_cast<off_t>(offset), 0,
                    POSIX_FADV_SEQUENTIAL);
  }
#endif
}

ReadResult ReadAt(Handle handle, std::uint64_t offset, std::uint8_t* dst,
                  std::size_t n) {
  if (offset > kMaxOffset) return {};
  for (;;) {
    const ssize_t r =
        ::pread(Fd(handle), dst, n, static_cast<off_t>(offset));
    if (r >= 0) return {.bytes = static_cast<std::size_t>(r)};
    if (errno != EINTR) return {.error = errno};
  }
}

Ready BytesReady(const OpenedInput& input) {
  if (!input.readable) return Ready::kYes;
  pollfd ready{.fd = Fd(input.handle), .events = POLLIN, .revents = 0};
  const int count = ::poll(&ready, 1, 0);
  if (count == 0 || (count < 0 && errno == EINTR)) return Ready::kNo;
  if (count < 0 || (ready.revents & POLLNVAL) != 0) return Ready::kCannotTell;
  return Ready::kYes;
}

ReadResult ReadSome(const OpenedInput& input, std::uint8_t* dst,
                    std::size_t n, bool ready) {
  const int fd = Fd(input.handle);
  for (;; ready = false) {
    if (g_caught != 0) return {.stopped = true};
    // A poll that has just said ready needs no second one: the read
    // returns at once.
    if (!ready && input.readable && WaitReadable(fd) == Wait::kStopped) {
      return {.stopped = true};
    }
    const ssize_t r = ::read(fd, dst, n);
    if (r >= 0) return {.bytes = static_cast<std::size_t>(r)};
    // EINTR: the loop looks at the signal. EAGAIN: standard input left
    // non-blocking by whoever started us, and poll said ready too soon.
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
      return {.error = errno};
    }
  }
}

Error WriteAll(Handle handle, const char* p, std::size_t n) {
  const int fd = Fd(handle);
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w > 0) {
      p += w;
      n -= static_cast<std::size_t>(w);
    } else if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // Standard output left non-blocking by whoever started us: wait
      // for room as a blocking write would. A poll that fails (other than
      // by a signal) would fail again at once, so its error is the
      // write's: retrying would spin.
      pollfd room{.fd = fd, .events = POLLOUT, .revents = 0};
      if (::poll(&room, 1, -1) < 0 && errno != EINTR) return errno;
    } else if (w == 0 || errno != EINTR) {
      return w == 0 ? EIO : errno;
    }
  }
  return 0;
}

void WriteStandardError(std::string_view text) {
  [[maybe_unused]] const Error ignored =
      WriteAll(STDERR_FILENO, text.data(), text.size());
}

bool StopRequested() { return g_caught != 0; }

StopSignals::~StopSignals() {
  if (!armed_) return;
  {
    const StopSignalsBlocked blocked;
    for (std::size_t k = 0; k < kStopSignals.size(); ++k) {
      if (g_taken[k].taken) {
        SetStopAction(kStopSignals[k], g_taken[k].before);
      }
      g_taken[k] = {};
    }
    const int wake_write = g_wake_write;
    g_wake_write = -1;
    if (wake_write >= 0) {
      ::close(wake_write);
      ::close(g_wake_read);
      g_wake_read = -1;
    }
    // A signal caught after the run read Status() is in no status: raised
    // again, it waits until the mask is back and then has the action it
    // had before Arm, as if it had come just now (by default, it ends the
    // process). One the run reported ends it through EndProcess.
    if (g_caught != g_reported) ::raise(g_caught);
    g_caught = 0;
  }
}

void StopSignals::Arm() {
  g_caught = 0;
  g_reported = 0;
  // Without the pipe the signal still ends a wait, as EINTR, only not one
  // that has not started yet.
  MakeWakePipe();
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  // No SA_RESTART: a read or write that waits returns EINTR, and the loop
  // around it looks at the signal. Both stop signals wait while the
  // handler runs, so the second finds the default action it set.
  sigemptyset(&action.sa_mask);
  for (const int signal : kStopSignals) sigaddset(&action.sa_mask, signal);
  // Which signals are the tool's is decided here, once, with both held
  // off: a signal that comes meanwhile is taken by the handler once both
  // are in, as the run's first.
  const StopSignalsBlocked blocked;
  for (std::size_t k = 0; k < kStopSignals.size(); ++k) {
    Taken& t = g_taken[k];
    t.taken = ::sigaction(kStopSignals[k], nullptr, &t.before) == 0 &&
              t.before.sa_handler != SIG_IGN &&
              SetStopAction(kStopSignals[k], action);
  }
  armed_ = true;
}

void SetStopSignalSeamForTesting(void (*seam)()) { g_seam = seam; }

int StopSignals::Status() const {
  g_reported = armed_ ? g_caught : 0;
  return g_reported != 0 ? 128 + g_reported : 0;
}

int EndProcess(int status) {
  for (const int signal : kStopSignals) {
    if (status != 128 + signal) continue;
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    ::sigaction(signal, &action, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    ::sigprocmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
  }
  return status;
}

}  // namespace ostrel::os
