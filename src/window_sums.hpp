// Window sums: what the interval scan adds up for each layout. The scan
// cuts every block into pieces that each lie within one window and hands
// them over a few at a time; a sum keeps the window in progress, the sums
// of windows that a piece completes, and the channels' peaks.
#pragma once

#include <array>
#include <cmath>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "interval_scan.hpp"
#include "sample_decode.hpp"

namespace ostrel {

// Consecutive runs of frames: the first continues the window in progress,
// each of the others starts a window; every piece but perhaps the last
// ends its window.
struct Pieces {
  static constexpr std::size_t kMax = 8;
  std::array<std::size_t, kMax> frames{};
  std::size_t count = 0;
};

template <class S>
concept WindowSums = requires(S sums, const S& seen, const std::uint8_t* p,
                              const Pieces& pieces, std::size_t c) {
  { S::kFrameBytes } -> std::convertible_to<std::size_t>;
  // Takes in the pieces' frames, which lie one after another from p.
  sums.Add(p, pieces);
  // The sum, in level units, of the window that ends with piece c of the
  // last Add; taking the last piece's sum starts a new window.
  { sums.TakeSum(c) } -> std::same_as<double>;
  { seen.peaks() } -> std::same_as<Peaks>;
};

// The peaks, held as each channel's largest magnitude key so far: taking
// the largest key is what CheckPeak does sample by sample, as a key orders
// magnitudes as their values do. Runs of frames add to it in place.
template <class Layout, int Channels>
class PeakKeys {
 public:
  // The run that the frames seen so far add up to; its sum is free for
  // the caller's use.
  RunMagnitudes<Channels>& run() {
    seen_ = true;
    return run_;
  }
  Peaks peaks() const {
    Peaks peaks;
    // A float key of 0 is still a magnitude of 2^-120, so nothing seen must
    // stay apart from a silent frame.
    if (!seen_) return peaks;
    for (int c = 0; c < Channels; ++c) {
      CheckPeak(peaks.channel[c], Layout::KeyMagnitude(static_cast<typename Layout::Key>(run_.top[c])));
    }
    return peaks;
  }

 private:
  RunMagnitudes<Channels> run_;
  bool seen_ = false;
};

// Integer samples whose window sum provably stays exact. The sum of
// magnitudes is kept as an integer: each |v| is a whole number of steps of
// the layout's scale (a power of two), so while every partial sum stays at
// or below 2^53 steps, adding the doubles one by one in frame order is
// exact too and gives the very double we get by scaling the integer sum at
// the end. Being exact, the order of additions is free, which lets the
// wide loops sum in vector lanes. Only for windows where StaysExact holds.
template <class Layout, int Channels>
class ExactSums {
 public:
  static constexpr std::size_t kFrameBytes =
      std::size_t{Layout::kBytes} * Channels;

  static bool StaysExact(std::uint32_t window) {
    return std::uint64_t{window} * Channels <=
           (std::uint64_t{1} << (53 - Layout::kMagnitudeBits));
  }

  void Add(const std::uint8_t* p, const Pieces& pieces) {
    RunMagnitudes<Channels>& run = peaks_.run();
    for (std::size_t c = 0; c < pieces.count; ++c) {
      const std::size_t frames = pieces.frames[c];
      const std::uint64_t before = run.sum;
      // Short pieces (windows of a few frames) skip the wide loops' setup.
      if (frames < kWideFrames) {
        AddRunScalar<Layout, Channels>(p, frames, run);
      } else {
        AddRun<Layout, Channels>(variant_, p, frames, run);
      }
      // Unsigned, so the running total may wrap: the difference holds.
      sums_[c] = run.sum - before;
      p += frames * kFrameBytes;
    }
    // Unsigned, so a window that never completes (window 0) may wrap
    // harmlessly: its sum is never read.
    sums_[0] += carry_;
    last_ = pieces.count - 1;
    carry_ = sums_[last_];
  }
  double TakeSum(std::size_t c) {
    if (c == last_) carry_ = 0;
    // At most 2^53 here, so the signed conversion (one instruction, where
    // the unsigned one is several) is exact.
    return static_cast<double>(static_cast<std::int64_t>(sums_[c])) *
           Layout::kScale;
  }
  Peaks peaks() const { return peaks_.peaks(); }

 private:
  static constexpr std::size_t kWideFrames = 32;
  Variant variant_ = BestVariant<Layout>();
  std::uint64_t carry_ = 0;  // the window in progress
  std::array<std::uint64_t, Pieces::kMax> sums_{};
  std::size_t last_ = 0;
  PeakKeys<Layout, Channels> peaks_;
};

// Window sums of doubles, one addition at a time in frame order, channels
// in order: a double sum rounds at every step, so its order is part of its
// value. That holds for float samples and for integer windows too long to
// sum exactly. The pieces are separate windows, though, and independent of
// each other, so their sums advance side by side: the processor overlaps
// the latencies of their additions instead of waiting out each one.
template <class Layout, int Channels>
class OrderedSums {
 public:
  static constexpr std::size_t kFrameBytes =
      std::size_t{Layout::kBytes} * Channels;

  void Add(const std::uint8_t* p, const Pieces& pieces) {
    std::array<const std::uint8_t*, Pieces::kMax> start{};
    std::size_t frames = 0;
    for (std::size_t c = 0; c < pieces.count; ++c) {
      start[c] = p + frames * kFrameBytes;
      frames += pieces.frames[c];
      sums_[c] = 0;
    }
    sums_[0] = carry_;
    // In rounds: the pieces that still have frames advance together, by as
    // many frames as the shortest of them has left.
    for (std::size_t done = 0;;) {
      std::array<std::size_t, Pieces::kMax> live{};
      std::size_t n = 0;
      std::size_t step = 0;
      for (std::size_t c = 0; c < pieces.count; ++c) {
        if (pieces.frames[c] > done) {
          const std::size_t rest = pieces.frames[c] - done;
          step = n == 0 ? rest : std::min(step, rest);
          live[n++] = c;
        }
      }
      if (n == 0) break;
      Advance(live, n, start, done, step);
      done += step;
    }
    last_ = pieces.count - 1;
    carry_ = sums_[last_];
    if (frames == 0) return;  // a short read may deliver nothing
    AddRun<Layout, Channels>(variant_, p, frames, peaks_.run());
  }
  double TakeSum(std::size_t c) {
    if (c == last_) carry_ = 0;
    return sums_[c];
  }
  Peaks peaks() const { return peaks_.peaks(); }

 private:
  using Starts = std::array<const std::uint8_t*, Pieces::kMax>;

  // Advances the K sums listed first in `live` by `step` frames, from
  // `done` frames into each piece.
  template <std::size_t K>
  void AdvanceK(const std::array<std::size_t, Pieces::kMax>& live,
                const Starts& start, std::size_t done, std::size_t step) {
    std::array<const std::uint8_t*, K> at{};
    std::array<double, K> g{};
    for (std::size_t j = 0; j < K; ++j) {
      at[j] = start[live[j]] + done * kFrameBytes;
      g[j] = sums_[live[j]];
    }
    for (std::size_t t = 0; t < step; ++t) {
      for (std::size_t j = 0; j < K; ++j) {
        for (int c = 0; c < Channels; ++c) {
          g[j] += Layout::Magnitude(at[j] + t * kFrameBytes +
                                    std::size_t{Layout::kBytes} * c);
        }
      }
    }
    for (std::size_t j = 0; j < K; ++j) sums_[live[j]] = g[j];
  }

  // AdvanceK with K, the number of live pieces, known when compiling, so
  // that the K sums stay in registers.
  void Advance(const std::array<std::size_t, Pieces::kMax>& live,
               std::size_t n, const Starts& start, std::size_t done,
               std::size_t step) {
    [&]<std::size_t... K>(std::index_sequence<K...>) {
      (void)((n == K + 1 ? (AdvanceK<K + 1>(live, start, done, step), true)
                         : false) ||
             ...);
    }(std::make_index_sequence<Pieces::kMax>{});
  }

  Variant variant_ = BestVariant<Layout>();
  double carry_ = 0;  // the window in progress
  std::array<double, Pieces::kMax> sums_{};
  std::size_t last_ = 0;
  PeakKeys<Layout, Channels> peaks_;
};

}  // namespace ostrel
