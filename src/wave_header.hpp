// Finding the format and data chunks of a wave file and reading the few
// header fields the rest of the tool needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// What the rest of the run knows about a file.
struct WaveAttributes {
  std::uint64_t sample_rate = 0;
  std::uint32_t bytes_per_sample = 0;
  std::uint32_t channels = 0;
  std::uint64_t data_offset = 0;  // byte offset of the first sample frame
  std::uint64_t frame_count = 0;  // whole frames the file really holds
  // Four-byte samples are floats unless the header says integer PCM.
  bool integer_samples = false;
};

enum class ProbeOutcome { kOk, kNoFormatChunk, kNoDataBlock };

struct ProbeResult {
  ProbeOutcome outcome = ProbeOutcome::kOk;
  WaveAttributes attributes;
};

// Every field the tag search reads lies within this many bytes of the
// start: the farthest is the first two bytes of an extensible format's
// sub-format, at 32 and 33 past a format tag found at offset 15,000. A
// stream keeps these bytes.
inline constexpr std::size_t kHeaderBytes = 15034;

// Anything the tool reads bytes from by absolute offset. Tests hand the
// probe and the scan in-memory or deliberately short sources through it.
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
  // Whether this is a stream, read once in order (see Input::ReadAt).
  virtual bool Sequential() const { return false; }
};

class Input;

// Little-endian 16-bit field, each byte taken as 0 to 255.
int Assem2(std::uint8_t b0, std::uint8_t b1);
// Little-endian 32-bit field read as a signed number: a field with its top
// bit set comes out negative.
std::int64_t Assem4(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                    std::uint8_t b3);

// Probes a source whose length is file_length.
ProbeResult ProbeHeader(ByteSource& source, std::uint64_t file_length);
// Probes the run's input; a stream's frame count is its declared one.
ProbeResult GetAttributes(Input& input);

}  // namespace ostrel
