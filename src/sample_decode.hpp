// Reading samples from their bytes: each layout's value and magnitude in
// level units (full scale 128), and the wide loops that find the magnitudes'
// sums and per-channel maxima over a run of whole frames.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>

#include "float32_decode.hpp"

namespace ostrel {

// Little-endian two's complement integers of 2, 3 or 4 bytes. A magnitude
// is counted in steps of the least significant bit, so that magnitudes add
// up exactly as integers; Scale turns steps into level units.
template <int Bytes>
struct IntegerSamples {
  static_assert(Bytes >= 2 && Bytes <= 4);
  static constexpr int kBytes = Bytes;
  // Magnitudes in steps add up exactly (see the window sums).
  static constexpr bool kIntegerSteps = true;
  using Key = std::uint32_t;
  // Level units per step: full scale, 2^(8*Bytes-1), becomes 128.
  static constexpr double kScale =
      1.0 / static_cast<double>(std::uint64_t{1} << (8 * (Bytes - 1)));

  static std::int32_t Raw(const std::uint8_t* p) {
    if constexpr (Bytes == 2) {
      return static_cast<std::int16_t>(p[0] | (p[1] << 8));
    } else if constexpr (Bytes == 3) {
      // The top byte carries the sign; the lower two count 0 to 255.
      return static_cast<std::int8_t>(p[2]) * 65536 + (p[1] << 8) + p[0];
    } else {
      return static_cast<std::int32_t>(
          p[0] | (p[1] << 8) | (p[2] << 16) |
          (static_cast<std::uint32_t>(p[3]) << 24));
    }
  }
  static double Value(const std::uint8_t* p) { return Raw(p) * kScale; }
  // |v| in steps; the most negative sample's 2^(8*Bytes-1) still fits.
  static Key MagnitudeKey(const std::uint8_t* p) {
    const std::int64_t v = Raw(p);
    return static_cast<Key>(v < 0 ? -v : v);
  }
  static double KeyMagnitude(Key key) { return key * kScale; }
  static double Magnitude(const std::uint8_t* p) {
    return KeyMagnitude(MagnitudeKey(p));
  }
};

// IEEE-754 single precision. The key of a magnitude is the word's low 31
// bits, which order magnitudes as the decoded doubles do.
struct Float32Samples {
  static constexpr int kBytes = 4;
  static constexpr bool kIntegerSteps = false;
  using Key = std::uint32_t;

  static double Value(const std::uint8_t* p) {
    return Float32Convert(p[0], p[1], p[2], p[3]);
  }
  static Key MagnitudeKey(const std::uint8_t* p) {
    return (p[0] | (p[1] << 8) | (p[2] << 16) |
            (static_cast<std::uint32_t>(p[3]) << 24)) &
           0x7FFFFFFFU;
  }
  static double KeyMagnitude(Key key) { return Float32FromWord(key); }
  static double Magnitude(const std::uint8_t* p) {
    return KeyMagnitude(MagnitudeKey(p));
  }
};

// What a run of frames adds up to: the sum of every sample's magnitude
// key (only for integer layouts, where it is exact) and each channel's
// largest key.
template <int Channels>
struct RunMagnitudes {
  std::uint64_t sum = 0;
  std::array<std::uint32_t, Channels> top{};
};

// The ways a run can be gone through. Every one gives the same numbers:
// they add integers or take maxima, where the order does not matter.
enum class Variant {
  kScalar,    // one sample at a time: the reference, and short runs
  kPortable,  // vector code every x86-64 runs (SSE2), where it pays
  kAvx2,      // 32-byte vectors, on processors that have them
};

// Whether this build and this processor can run the variant for the layout:
// the 24-bit shuffle only pays with AVX2, and builds made with
// OSTREL_PORTABLE carry no AVX2 code.
template <class Layout>
bool CanRun(Variant variant);

// The fastest variant that CanRun.
template <class Layout>
Variant BestVariant();

// Adds the magnitudes of `frames` whole frames from p to m, in the given
// variant (which must be one that CanRun). Float layouts leave m.sum alone.
template <class Layout, int Channels>
void AddRun(Variant variant, const std::uint8_t* p, std::size_t frames,
            RunMagnitudes<Channels>& m);

// The plain per-sample loop, which the wide loops leave their tails to.
template <class Layout, int Channels>
inline void AddRunScalar(const std::uint8_t* p, std::size_t frames,
                         RunMagnitudes<Channels>& m) {
  constexpr std::size_t kFrameBytes = std::size_t{Layout::kBytes} * Channels;
  for (std::size_t k = 0; k < frames; ++k) {
    for (int c = 0; c < Channels; ++c) {
      const auto key = Layout::MagnitudeKey(p + k * kFrameBytes +
                                            std::size_t{Layout::kBytes} * c);
      if constexpr (Layout::kIntegerSteps) m.sum += key;
      m.top[c] = std::max(m.top[c], key);
    }
  }
}

}  // namespace ostrel
