// Reading samples from their bytes: the layouts the tool decodes, each
// sample's magnitude in level units (full scale 128), and the runs that add
// up the magnitudes of whole frames and find each channel's largest, in
// plain code or in vector lanes.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "float32_decode.hpp"
#include "little_endian.hpp"
#include "vector_lanes.hpp"
#include "wave_header.hpp"

namespace ostrel {

// The most channels a file may have.
constexpr std::uint32_t kMaxChannels = 8;

// The wide loop that goes through a layout's samples in vector lanes.
enum class WideLoop {
  kNone,
  kUnsigned8,
  kALaw,
  kMuLaw,
  kInteger16,
  kInteger24,
  kInteger32,
  kFloat32,  // maxima of the keys only: float sums are not exact
};

// What every layout of integer steps derives from its Raw value (a whole
// number of steps) and its kScale (level units per step).
template <class Layout>
struct StepSamples {
  using Key = std::uint32_t;
  // Magnitudes in steps add up exactly (see the window sums).
  static constexpr bool kIntegerSteps = true;
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

// Each layout says how wide its samples are, how a sample's magnitude is
// read (as a key that orders magnitudes, and in level units), which wide
// loop goes through it and whether that loop pays in 16-byte vectors: the
// float maxima cost about 15% more there (the float sums, not the maxima,
// bound that scan), so they stay plain.

// Little-endian two's complement integers of 2, 3 or 4 bytes. A magnitude
// is counted in steps of the least significant bit; kScale turns steps into
// level units.
template <int Bytes>
struct IntegerSamples : StepSamples<IntegerSamples<Bytes>> {
  static_assert(Bytes >= 2 && Bytes <= 4);
  static constexpr int kBytes = Bytes;
  // No magnitude is above 2^kMagnitudeBits steps.
  static constexpr int kMagnitudeBits = 8 * Bytes - 1;
  // Full scale, 2^(8*Bytes-1), becomes 128.
  static constexpr double kScale =
      1.0 / static_cast<double>(std::uint64_t{1} << (8 * (Bytes - 1)));
  static constexpr WideLoop kWide = Bytes == 2   ? WideLoop::kInteger16
                                    : Bytes == 3 ? WideLoop::kInteger24
                                                 : WideLoop::kInteger32;
  static constexpr bool kNarrowWidePays = true;

  static std::int32_t Raw(const std::uint8_t* p) {
    if constexpr (Bytes == 2) {
      return static_cast<std::int16_t>(LoadLe<std::uint16_t>(p));
    } else if constexpr (Bytes == 3) {
      // The top byte carries the sign; the lower two count 0 to 65535.
      return static_cast<std::int8_t>(p[2]) * 65536 +
             LoadLe<std::uint16_t>(p);
    } else {
      return static_cast<std::int32_t>(LoadLe<std::uint32_t>(p));
    }
  }
};

// Unsigned 8-bit PCM: the byte less 128, already in level units.
struct Unsigned8Samples : StepSamples<Unsigned8Samples> {
  static constexpr int kBytes = 1;
  static constexpr int kMagnitudeBits = 7;
  static constexpr double kScale = 1;
  static constexpr WideLoop kWide = WideLoop::kUnsigned8;
  static constexpr bool kNarrowWidePays = true;

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
template <std::int32_t (*Linear)(std::uint8_t), WideLoop Wide>
struct G711Samples : StepSamples<G711Samples<Linear, Wide>> {
  static constexpr int kBytes = 1;
  static constexpr int kMagnitudeBits = 15;  // at most 32,256
  static constexpr double kScale = 1.0 / 256;
  static constexpr WideLoop kWide = Wide;
  static constexpr bool kNarrowWidePays = true;
  static constexpr std::array<std::int16_t, 256> kLinear = [] {
    std::array<std::int16_t, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
      table[c] = static_cast<std::int16_t>(Linear(static_cast<std::uint8_t>(c)));
    }
    return table;
  }();

  static std::int32_t Raw(const std::uint8_t* p) { return kLinear[p[0]]; }
};
using ALawSamples = G711Samples<ALawLinear, WideLoop::kALaw>;
using MuLawSamples = G711Samples<MuLawLinear, WideLoop::kMuLaw>;

// IEEE-754 single precision. The key of a magnitude is the word's low 31
// bits, which order magnitudes as the decoded doubles do.
struct Float32Samples {
  static constexpr int kBytes = 4;
  static constexpr bool kIntegerSteps = false;
  static constexpr WideLoop kWide = WideLoop::kFloat32;
  static constexpr bool kNarrowWidePays = false;
  using Key = std::uint32_t;

  static Key MagnitudeKey(const std::uint8_t* p) {
    return LoadLe<std::uint32_t>(p) & 0x7FFFFFFFU;
  }
  static double KeyMagnitude(Key key) { return Float32Convert(key); }
  static double Magnitude(const std::uint8_t* p) {
    return KeyMagnitude(MagnitudeKey(p));
  }
};

// IEEE-754 double precision, times 128. A magnitude's key is the value's
// bits without the sign, which order magnitudes as the values do; a NaN,
// which never raises a peak, has the key 0.
struct Float64Samples {
  static constexpr int kBytes = 8;
  static constexpr bool kIntegerSteps = false;
  static constexpr WideLoop kWide = WideLoop::kNone;
  static constexpr bool kNarrowWidePays = false;
  using Key = std::uint64_t;

  static Key MagnitudeKey(const std::uint8_t* p) {
    constexpr Key kInfinity = 0x7FF0000000000000U;
    const Key key = LoadLe<std::uint64_t>(p) & 0x7FFFFFFFFFFFFFFFU;
    return key > kInfinity ? 0 : key;
  }
  static double KeyMagnitude(Key key) { return std::bit_cast<double>(key) * 128; }
  static double Magnitude(const std::uint8_t* p) {
    return std::fabs(std::bit_cast<double>(LoadLe<std::uint64_t>(p)) * 128);
  }
};

// 64-bit signed integers, rounded to the nearest double and scaled by
// 2^-56 (full scale 2^63 becomes 128). Rounding is symmetric and never
// decreases a larger magnitude, so |v| as an integer is the key.
struct Int64Samples {
  static constexpr int kBytes = 8;
  static constexpr bool kIntegerSteps = false;
  static constexpr WideLoop kWide = WideLoop::kNone;
  static constexpr bool kNarrowWidePays = false;
  using Key = std::uint64_t;

  static Key MagnitudeKey(const std::uint8_t* p) {
    const auto w = LoadLe<std::uint64_t>(p);
    return (w >> 63) != 0 ? ~w + 1 : w;  // 2^63 for the most negative
  }
  static double KeyMagnitude(Key key) {
    return std::ldexp(static_cast<double>(key), -56);
  }
  static double Magnitude(const std::uint8_t* p) {
    const auto v = static_cast<std::int64_t>(LoadLe<std::uint64_t>(p));
    return std::fabs(std::ldexp(static_cast<double>(v), -56));
  }
};

// The one place that names the layouts: calls visit with
// std::type_identity<Layout> for the layout that decodes files of these
// attributes, or with std::type_identity<void> where none does. The tool
// decodes 1 to 8 channels of 8-bit (unsigned PCM, A-law or mu-law), 16-,
// 24- or 32-bit samples, or 64-bit integer PCM or floats.
template <class Visit>
decltype(auto) WithLayout(const WaveAttributes& wa, Visit&& visit) {
  if (wa.channels >= 1 && wa.channels <= kMaxChannels) {
    switch (wa.bytes_per_sample) {
      case 1:
        if (wa.encoding == kEncodingALaw) {
          return visit(std::type_identity<ALawSamples>{});
        }
        if (wa.encoding == kEncodingMuLaw) {
          return visit(std::type_identity<MuLawSamples>{});
        }
        return visit(std::type_identity<Unsigned8Samples>{});
      case 2:
        return visit(std::type_identity<IntegerSamples<2>>{});
      case 3:
        return visit(std::type_identity<IntegerSamples<3>>{});
      case 4:
        if (wa.encoding == kEncodingPcm) {
          return visit(std::type_identity<IntegerSamples<4>>{});
        }
        return visit(std::type_identity<Float32Samples>{});
      case 8:
        if (wa.encoding == kEncodingPcm) {
          return visit(std::type_identity<Int64Samples>{});
        }
        if (wa.encoding == kEncodingFloat) {
          return visit(std::type_identity<Float64Samples>{});
        }
        break;
      default:
        break;
    }
  }
  return visit(std::type_identity<void>{});
}

// Whether some layout decodes files of these attributes.
bool Decodes(const WaveAttributes& wa);

// What a run of frames adds up to: the sum of every sample's magnitude
// key (only for integer layouts, where it is exact) and each channel's
// largest key.
struct RunMagnitudes {
  std::uint64_t sum = 0;
  std::array<std::uint64_t, kMaxChannels> top{};
};

// The channel count of a run: known when compiling for mono and stereo,
// which have code of their own, and when running for the rest.
template <std::uint32_t N>
struct FixedChannels {
  static constexpr bool kFixed = true;
  static constexpr std::uint32_t count() { return N; }
};
struct AnyChannels {
  static constexpr bool kFixed = false;
  std::uint32_t n;
  std::uint32_t count() const { return n; }
};

// Calls f with the shape of `channels` channels.
template <class F>
[[gnu::always_inline]] inline void WithChannels(std::uint32_t channels, F&& f) {
  switch (channels) {
    case 1:
      f(FixedChannels<1>{});
      break;
    case 2:
      f(FixedChannels<2>{});
      break;
    default:
      f(AnyChannels{channels});
      break;
  }
}

// The plain per-sample loop: the reference for the wide loops, and what
// they leave their tails and short runs to.
template <class Layout, class Shape>
[[gnu::always_inline]] inline void AddRunScalar(const std::uint8_t* p,
                                                std::size_t frames,
                                                Shape shape,
                                                RunMagnitudes& m) {
  const std::uint32_t channels = shape.count();
  for (std::size_t k = 0; k < frames; ++k) {
    for (std::uint32_t c = 0; c < channels; ++c, p += Layout::kBytes) {
      const auto key = Layout::MagnitudeKey(p);
      if constexpr (Layout::kIntegerSteps) m.sum += key;
      m.top[c] = std::max<std::uint64_t>(m.top[c], key);
    }
  }
}


// Adds the magnitudes of `frames` whole frames of `channels` channels from
// p to m. Float layouts leave m.sum alone.
using AddRunFn = void (*)(const std::uint8_t* p, std::size_t frames,
                          std::uint32_t channels, RunMagnitudes& m);

// The run of the layout that decodes `wa` in variant v, or nullptr where
// no layout decodes it, the layout has no such loop, or this build or
// processor cannot run it. Every layout has the plain loop, kScalar.
AddRunFn RunOf(const WaveAttributes& wa, Variant v);

// The variant that scans of `wa` use: the fastest that RunOf gives and the
// limit below allows.
Variant ChosenVariant(const WaveAttributes& wa);

// For tests and the benchmark, which compare the variants in one build:
// from now on, scans use no variant faster than `most` (kAvx2, the
// default, allows them all).
void LimitVariantsForTesting(Variant most);

// The fastest variant that the limit above allows, for the loops that
// choose their variant apart from RunOf (the float sums).
Variant MostVariantAllowed();

}  // namespace ostrel
