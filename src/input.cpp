#include "input.hpp"

#include <algorithm>
#include <cstring>
#include <utility>

namespace ostrel {
namespace {

// Skipped bytes pass through this many at a time: large enough that a
// skip costs what reading costs, small enough to stay off the heap.
constexpr std::size_t kSkipChunk = std::size_t{1} << 16;

}  // namespace

Input::~Input() {
  if (opened_.owned) os::Close(opened_.handle);
}

bool Input::Open(const std::string& name) {
  return os::OpenInput(name, opened_);
}

std::uint64_t Input::Length() const {
  if (Sequential()) return kUnknownLength;
  return os::Length(opened_.handle);
}

void Input::WillReadInOrder(std::uint64_t offset) {
  if (!Sequential()) os::WillReadInOrder(opened_.handle, offset);
}

std::size_t Input::ReadAt(std::uint64_t offset, std::uint8_t* dst,
                          std::size_t n) {
  return Sequential() ? ReadStream(offset, dst, n, n)
                      : ReadFile(offset, dst, n);
}

std::size_t Input::ReadArrived(std::uint64_t offset, std::uint8_t* dst,
                               std::size_t n, std::size_t unit) {
  const std::size_t got = Sequential() ? ReadStream(offset, dst, n, unit)
                                       : ReadFile(offset, dst, n);
  return got - got % unit;
}

bool Input::CanServe(std::uint64_t offset, std::uint64_t length) const {
  // Taken and given up: past the head, up to the look-back. A file takes
  // nothing, and gives nothing up.
  const std::uint64_t gone_from = head_size_;
  const std::uint64_t gone_to = taken_ - back_size_;
  return gone_to <= gone_from || offset >= gone_to ||
         (offset <= gone_from && length <= gone_from - offset);
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

std::size_t Input::ReadFile(std::uint64_t offset, std::uint8_t* dst,
                            std::size_t n) {
  std::size_t done = 0;
  // Reads of a file do not wait for long; the signal is looked at once a
  // block.
  if (os::StopRequested()) return 0;
  while (done < n) {
    const os::ReadResult r =
        os::ReadAt(opened_.handle, offset + done, dst + done, n - done);
    if (r.error != 0 && read_error_ == 0) read_error_ = r.error;
    if (r.bytes == 0) break;  // the end of the file, or a failed read
    done += r.bytes;
  }
  return done;
}

std::size_t Input::ReadStream(std::uint64_t offset, std::uint8_t* dst,
                              std::size_t n, std::size_t least) {
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
    // Whether a read would wait is asked only where the answer matters:
    // to return what has come, or to run the hooks before waiting.
    bool ready = false;
    if (done >= least || before_wait_) {
      ready = os::BytesReady(opened_) == os::Ready::kYes;
      if (!ready) {
        if (done >= least) break;
        before_wait_();
      }
    }
    const os::ReadResult r = os::ReadSome(opened_, dst + done, n - done, ready);
    if (r.error != 0 && read_error_ == 0) read_error_ = r.error;
    if (r.bytes == 0) {
      ended_ = true;  // the end, a failed read, or a stop signal
    } else {
      done += r.bytes;  // a pipe may deliver less
    }
  }
  Keep(dst, done);
  return done;
}

void Input::Keep(const std::uint8_t* taken, std::size_t n) {
  // The head, as far as these bytes reach into it.
  if (taken_ < kHeadBytes) {
    const auto k = static_cast<std::size_t>(
        std::min<std::uint64_t>(n, kHeadBytes - taken_));
    std::memcpy(head_.data() + head_size_, taken, k);
    head_size_ += k;
  }
  taken_ += n;
  // The last kLookback bytes taken, older ones first.
  if (n >= kLookback) {
    std::memcpy(back_.data(), taken + n - kLookback, kLookback);
    back_size_ = kLookback;
  } else {
    const std::size_t keep = std::min(back_size_, kLookback - n);
    std::memmove(back_.data(), back_.data() + back_size_ - keep, keep);
    std::memcpy(back_.data() + keep, taken, n);
    back_size_ = keep + n;
  }
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
