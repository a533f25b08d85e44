// The tool's one input, opened once per run and shared by the probe and the
// scan: a file read by positioned reads, or a stream (pipe, FIFO, socket,
// terminal) read once, in order.
#pragma once

#include <array>
#include <csignal>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "byte_source.hpp"

namespace ostrel {

class Input final : public ByteSource {
 public:
  Input() = default;
  ~Input() override;

  // Opens the named input; "-" is standard input (a file called "-" is
  // "./-"). A FIFO waits for a writer, as `cat` does. False if it cannot be
  // opened.
  bool Open(const std::string& name);
  bool Sequential() const override { return sequential_; }
  // The file's length; for a stream, which has none, the largest offset.
  std::uint64_t Length() const override;
  // The errno of the first read that failed, 0 if none did. A failed read
  // ends the input as its end would.
  int read_error() const { return read_error_; }

  // A file serves any range. A stream serves any range within its first
  // kHeadBytes (read in full on the first call and kept), the last
  // kLookback bytes it has taken, and any offset at or past the bytes taken
  // so far (what lies before it is read and dropped); anything else is not
  // delivered. ReadAt keeps reading until n bytes have arrived or the input
  // ends; ReadArrived stops early on a stream, as ByteSource says (a part
  // unit it took stays in the look-back for the next call).
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* dst,
                     std::size_t n) override;
  std::size_t ReadArrived(std::uint64_t offset, std::uint8_t* dst,
                          std::size_t n, std::size_t unit) override;
  void WillReadInOrder(std::uint64_t offset) override;
  std::span<const std::uint8_t> KeptHead() override;

  // Runs `hook` each time reading a stream is about to wait for bytes that
  // have not arrived yet; hooks added later run first.
  void BeforeWaiting(std::function<void()> hook);
  // From the moment *flag is non-zero (a signal handler sets it; a read it
  // interrupts returns EINTR), the input ends where it is, as if it ended
  // there: reads deliver nothing more.
  void EndWhen(const volatile std::sig_atomic_t* flag) { end_flag_ = flag; }

  // Covers a part frame: the widest frame is 8 samples of 8 bytes.
  static constexpr std::size_t kLookback = 64;

 private:
  bool EndedByFlag() const { return end_flag_ != nullptr && *end_flag_ != 0; }
  std::size_t ReadFile(std::uint64_t offset, std::uint8_t* dst,
                       std::size_t n);
  std::size_t ReadStream(std::uint64_t offset, std::uint8_t* dst,
                         std::size_t n, std::size_t least);
  // Reads the next n bytes of the stream into dst, or as many as come
  // before it ends; once `least` have come, only as many as are there
  // without waiting.
  std::size_t Take(std::uint8_t* dst, std::size_t n, std::size_t least);
  bool Skip(std::uint64_t count);
  void ReadHead();

  int fd_ = -1;
  bool owned_ = false;  // standard input stays open
  bool sequential_ = false;
  int read_error_ = 0;
  std::function<void()> before_wait_;
  const volatile std::sig_atomic_t* end_flag_ = nullptr;

  // The stream's state.
  bool ended_ = false;
  bool head_read_ = false;
  std::uint64_t taken_ = 0;  // bytes read from the stream so far
  std::size_t head_size_ = 0;
  std::array<std::uint8_t, kHeadBytes> head_{};
  std::size_t back_size_ = 0;  // back_ holds the bytes just before taken_
  std::array<std::uint8_t, kLookback> back_{};
};

}  // namespace ostrel
