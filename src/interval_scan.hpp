// Scanning an interval of frames: decoding samples into level units,
// tracking the peaks and printing one waveform line per window.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "wave_header.hpp"
#include "waveform_line.hpp"

namespace ostrel {

// The most channels a file may have.
constexpr std::uint32_t kMaxChannels = 8;

// Running peaks in level units, one per channel in file order (for stereo,
// left then right).
struct Peaks {
  std::array<double, kMaxChannels> channel{};
  bool operator==(const Peaks&) const = default;
};

// What the driver settled for the scan.
struct ScanSettings {
  std::uint32_t frame_size = 0;    // bytes, 1 to 64
  std::uint64_t start_frame = 0;   // first frame scanned
  std::uint64_t end_frame = 0;     // one past the last, > start_frame
  std::uint32_t window = 0;        // frames per line; 0 never completes
  double window_seconds = 0;
  double magnification = 1;
};

// Raises peak to the magnitude of v; a NaN leaves it as it is.
inline void CheckPeak(double& peak, double v) {
  if (v > peak) {
    peak = v;
  } else if (-v > peak) {
    peak = -v;
  }
}

// Frames are read in blocks of as many whole frames as fit this many bytes:
// as large as the reads of a plain file copy, so that reading costs no more
// than it must, and small enough to stay in the second-level cache.
constexpr std::size_t kBlockBytes = std::size_t{1} << 17;

// Whether the scan decodes files of this layout: 1 to 8 channels of 8-bit
// (unsigned PCM, A-law or mu-law), 16-, 24- or 32-bit samples, or 64-bit
// integer PCM or floats.
bool Decodable(const WaveAttributes& wa);

// Reads the interval from `file` in blocks of kBlockBytes, prints a line for
// every complete window and returns the peaks. A block that arrives short
// (the file shrank, or a read failed) ends the scan at the first frame that
// did not arrive; the part-window before it prints no line.
Peaks ScanInterval(ByteSource& file, const WaveAttributes& wa,
                   const ScanSettings& s, Output& out);

}  // namespace ostrel
