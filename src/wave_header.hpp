// Finding the format and data chunks of a wave file and reading the few
// header fields the rest of the tool needs.
#pragma once

#include <cstdint>

#include "byte_source.hpp"

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

struct ProbeResult {
  ProbeOutcome outcome = ProbeOutcome::kOk;
  WaveAttributes attributes;
  // The chunk list did not lead to a format and a data chunk, so the tag
  // search decided where they are.
  bool tag_search = false;
};

// Probes a source whose length is file_length (kUnknownLength for a
// stream).
ProbeResult ProbeHeader(ByteSource& source, std::uint64_t file_length);
// Probes the run's opened input, whatever its length says; a stream's
// frame count is its declared one.
ProbeResult GetAttributes(ByteSource& input);

}  // namespace ostrel
