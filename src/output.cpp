#include "output.hpp"

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
  const std::size_t n = used_;
  used_ = 0;
  if (sink_ != nullptr) {
    sink_->append(buffer_.data(), n);
    return true;
  }
  // After a failure the rest is dropped: the run is failing anyway, and
  // retrying a full disk for every line would only waste time.
  if (error_ == 0 && n > 0) error_ = os::WriteAll(handle_, buffer_.data(), n);
  return error_ == 0;
}

}  // namespace ostrel
