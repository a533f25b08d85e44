// The tool's one input, opened once per run and shared by the probe and the
// scan: a file read by positioned reads, or a stream (pipe, FIFO, socket,
// terminal) read once, in order.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "byte_source.hpp"
#include "os.hpp"

namespace ostrel {

class Input final : public ByteSource {
 public:
  Input() = default;
  ~Input() override;

  // Opens the named input; "-" is standard input (a file called "-" is
  // "./-"). A FIFO waits for a writer, as `cat` does. False if it cannot be
  // opened.
  bool Open(const std::string& name);
  bool Sequential() const override { return !opened_.positioned; }
  // The file's length; kUnknownLength for a stream, which has none.
  std::uint64_t Length() const override;
  // The error of the first read that failed, 0 if none did. A failed read
  // ends the input as its end would.
  os::Error read_error() const { return read_error_; }

  // A file serves any range. A stream serves any range within its first
  // kHeadBytes (kept as they are taken), the last kLookback bytes it has
  // taken, and any offset at or past the bytes taken so far (what lies
  // before it is read and dropped); anything else is not delivered.
  // ReadAt keeps reading until n bytes have arrived or the input ends;
  // ReadArrived stops early on a stream, as ByteSource says (a part unit
  // it took stays in the look-back for the next call). Once a stop signal
  // has come (os::StopRequested), the input ends where it is: reads
  // deliver nothing more.
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* dst,
                     std::size_t n) override;
  std::size_t ReadArrived(std::uint64_t offset, std::uint8_t* dst,
                          std::size_t n, std::size_t unit) override;
  // What the reads above can still serve: for a stream, anything but the
  // bytes it has taken past its head and before its look-back.
  bool CanServe(std::uint64_t offset, std::uint64_t length) const override;
  void WillReadInOrder(std::uint64_t offset) override;

  // Runs `hook` each time reading a stream is about to wait for bytes that
  // have not arrived yet; hooks added later run first.
  void BeforeWaiting(std::function<void()> hook);

  // Covers a part frame: the widest frame is 8 samples of 8 bytes.
  static constexpr std::size_t kLookback = 64;

 private:
  std::size_t ReadFile(std::uint64_t offset, std::uint8_t* dst,
                       std::size_t n);
  std::size_t ReadStream(std::uint64_t offset, std::uint8_t* dst,
                         std::size_t n, std::size_t least);
  // Reads the next n bytes of the stream into dst, or as many as come
  // before it ends; once `least` have come, only as many as are there
  // without waiting.
  std::size_t Take(std::uint8_t* dst, std::size_t n, std::size_t least);
  void Keep(const std::uint8_t* taken, std::size_t n);
  bool Skip(std::uint64_t count);

  os::OpenedInput opened_;
  os::Error read_error_ = 0;
  std::function<void()> before_wait_;

  // The stream's state.
  bool ended_ = false;
  std::uint64_t taken_ = 0;  // bytes read from the stream so far
  std::size_t head_size_ = 0;  // head_ holds the first bytes taken
  std::array<std::uint8_t, kHeadBytes> head_{};
  std::size_t back_size_ = 0;  // back_ holds the bytes just before taken_
  std::array<std::uint8_t, kLookback> back_{};
};

}  // namespace ostrel
