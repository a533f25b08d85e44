// What the probe and the scan read bytes from: the run's input, or in tests
// an in-memory or deliberately short source.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>

namespace ostrel {

// The probe looks for its tags in this many bytes at the start of an
// input; a stream, which cannot go back, keeps them for it.
inline constexpr std::size_t kHeadBytes = 15034;

// The length of an input that does not know it: a stream.
inline constexpr std::uint64_t kUnknownLength =
    std::numeric_limits<std::uint64_t>::max();

// Anything the tool reads bytes from by absolute offset.
class ByteSource {
 public:
  ByteSource() = default;
  ByteSource(const ByteSource&) = delete;
  ByteSource& operator=(const ByteSource&) = delete;
  virtual ~ByteSource() = default;
  // Reads up to n bytes at offset into dst; returns how many arrived. Fewer
  // than n means the end of the input, a failed read, or bytes that a
  // stream no longer holds.
  virtual std::size_t ReadAt(std::uint64_t offset, std::uint8_t* dst,
                             std::size_t n) = 0;
  // As ReadAt, but a source fed live returns once it holds at least one
  // whole `unit` and more would mean waiting: the bytes of the whole units
  // that have arrived, up to n. Fewer than one unit means the end. A source
  // that never waits reads as ReadAt does, cut to whole units.
  virtual std::size_t ReadArrived(std::uint64_t offset, std::uint8_t* dst,
                                  std::size_t n, std::size_t unit) {
    const std::size_t got = ReadAt(offset, dst, n);
    return got - got % unit;
  }
  // A hint that reading goes on in order from offset on.
  virtual void WillReadInOrder(std::uint64_t /*offset*/) {}
  // Whether this is a stream, read once in order.
  virtual bool Sequential() const { return false; }
  // Whether reads can still deliver every byte from offset to offset +
  // length that the input has: a source read by offset always can; a
  // stream cannot where it has taken some of them and given them up.
  // Bytes past the end count as served: the input ends there, as a file
  // does.
  virtual bool CanServe(std::uint64_t /*offset*/,
                        std::uint64_t /*length*/) const {
    return true;
  }
  // The input's length, kUnknownLength where the source does not know it
  // (a stream).
  virtual std::uint64_t Length() const { return kUnknownLength; }
};

}  // namespace ostrel
