#include "output.hpp"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace ostrel {

void Output::Write(std::string_view text) {
  while (!text.empty()) {
    char* p = Reserve(1);
    const std::size_t room = kCapacity - used_;
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(p, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
  }
}

bool Output::Flush() {
  const char* p = buffer_.data();
  std::size_t left = used_;
  used_ = 0;
  if (sink_ != nullptr) {
    sink_->append(p, left);
    return true;
  }
  // After a failure the rest is dropped: the run is failing anyway, and
  // retrying a full disk for every line would only waste time.
  while (left > 0 && error_ == 0) {
    const ssize_t w = ::write(fd_, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error_ = w < 0 ? errno : EIO;
      break;
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return error_ == 0;
}

}  // namespace ostrel
