// Float window sums in vector lanes: 32-bit and 64-bit float samples, whose
// window sums are doubles added one sample at a time in sample order. A
// lane holds one window's sum, so each sum still takes its samples one at
// a time and in order, and comes out bit for bit as in the plain loop;
// the lanes only let several windows advance in one instruction.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "sample_decode.hpp"
#include "vector_lanes.hpp"
#include "wave_header.hpp"

namespace ostrel {

// Advances the sums of `count` (at most kMaxFloatPieces) pieces, each a
// whole number of frames that starts on a frame boundary: piece j has
// samples[j] samples from start[j], and sums[j] goes on from its value by
// every one of them. Where the loop also finds the peaks, it raises m's
// channels' maxima by every sample it takes.
using FloatSumsFn = void (*)(const std::uint8_t* const* start,
                             const std::size_t* samples, double* sums,
                             std::size_t count, std::uint32_t channels,
                             RunMagnitudes& m);
constexpr std::size_t kMaxFloatPieces = 8;

// The pieces that have samples left `done` samples in, and the fewest any
// of them has left: a round of side-by-side sums advances them all by that
// many. Writes their indices to `live`.
struct LiveRound {
  std::size_t count = 0;
  std::size_t step = 0;
};
inline LiveRound LivePieces(const std::size_t* samples, std::size_t count,
                            std::size_t done, std::size_t* live) {
  LiveRound round;
  for (std::size_t c = 0; c < count; ++c) {
    if (samples[c] > done) {
      const std::size_t rest = samples[c] - done;
      round.step = round.count == 0 ? rest : std::min(round.step, rest);
      live[round.count++] = c;
    }
  }
  return round;
}

// A float layout's wide sums: the loop, and whether it also finds the
// peaks (then the scan needs no second pass over the samples for them).
struct FloatSums {
  FloatSumsFn advance = nullptr;
  bool peaks = false;
};

// The wide sums of variant v for files of `wa`, or none (advance nullptr)
// where `wa` is no float layout, the variant is the plain loop, or this
// build or processor has no such loop.
FloatSums FloatSumsOf(const WaveAttributes& wa, Variant v);

// The wide sums that scans of `wa` use: the fastest variant that
// FloatSumsOf gives and LimitVariantsForTesting allows, or none.
FloatSums ChosenFloatSums(const WaveAttributes& wa);

}  // namespace ostrel
