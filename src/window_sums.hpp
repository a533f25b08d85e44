// Window sums: what the interval scan adds up for each layout, and the
// channels' peaks. The scan cuts every block into stretches of whole
// windows and hands them over one at a time; the sums keep the window in
// progress, the sum of every window a stretch completes, and the peaks.
//
// A window's sum does not depend on how its samples divide into channels:
// integer sums are exact in any order, and a float sum "frames in order,
// channels in order" is the samples in order. So the sums go through
// samples; only the peaks, which the layout's run finds, need the channel
// count, and they take it when running.
#pragma once

#include <array>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "float_sums.hpp"
#include "sample_decode.hpp"

namespace ostrel {

// Running peaks in level units, one per channel in file order (for stereo,
// left then right).
struct Peaks {
  std::array<double, kMaxChannels> channel{};
  bool operator==(const Peaks&) const = default;
};

// Raises peak to the magnitude of v; a NaN leaves it as it is.
inline void CheckPeak(double& peak, double v) {
  if (v > peak) {
    peak = v;
  } else if (-v > peak) {
    peak = -v;
  }
}

// A stretch of consecutive frames, cut by windows: `head` frames that
// continue the window in progress (and complete it when `head_ends`), then
// `whole` windows of `window` frames each, then `tail` frames that start a
// window the stretch's end cuts short. Without head_ends there are neither
// whole windows nor a tail.
struct Pieces {
  // The most windows a stretch completes, which bounds the sums kept.
  static constexpr std::size_t kMaxEnded = 1024;
  std::size_t head = 0;
  bool head_ends = false;
  std::size_t whole = 0;
  std::size_t window = 0;
  std::size_t tail = 0;

  std::size_t Ended() const { return (head_ends ? 1 : 0) + whole; }
  std::size_t Frames() const { return head + whole * window + tail; }
};

template <class S>
concept WindowSums = requires(S sums, const S& seen, const std::uint8_t* p,
                              const Pieces& pieces, std::size_t k) {
  // Takes in the stretch's frames (at least one), which lie one after
  // another from p.
  sums.Add(p, pieces);
  // The sum, in level units, of window k (from 0) of those the last Add
  // completed.
  { sums.TakeSum(k) } -> std::same_as<double>;
  { seen.peaks() } -> std::same_as<Peaks>;
};

// The peaks, held as each channel's largest magnitude key so far: taking
// the largest key is what CheckPeak does sample by sample, as a key orders
// magnitudes as their values do. Runs of frames add to it in place.
template <class Layout>
class PeakKeys {
 public:
  explicit PeakKeys(std::uint32_t channels) : channels_(channels) {}
  // The run that the frames seen so far add up to; its sum is free for
  // the caller's use.
  RunMagnitudes& run() {
    seen_ = true;
    return run_;
  }
  Peaks peaks() const {
    Peaks peaks;
    // A float key of 0 is still a magnitude of 2^-120, so nothing seen must
    // stay apart from a silent frame.
    if (!seen_) return peaks;
    for (std::uint32_t c = 0; c < channels_; ++c) {
      CheckPeak(peaks.channel[c],
                Layout::KeyMagnitude(
                    static_cast<typename Layout::Key>(run_.top[c])));
    }
    return peaks;
  }

 private:
  RunMagnitudes run_;
  std::uint32_t channels_;
  bool seen_ = false;
};

// Integer samples whose window sum provably stays exact. The sum of
// magnitudes is kept as an integer: each |v| is a whole number of steps of
// the layout's scale (a power of two), so while every partial sum stays at
// or below 2^53 steps, adding the doubles one by one in sample order is
// exact too and gives the very double we get by scaling the integer sum at
// the end. Being exact, the order of additions is free, which lets the
// wide loops sum in vector lanes. Only for windows where StaysExact holds.
template <class Layout>
class ExactSums {
 public:
  ExactSums(std::uint32_t channels, AddRunFn run)
      : channels_(channels), run_(run), peaks_(channels) {}

  static bool StaysExact(std::uint32_t window, std::uint32_t channels) {
    return std::uint64_t{window} * channels <=
           (std::uint64_t{1} << (53 - Layout::kMagnitudeBits));
  }

  void Add(const std::uint8_t* p, const Pieces& pieces) {
    // Short windows go through the plain loop here, inline, which pays for
    // code of its own for mono and stereo.
    WithChannels(channels_, [&](auto shape) { AddIn(p, pieces, shape); });
  }
  double TakeSum(std::size_t k) const {
    // At most 2^53 here, so the signed conversion (one instruction, where
    // the unsigned one is several) is exact.
    return static_cast<double>(static_cast<std::int64_t>(sums_[k])) *
           Layout::kScale;
  }
  Peaks peaks() const { return peaks_.peaks(); }

 private:
  template <class Shape>
  void AddIn(const std::uint8_t* p, const Pieces& pieces, Shape shape) {
    const std::size_t frame_bytes = std::size_t{Layout::kBytes} * shape.count();
    RunMagnitudes& run = peaks_.run();
    std::size_t k = 0;
    const std::uint64_t head = AddFrames(p, pieces.head, shape, run) + carry_;
    p += pieces.head * frame_bytes;
    if (!pieces.head_ends) {
      carry_ = head;
      return;
    }
    sums_[k++] = head;
    if (pieces.window == 1) {
      // A line per frame: the cheapest way through, with the run in a
      // local copy that the compiler may keep in registers (for mono and
      // stereo, whose channels it knows).
      RunMagnitudes local = run;
      for (std::size_t w = 0; w < pieces.whole; ++w, p += frame_bytes) {
        const std::uint64_t before = local.sum;
        AddRunScalar<Layout>(p, 1, shape, local);
        sums_[k++] = local.sum - before;
      }
      run = local;
    } else {
      for (std::size_t w = 0; w < pieces.whole; ++w) {
        sums_[k++] = AddFrames(p, pieces.window, shape, run);
        p += pieces.window * frame_bytes;
      }
    }
    carry_ = AddFrames(p, pieces.tail, shape, run);
  }

  // The sum of the magnitudes of `frames` frames from p, added to `run`
  // too. Unsigned, so the running total may wrap: the difference holds.
  template <class Shape>
  std::uint64_t AddFrames(const std::uint8_t* p, std::size_t frames,
                          Shape shape, RunMagnitudes& run) const {
    const std::uint64_t before = run.sum;
    // Short runs (windows of a few frames) skip the wide loops' setup.
    if (frames < kWideFrames) {
      AddRunScalar<Layout>(p, frames, shape, run);
    } else {
      run_(p, frames, shape.count(), run);
    }
    return run.sum - before;
  }

  static constexpr std::size_t kWideFrames = 32;
  std::uint32_t channels_;
  AddRunFn run_;
  // The window in progress; it may wrap harmlessly for a window that never
  // completes (window 0), whose sum is never read.
  std::uint64_t carry_ = 0;
  std::array<std::uint64_t, Pieces::kMaxEnded> sums_{};
  PeakKeys<Layout> peaks_;
};

// Window sums of doubles, one addition at a time in sample order: a double
// sum rounds at every step, so its order is part of its value. That holds
// for float samples and for integer windows too long to sum exactly. The
// pieces are separate windows, though, and independent of each other, so
// their sums advance side by side: the processor overlaps the latencies of
// their additions instead of waiting out each one.
template <class Layout>
class OrderedSums {
 public:
  // `floats`, where it has a loop, advances the sums in vector lanes in
  // place of Advance, and may find the peaks in the same pass.
  OrderedSums(std::uint32_t channels, AddRunFn run, FloatSums floats = {})
      : channels_(channels), run_(run), floats_(floats), peaks_(channels) {}

  void Add(const std::uint8_t* p, const Pieces& pieces) {
    // The stretch as a list of pieces, each within one window: the head,
    // the whole windows, the tail. Up to kSideBySide of them at a time go
    // through Advance.
    const std::size_t count = 1 + pieces.whole + (pieces.tail > 0 ? 1 : 0);
    Group group;
    std::size_t ended = 0;
    const std::uint8_t* at = p;
    for (std::size_t j = 0; j < count; ++j) {
      const bool is_head = j == 0;
      const bool is_tail = j == 1 + pieces.whole;
      const std::size_t frames =
          is_head ? pieces.head : is_tail ? pieces.tail : pieces.window;
      const std::size_t samples = frames * channels_;
      group.start[group.count] = at;
      group.samples[group.count] = samples;
      group.sums[group.count] = is_head ? carry_ : 0;
      ++group.count;
      at += samples * std::size_t{Layout::kBytes};
      if (group.count == kSideBySide || j + 1 == count) {
        if (floats_.advance != nullptr) {
          floats_.advance(group.start.data(), group.samples.data(),
                          group.sums.data(), group.count, channels_,
                          peaks_.run());
        } else {
          Advance(group);
        }
        for (std::size_t g = 0; g < group.count; ++g) {
          sums_[ended + g] = group.sums[g];
        }
        ended += group.count;
        group.count = 0;
      }
    }
    // The last piece's window goes on unless the head or a whole window
    // ended the stretch.
    const bool last_goes_on = !pieces.head_ends || pieces.tail > 0;
    carry_ = last_goes_on ? sums_[count - 1] : 0;
    if (!floats_.peaks) run_(p, pieces.Frames(), channels_, peaks_.run());
  }
  double TakeSum(std::size_t k) const { return sums_[k]; }
  Peaks peaks() const { return peaks_.peaks(); }

 private:
  // Up to this many windows' sums advance side by side: enough to overlap
  // the latency of an addition, few enough to stay in registers. Integer
  // samples come here only for windows too long for an exact sum, which
  // hold few windows a block; one at a time keeps their code small.
  static constexpr std::size_t kSideBySide =
      Layout::kIntegerSteps ? 1 : kMaxFloatPieces;
  // Samples a sum takes per round: in pairs, the compiler decodes both in
  // one vector and the loop's own steps are shared. By callgrind's count
  // that is 14% fewer instructions for mono 32-bit floats, and stereo
  // about as with a channel count known when compiling.
  static constexpr std::size_t kRound = 2;
  struct Group {
    std::array<const std::uint8_t*, kSideBySide> start{};
    std::array<std::size_t, kSideBySide> samples{};
    std::array<double, kSideBySide> sums{};
    std::size_t count = 0;
  };

  // Advances the K sums listed first in `live` by `step` samples, from
  // `done` samples into each piece.
  template <std::size_t K>
  static void AdvanceK(const std::array<std::size_t, kSideBySide>& live,
                       Group& group, std::size_t done, std::size_t step) {
    constexpr std::size_t kBytes = Layout::kBytes;
    std::array<const std::uint8_t*, K> at{};
    std::array<double, K> g{};
    for (std::size_t j = 0; j < K; ++j) {
      at[j] = group.start[live[j]] + done * kBytes;
      g[j] = group.sums[live[j]];
    }
    // kRound samples a round, so that the compiler may decode them in one
    // vector; each sum still takes them one at a time, in order.
    std::size_t t = 0;
    for (; t + kRound <= step; t += kRound) {
      for (std::size_t j = 0; j < K; ++j) {
        for (std::size_t r = 0; r < kRound; ++r) {
          g[j] += Layout::Magnitude(at[j] + (t + r) * kBytes);
        }
      }
    }
    for (; t < step; ++t) {
      for (std::size_t j = 0; j < K; ++j) {
        g[j] += Layout::Magnitude(at[j] + t * kBytes);
      }
    }
    for (std::size_t j = 0; j < K; ++j) group.sums[live[j]] = g[j];
  }

  // In rounds: the pieces that still have samples advance together, by as
  // many samples as the shortest of them has left, with their number known
  // when compiling so that the sums stay in registers.
  static void Advance(Group& group) {
    for (std::size_t done = 0;;) {
      std::array<std::size_t, kSideBySide> live{};
      const LiveRound round =
          LivePieces(group.samples.data(), group.count, done, live.data());
      const std::size_t n = round.count;
      const std::size_t step = round.step;
      if (n == 0) return;
      [&]<std::size_t... K>(std::index_sequence<K...>) {
        (void)((n == K + 1 ? (AdvanceK<K + 1>(live, group, done, step), true)
                           : false) ||
               ...);
      }(std::make_index_sequence<kSideBySide>{});
      done += step;
    }
  }

  std::uint32_t channels_;
  AddRunFn run_;
  FloatSums floats_;
  double carry_ = 0;  // the window in progress
  // Every piece's sum, of which the first Ended() are whole windows'.
  std::array<double, Pieces::kMaxEnded + 1> sums_{};
  PeakKeys<Layout> peaks_;
};

}  // namespace ostrel
