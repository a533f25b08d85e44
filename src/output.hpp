// The buffered writer that every byte of standard output goes through.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>

#include "os.hpp"

namespace ostrel {

// One buffered writer for the whole run: lines are formatted straight into
// its buffer and leave in large writes. A failed write is remembered; the
// driver turns it into a failed run.
class Output {
 public:
  explicit Output(os::Handle handle) : handle_(handle) {}
  // For tests: everything written is appended to the string.
  explicit Output(std::string& sink) : sink_(&sink) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;
  ~Output() = default;

  static constexpr std::size_t kCapacity = std::size_t{1} << 16;

  // Room for n bytes (n at most kCapacity) at the returned pointer; hand the
  // end of what was written to Commit.
  char* Reserve(std::size_t n) {
    if (kCapacity - used_ < n) Flush();
    return buffer_.data() + used_;
  }
  void Commit(const char* end) {
    used_ = static_cast<std::size_t>(end - buffer_.data());
  }
  void Write(std::string_view text);
  void Line(std::string_view text) {
    Write(text);
    Write("\n");
  }
  // Sends what is buffered; false once any write has failed.
  bool Flush();
  bool ok() const { return error_ == 0; }
  // The error of the first failed write, 0 if none failed.
  os::Error error() const { return error_; }

 private:
  std::array<char, kCapacity> buffer_{};
  std::size_t used_ = 0;
  os::Handle handle_ = os::kNoHandle;
  std::string* sink_ = nullptr;
  os::Error error_ = 0;
};

}  // namespace ostrel
