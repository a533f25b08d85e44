#include "input.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

namespace ostrel {
namespace {

// Offsets past 2 GiB and 4 GiB must reach the system whole; 32-bit builds
// get a 64-bit off_t from _FILE_OFFSET_BITS=64, which the build sets.
static_assert(sizeof(off_t) == 8, "build with _FILE_OFFSET_BITS=64");

// Skipped bytes pass through this many at a time: large enough that a
// skip costs what reading costs, small enough to stay off the heap.
constexpr std::size_t kSkipChunk = std::size_t{1} << 16;

}  // namespace

Input::~Input() {
  if (owned_) ::close(fd_);
}

bool Input::Open(const std::string& name) {
  if (name == "-") {
    fd_ = STDIN_FILENO;
  } else {
    // No O_NONBLOCK: the open of a FIFO waits for its writer.
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    owned_ = fd_ >= 0;
  }
  struct stat st {};
  if (fd_ < 0 || ::fstat(fd_, &st) != 0) return false;  // a closed stdin
  // A positioned read of no bytes fails with ESPIPE exactly where
  // positioned reads cannot work; everything else is read as a file, from
  // its start, wherever its position was left.
  std::uint8_t byte = 0;
  sequential_ = ::pread(fd_, &byte, 0, 0) < 0 && errno == ESPIPE;
  return true;
}

std::uint64_t Input::Length() const {
  if (sequential_) return std::numeric_limits<std::uint64_t>::max();
  // Put back where it was: standard input's position is not ours to move.
  const off_t here = ::lseek(fd_, 0, SEEK_CUR);
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  if (here >= 0) ::lseek(fd_, here, SEEK_SET);
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

void Input::WillReadInOrder([[maybe_unused]] std::uint64_t offset) {
  // Lets the kernel read further ahead; it matters when the file is not in
  // the page cache. Only advice: a failure (a stream, say) changes nothing,
  // and where the system has no such call (macOS) the reads go without it.
#ifdef OSTREL_HAVE_POSIX_FADVISE
  if (!sequential_ &&
      offset <= static_cast<std::uint64_t>(std::numeric_limits<off_t>::max())) {
    ::posix_fadvise(fd_, static_cast<off_t>(offset), 0, POSIX_FADV_SEQUENTIAL);
  }
#endif
}

std::size_t Input::ReadAt(std::uint64_t offset, std::uint8_t* dst,
                          std::size_t n) {
  return sequential_ ? ReadStream(offset, dst, n, n)
                     : ReadFile(offset, dst, n);
}

std::size_t Input::ReadArrived(std::uint64_t offset, std::uint8_t* dst,
                               std::size_t n, std::size_t unit) {
  const std::size_t got = sequential_ ? ReadStream(offset, dst, n, unit)
                                      : ReadFile(offset, dst, n);
  return got - got % unit;
}

std::span<const std::uint8_t> Input::KeptHead() {
  if (!sequential_) return {};
  ReadHead();
  return {head_.data(), head_size_};
}

void Input::BeforeWaiting(std::function<void()> hook) {
  if (before_wait_) {
    hook = [first = std::move(hook), then = std::move(before_wait_)] {
      first();
      then();
    };
  }
  before_wait_ = std::move(hook);
}

void Input::ReadHead() {
  if (head_read_) return;
  head_read_ = true;
  head_size_ = Take(head_.data(), head_.size(), head_.size());
}

std::size_t Input::ReadFile(std::uint64_t offset, std::uint8_t* dst,
                            std::size_t n) {
  constexpr auto kMaxOffset =
      static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  std::size_t done = 0;
  // Reads of a file are not interrupted; the flag is looked at once a block.
  if (EndedByFlag()) return 0;
  while (done < n && offset + done <= kMaxOffset) {
    const ssize_t r = ::pread(fd_, dst + done, n - done,
                              static_cast<off_t>(offset + done));
    if (r > 0) {
      done += static_cast<std::size_t>(r);
    } else if (r == 0) {
      break;  // the end of the file
    } else if (errno != EINTR) {
      if (read_error_ == 0) read_error_ = errno;
      break;
    }
  }
  return done;
}

std::size_t Input::ReadStream(std::uint64_t offset, std::uint8_t* dst,
                              std::size_t n, std::size_t least) {
  ReadHead();
  std::size_t done = 0;
  if (offset < head_size_) {
    done = std::min<std::size_t>(n, head_size_ - offset);
    std::memcpy(dst, head_.data() + offset, done);
  }
  std::uint64_t at = offset + done;
  if (done < n && at < taken_) {
    const std::uint64_t behind = taken_ - at;
    if (behind > back_size_) return done;  // read and gone
    const auto k = static_cast<std::size_t>(std::min<std::uint64_t>(n - done, behind));
    std::memcpy(dst + done, back_.data() + (back_size_ - behind), k);
    done += k;
    at += k;
  }
  if (done == n || (at > taken_ && !Skip(at - taken_))) return done;
  return done + Take(dst + done, n - done, least > done ? least - done : 0);
}

std::size_t Input::Take(std::uint8_t* dst, std::size_t n, std::size_t least) {
  std::size_t done = 0;
  while (done < n && !ended_) {
    if (EndedByFlag()) {
      ended_ = true;
      break;
    }
    // Whether a read would wait is asked only where the answer matters:
    // to return what has come, or to run the hooks before waiting.
    if (done >= least || before_wait_) {
      pollfd ready{.fd = fd_, .events = POLLIN, .revents = 0};
      const int count = ::poll(&ready, 1, 0);
      if (count < 0 && errno == EINTR) continue;  // the flag decides
      if (count == 0) {
        if (done >= least) break;
        before_wait_();
      }
    }
    const ssize_t r = ::read(fd_, dst + done, n - done);
    if (r > 0) {
      done += static_cast<std::size_t>(r);  // a pipe may deliver less
    } else if (r == 0) {
      ended_ = true;
    } else if (errno == EAGAIN || errno == EWOULDBLOCK) {
      // Standard input left non-blocking by whoever started us: wait for
      // bytes as a blocking read would.
      pollfd ready{.fd = fd_, .events = POLLIN, .revents = 0};
      ::poll(&ready, 1, -1);
    } else if (errno != EINTR) {
      read_error_ = errno;
      ended_ = true;
    }
  }
  taken_ += done;
  // Keep the last kLookback bytes taken, older ones first.
  if (done >= kLookback) {
    std::memcpy(back_.data(), dst + done - kLookback, kLookback);
    back_size_ = kLookback;
  } else {
    const std::size_t keep = std::min(back_size_, kLookback - done);
    std::memmove(back_.data(), back_.data() + back_size_ - keep, keep);
    std::memcpy(back_.data() + keep, dst, done);
    back_size_ = keep + done;
  }
  return done;
}

bool Input::Skip(std::uint64_t count) {
  std::array<std::uint8_t, kSkipChunk> scratch;
  while (count > 0) {
    const auto want =
        static_cast<std::size_t>(std::min<std::uint64_t>(count, scratch.size()));
    if (Take(scratch.data(), want, want) < want) return false;
    count -= want;
  }
  return true;
}

}  // namespace ostrel
