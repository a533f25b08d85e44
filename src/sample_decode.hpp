// Reading samples from their bytes: each layout's value and magnitude in
// level units (full scale 128), and the wide loops that find the magnitudes'
// sums and per-channel maxima over a run of whole frames.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "float32_decode.hpp"

namespace ostrel {

// What every layout of integer steps derives from its Raw value (a whole
// number of steps) and its kScale (level units per step).
template <class Layout>
struct StepSamples {
  using Key = std::uint32_t;
  static double Value(const std::uint8_t* p) {
    return Layout::Raw(p) * Layout::kScale;
  }
  // |v| in steps; the most negative value of every layout still fits.
  static Key MagnitudeKey(const std::uint8_t* p) {
    const std::int64_t v = Layout::Raw(p);
    return static_cast<Key>(v < 0 ? -v : v);
  }
  static double KeyMagnitude(Key key) { return key * Layout::kScale; }
  static double Magnitude(const std::uint8_t* p) {
    return KeyMagnitude(MagnitudeKey(p));
  }
};

// Little-endian two's complement integers of 2, 3 or 4 bytes. A magnitude
// is counted in steps of the least significant bit, so that magnitudes add
// up exactly as integers; Scale turns steps into level units.
template <int Bytes>
struct IntegerSamples : StepSamples<IntegerSamples<Bytes>> {
  static_assert(Bytes >= 2 && Bytes <= 4);
  static constexpr int kBytes = Bytes;
  // Magnitudes in steps add up exactly (see the window sums); none is above
  // 2^kMagnitudeBits.
  static constexpr bool kIntegerSteps = true;
  static constexpr int kMagnitudeBits = 8 * Bytes - 1;
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

// Unsigned 8-bit PCM: the byte less 128, already in level units.
struct Unsigned8Samples : StepSamples<Unsigned8Samples> {
  static constexpr int kBytes = 1;
  static constexpr bool kIntegerSteps = true;
  static constexpr int kMagnitudeBits = 7;
  static constexpr double kScale = 1;

  static std::int32_t Raw(const std::uint8_t* p) { return p[0] - 128; }
};

// G.711 A-law: the even bits are inverted; then a sign bit (set for
// positive), a 3-bit segment and a 4-bit step within it. Segment 0 is
// linear from 8 in steps of 16; each later segment doubles the steps.
constexpr std::int32_t ALawLinear(std::uint8_t code) {
  const unsigned a = code ^ 0x55U;
  const unsigned segment = (a >> 4) & 7U;
  auto t = static_cast<std::int32_t>((a & 0x0FU) << 4);
  if (segment == 0) {
    t += 8;
  } else {
    t = (t + 0x108) << (segment - 1);
  }
  return (a & 0x80U) != 0 ? t : -t;
}

// G.711 mu-law: every bit is inverted; then a sign bit (set for negative),
// a 3-bit exponent and a 4-bit mantissa: (mantissa * 8 + 132) * 2^exponent
// less the bias 132.
constexpr std::int32_t MuLawLinear(std::uint8_t code) {
  const unsigned u = ~code & 0xFFU;
  const std::int32_t t =
      static_cast<std::int32_t>(((u & 0x0FU) << 3) + 0x84U) << ((u >> 4) & 7U);
  return (u & 0x80U) != 0 ? 0x84 - t : t - 0x84;
}

// G.711 companded samples, decoded to their 16-bit linear values through a
// table; a step is 1/256 of a level unit, as for 16-bit PCM.
template <std::int32_t (*Linear)(std::uint8_t)>
struct G711Samples : StepSamples<G711Samples<Linear>> {
  static constexpr int kBytes = 1;
  static constexpr bool kIntegerSteps = true;
  static constexpr int kMagnitudeBits = 15;  // at most 32,256
  static constexpr double kScale = 1.0 / 256;
  static constexpr std::array<std::int16_t, 256> kLinear = [] {
    std::array<std::int16_t, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
      table[c] = static_cast<std::int16_t>(Linear(static_cast<std::uint8_t>(c)));
    }
    return table;
  }();

  static std::int32_t Raw(const std::uint8_t* p) { return kLinear[p[0]]; }
};
using ALawSamples = G711Samples<ALawLinear>;
using MuLawSamples = G711Samples<MuLawLinear>;

// Eight little-endian bytes as one word, written out so that the compiler
// sees a single load.
inline std::uint64_t Word64(const std::uint8_t* p) {
  return std::uint64_t{p[0]} | (std::uint64_t{p[1]} << 8) |
         (std::uint64_t{p[2]} << 16) | (std::uint64_t{p[3]} << 24) |
         (std::uint64_t{p[4]} << 32) | (std::uint64_t{p[5]} << 40) |
         (std::uint64_t{p[6]} << 48) | (std::uint64_t{p[7]} << 56);
}

// IEEE-754 double precision, times 128. A magnitude's key is the value's
// bits without the sign, which order magnitudes as the values do; a NaN,
// which never raises a peak, has the key 0.
struct Float64Samples {
  static constexpr int kBytes = 8;
  static constexpr bool kIntegerSteps = false;
  using Key = std::uint64_t;

  static double Value(const std::uint8_t* p) {
    return std::bit_cast<double>(Word(p)) * 128;
  }
  static Key MagnitudeKey(const std::uint8_t* p) {
    constexpr Key kInfinity = 0x7FF0000000000000U;
    const Key key = Word(p) & 0x7FFFFFFFFFFFFFFFU;
    return key > kInfinity ? 0 : key;
  }
  static double KeyMagnitude(Key key) { return std::bit_cast<double>(key) * 128; }
  static double Magnitude(const std::uint8_t* p) { return std::fabs(Value(p)); }

 private:
  static std::uint64_t Word(const std::uint8_t* p) { return Word64(p); }
};

// 64-bit signed integers, rounded to the nearest double and scaled by
// 2^-56 (full scale 2^63 becomes 128). Rounding is symmetric and never
// decreases a larger magnitude, so |v| as an integer is the key.
struct Int64Samples {
  static constexpr int kBytes = 8;
  static constexpr bool kIntegerSteps = false;
  using Key = std::uint64_t;

  static double Value(const std::uint8_t* p) {
    return std::ldexp(static_cast<double>(static_cast<std::int64_t>(Word(p))), -56);
  }
  static Key MagnitudeKey(const std::uint8_t* p) {
    const std::uint64_t w = Word(p);
    return (w >> 63) != 0 ? ~w + 1 : w;  // 2^63 for the most negative
  }
  static double KeyMagnitude(Key key) {
    return std::ldexp(static_cast<double>(key), -56);
  }
  static double Magnitude(const std::uint8_t* p) { return std::fabs(Value(p)); }

 private:
  static std::uint64_t Word(const std::uint8_t* p) { return Word64(p); }
};

// What a run of frames adds up to: the sum of every sample's magnitude
// key (only for integer layouts, where it is exact) and each channel's
// largest key.
template <int Channels>
struct RunMagnitudes {
  std::uint64_t sum = 0;
  std::array<std::uint64_t, Channels> top{};
};

// The ways a run can be gone through. Every one gives the same numbers:
// they add integers or take maxima, where the order does not matter.
enum class Variant {
  kScalar,    // one sample at a time: the reference, and short runs
  kPortable,  // 16-byte vectors every CPU of its kind has (SSE2, NEON...)
  kAvx2,      // 32-byte vectors, on processors that have them
};

// Whether this build and this processor can run the variant for the layout:
// only some layouts have wide loops, some only pay with AVX2, only x86
// builds without OSTREL_NO_AVX2 carry AVX2 code, and big-endian hosts run
// only the byte-wide loops.
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
      m.top[c] = std::max<std::uint64_t>(m.top[c], key);
    }
  }
}

}  // namespace ostrel
