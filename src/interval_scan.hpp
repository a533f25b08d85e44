// Scanning an interval of frames: reading it in blocks, cutting the blocks
// into stretches of whole windows for the layout's window sums, and
// printing one waveform line per window; the sums also find the peaks.
#pragma once

#include <cstddef>
#include <cstdint>

#include "output.hpp"
#include "wave_header.hpp"
#include "window_sums.hpp"

namespace ostrel {

// What the driver settled for the scan.
struct ScanSettings {
  std::uint32_t frame_size = 0;    // bytes, 1 to 64
  std::uint64_t start_frame = 0;   // first frame scanned
  std::uint64_t end_frame = 0;     // one past the last, > start_frame
  std::uint32_t window = 0;        // frames per line; 0 never completes
  double window_seconds = 0;
  double magnification = 1;
};

// Frames are read in blocks of as many whole frames as fit this many bytes:
// twice the reads of a plain file copy, so that a scan makes half its calls
// (5% less time for 16-bit stereo, 11% for 64-bit floats, against blocks of
// 128 KiB; 512 KiB gained nothing more), and small enough to stay in the
// second-level cache.
constexpr std::size_t kBlockBytes = std::size_t{1} << 18;
// Intervals shorter than this many bytes are read in blocks of half the
// size, as the second half's pages cost more to touch first than the reads
// it saves (a 10 MB scan took 4% longer in full blocks).
constexpr std::uint64_t kFullBlocksFrom = std::uint64_t{32} << 20;

// Reads the interval from `file` in blocks of kBlockBytes, prints a line for
// every complete window and returns the peaks; a layout that Decodes
// refuses reads nothing. A block that arrives short (the file shrank, or a
// read failed) ends the scan at the first frame that did not arrive; the
// part-window before it prints no line.
Peaks ScanInterval(ByteSource& file, const WaveAttributes& wa,
                   const ScanSettings& s, Output& out);

}  // namespace ostrel
