#include "interval_scan.hpp"

#include <algorithm>
#include <array>
#include <cstddef>
#include <type_traits>

#include "float_sums.hpp"
#include "sample_decode.hpp"
#include "waveform_line.hpp"
#include "window_sums.hpp"

namespace ostrel {
namespace {

// The next stretch of a block's `frames` frames, cut by windows: the rest
// of the window in progress (`filled` frames of it are in), then whole
// windows, up to as many as a stretch completes, then, where the frames run
// out, the start of a window that the block's end cuts short. A window of 0
// frames never completes, so the whole block continues it.
Pieces NextPieces(std::size_t frames, std::uint32_t window,
                  std::uint32_t filled) {
  Pieces pieces;
  const std::size_t room = window - filled;
  if (window == 0 || frames < room) {
    pieces.head = frames;
    return pieces;
  }
  pieces.head = room;
  pieces.head_ends = true;
  pieces.window = window;
  const std::size_t rest = frames - room;
  pieces.whole = std::min(rest / window, Pieces::kMaxEnded - 1);
  // A tail only where the frames run out: otherwise the next stretch goes on.
  if (pieces.whole < Pieces::kMaxEnded - 1) {
    pieces.tail = rest - pieces.whole * window;
  }
  return pieces;
}

// Kept out of line: inlined into ScanLayout, its loop over lines loses
// registers to the layout's setup and reloads the window from the stack,
// which a window of one frame pays for on every line.
template <WindowSums Sums>
[[gnu::noinline]] Peaks Scan(ByteSource& file, const WaveAttributes& wa, const ScanSettings& s,
           Output& out, Sums sums) {
  alignas(64) std::array<std::uint8_t, kBlockBytes> block;
  // Local copies: the compiler must assume that printing a line could
  // change anything reached through a reference, and would reload them for
  // every line of a short window.
  const std::uint64_t frame_size = s.frame_size;
  const std::uint64_t end_frame = s.end_frame;
  // A short interval reads half blocks: the block's second half costs its
  // pages' first touch, which only a long scan's saved reads pay back.
  const std::uint64_t block_bytes =
      (end_frame - s.start_frame) * frame_size < kFullBlocksFrom
          ? kBlockBytes / 2
          : kBlockBytes;
  const std::uint64_t block_frames = block_bytes / frame_size;
  const std::uint64_t data_offset = wa.data_offset;
  const std::uint32_t window = s.window;
  const auto channels = static_cast<double>(wa.channels);
  const double magnification = s.magnification;
  const double window_seconds = s.window_seconds;
  const auto rate = static_cast<std::uint32_t>(wa.sample_rate);
  std::uint64_t i = s.start_frame;
  std::uint32_t n = 0;  // frames in the window in progress
  // A file, or a stream whose bytes are already there, comes in full
  // blocks; a stream fed live gives each block the whole frames that have
  // arrived, so that each line is printed as soon as its window is in.
  const bool live = file.Sequential();
  file.WillReadInOrder(data_offset + i * frame_size);
  while (i < end_frame && out.ok()) {
    const auto want =
        static_cast<std::size_t>(std::min(end_frame - i, block_frames));
    const std::size_t got =
        file.ReadArrived(data_offset + i * frame_size, block.data(),
                         want * frame_size, frame_size) /
        frame_size;
    const std::uint8_t* p = block.data();
    for (std::size_t left = got; left > 0;) {
      const Pieces pieces = NextPieces(left, window, n);
      sums.Add(p, pieces);
      // The windows the stretch completes, each ending just before frame
      // `at`: the first after the head, the others a window apart.
      std::uint64_t at = i + pieces.head;
      for (std::size_t k = 0; k < pieces.Ended(); ++k, at += window) {
        // The mean over the window of the channels' mean magnitude; for one
        // or two channels the division is exact, as it is by a power of 2.
        const double level =
            sums.TakeSum(k) / channels / window * magnification;
        Waveform(out, static_cast<std::int64_t>(at - window / 2), rate, level,
                 window_seconds);
      }
      const std::size_t frames = pieces.Frames();
      p += frames * frame_size;
      left -= frames;
      i += frames;
      if (window != 0) {
        n = pieces.head_ends ? static_cast<std::uint32_t>(pieces.tail)
                             : n + static_cast<std::uint32_t>(pieces.head);
      }
    }
    // Nothing is invented for frames not delivered: a short block ends a
    // file (it shrank, or a read failed), an empty one a stream.
    if (got == 0 || (got < want && !live)) break;
  }
  return sums.peaks();
}

template <class Layout>
Peaks ScanLayout(ByteSource& file, const WaveAttributes& wa,
                 const ScanSettings& s, Output& out) {
  const AddRunFn run = RunOf(wa, ChosenVariant(wa));
  if constexpr (Layout::kIntegerSteps) {
    if (ExactSums<Layout>::StaysExact(s.window, wa.channels)) {
      return Scan(file, wa, s, out, ExactSums<Layout>(wa.channels, run));
    }
  }
  return Scan(file, wa, s, out,
              OrderedSums<Layout>(wa.channels, run, ChosenFloatSums(wa)));
}

}  // namespace

Peaks ScanInterval(ByteSource& file, const WaveAttributes& wa,
                   const ScanSettings& s, Output& out) {
  return WithLayout(wa, [&]<class Layout>(std::type_identity<Layout>) {
    if constexpr (std::is_void_v<Layout>) {
      return Peaks{};  // a layout the driver refuses; nothing is read
    } else {
      return ScanLayout<Layout>(file, wa, s, out);
    }
  });
}

}  // namespace ostrel
