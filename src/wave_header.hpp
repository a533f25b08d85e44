// Finding the format and data chunks of a wave file and reading the few
// header fields the rest of the tool needs.
#pragma once

#include <cstddef>
#include <cstdint>

namespace ostrel {

// Encodings a format chunk names, as far as the scan tells them apart.
constexpr std::uint32_t kEncodingPcm = 1;
constexpr std::uint32_t kEncodingFloat = 3;
constexpr std::uint32_t kEncodingALaw = 6;
constexpr std::uint32_t kEncodingMuLaw = 7;

// What the rest of the run knows about a file.
struct WaveAttributes {
  std::uint64_t sample_rate = 0;
  std::uint32_t bytes_per_sample = 0;
  std::uint32_t channels = 0;
  std::uint64_t data_offset = 0;  // byte offset of the first sample frame
  std::uint64_t frame_count = 0;  // whole frames the file really holds
  // How samples are stored: the format code, or for the extensible format
  // the code its sub-format stands for (1 integer PCM, 3 float, 6 A-law,
  // 7 mu-law, ...); 0xFFFE where the format chunk is too short to hold it.
  std::uint32_t encoding = 0;
};

enum class ProbeOutcome { kOk, kNoFormatChunk, kNoDataBlock };

// The probe reads this many bytes at the start of a file at once and keeps
// them; the tag search looks only at them, and a stream keeps them.
inline constexpr std::size_t kHeadBytes = 15034;

struct ProbeResult {
  ProbeOutcome outcome = ProbeOutcome::kOk;
  WaveAttributes attributes;
  // The chunk list did not lead to a format and a data chunk, so the tag
  // search decided where they are.
  bool tag_search = false;
  // The chunk walk read past the first kHeadBytes bytes; a source read once
  // in order cannot go back there.
  bool walked_past_head = false;
};

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
  // A hint that reading goes on in order from offset on.
  virtual void WillReadInOrder(std::uint64_t /*offset*/) {}
  // Whether this is a stream, read once in order (see Input::ReadAt).
  virtual bool Sequential() const { return false; }
};

class Input;

// Probes a source whose length is file_length.
ProbeResult ProbeHeader(ByteSource& source, std::uint64_t file_length);
// Probes the run's input; a stream's frame count is its declared one.
ProbeResult GetAttributes(Input& input);

}  // namespace ostrel
