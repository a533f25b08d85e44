// The tool's one input, opened once per run and shared by the probe and the
// scan: a file read by positioned reads, or a stream (pipe, FIFO, socket,
// terminal) read once, in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "wave_header.hpp"

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
  std::uint64_t Length() const;
  // The errno of the first read that failed, 0 if none did. A failed read
  // ends the input as its end would.
  int read_error() const { return read_error_; }

  // A file serves any range. A stream serves any range within its first
  // kHeadBytes (read in full on the first call and kept), the last
  // kLookback bytes it has taken, and any offset at or past the bytes taken
  // so far (what lies before it is read and dropped); anything else is not
  // delivered. Either keeps reading until n bytes have arrived or the input
  // ends.
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* dst,
                     std::size_t n) override;
  void WillReadInOrder(std::uint64_t offset) override;

  static constexpr std::size_t kLookback = 64;

 private:
  std::size_t ReadFile(std::uint64_t offset, std::uint8_t* dst,
                       std::size_t n);
  std::size_t ReadStream(std::uint64_t offset, std::uint8_t* dst,
                         std::size_t n);
  // Reads the next n bytes of the stream, or as many as come before it
  // ends, into dst.
  std::size_t Take(std::uint8_t* dst, std::size_t n);
  bool Skip(std::uint64_t count);

  int fd_ = -1;
  bool owned_ = false;  // standard input stays open
  bool sequential_ = false;
  int read_error_ = 0;

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
