// Scanning an interval of frames: decoding samples into level units,
// tracking the peaks and printing one waveform line per window.
#pragma once

#include <cstdint>

#include "wave_header.hpp"
#include "waveform_line.hpp"

namespace ostrel {

// Running peaks in level units; mono files use only the left one.
struct Peaks {
  double left = 0;
  double right = 0;
};

// What the driver settled for the scan.
struct ScanSettings {
  std::uint32_t frame_size = 0;    // bytes, at most 8
  std::uint64_t start_frame = 0;   // first frame scanned
  std::uint64_t end_frame = 0;     // one past the last, > start_frame
  std::uint32_t window = 0;        // frames per line; 0 never completes
  double window_seconds = 0;
  double magnification = 1;
};

// Raises peak to the magnitude of v.
inline void CheckPeak(double& peak, double v) {
  if (v > peak) {
    peak = v;
  } else if (-v > peak) {
    peak = -v;
  }
}

// Reads the interval from `file` in blocks of 4096 frames, prints a line for
// every complete window and returns the peaks. A block that arrives short
// (the file shrank, or a read failed) ends the scan at the first frame that
// did not arrive; the part-window before it prints no line.
Peaks ScanInterval(ByteSource& file, const WaveAttributes& wa,
                   const ScanSettings& s, Output& out);

}  // namespace ostrel
