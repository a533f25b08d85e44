#include "sample_decode.hpp"

#include <cstring>
#include <numeric>
#include <type_traits>

namespace ostrel {
namespace {

// The wide loops are written once with GCC's vector types and compiled
// twice: as they stand, for the baseline every x86-64 has (SSE2, where a
// 32-byte vector is two registers), and inside functions built for AVX2.
// Lane l of vector r in a step holds sample r * kLanes + l of the step; a
// step takes lcm(kLanes, Channels) samples, so that a lane always sees the
// same channel and a step is whole frames.
// Vectors of a given width in bytes: 16 for the baseline, where wider ones
// would be split into pieces and cost more than they save, 32 for AVX2.
// Written out for each width because GCC ignores a vector_size that
// depends on a template parameter.
template <std::size_t Width>
struct Vectors;
template <>
struct Vectors<16> {
  using HalfU8 = std::uint8_t __attribute__((vector_size(8)));
  using I8 = std::int8_t __attribute__((vector_size(16)));
  using U8 = std::uint8_t __attribute__((vector_size(16)));
  using I16 = std::int16_t __attribute__((vector_size(16)));
  using U16 = std::uint16_t __attribute__((vector_size(16)));
  using I32 = std::int32_t __attribute__((vector_size(16)));
  using U32 = std::uint32_t __attribute__((vector_size(16)));
};
template <>
struct Vectors<32> {
  using HalfU8 = std::uint8_t __attribute__((vector_size(16)));
  using I8 = std::int8_t __attribute__((vector_size(32)));
  using U8 = std::uint8_t __attribute__((vector_size(32)));
  using I16 = std::int16_t __attribute__((vector_size(32)));
  using U16 = std::uint16_t __attribute__((vector_size(32)));
  using I32 = std::int32_t __attribute__((vector_size(32)));
  using U32 = std::uint32_t __attribute__((vector_size(32)));
};

#define OSTREL_INLINE [[gnu::always_inline]] inline
// Lambdas inside the wide loops must be inlined too, into whichever
// variant's function calls them.
#define OSTREL_LAMBDA __attribute__((always_inline))
// The helpers below that take or return 32-byte vectors are always inlined,
// so no call ever passes one and the warning about that ABI does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

template <std::size_t Lanes, int Channels>
constexpr std::size_t kVectorsPerStep =
    std::lcm(Lanes, std::size_t{Channels}) / Lanes;

template <class Vector>
OSTREL_INLINE std::uint64_t LaneTotal(const Vector& sum) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < sizeof sum / sizeof sum[0]; ++i) total += sum[i];
  return total;
}

// Folds the lanes' maxima into their channels.
template <int Channels, class Vector, std::size_t R>
OSTREL_INLINE void FoldMaxima(const std::array<Vector, R>& top,
                              RunMagnitudes<Channels>& m) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(top[0][0]);
  for (std::size_t r = 0; r < R; ++r) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      std::uint64_t& t = m.top[(r * kLanes + l) % Channels];
      t = std::max<std::uint64_t>(t, top[r][l]);
    }
  }
}

// |v| of signed lanes, as unsigned: the most negative value maps onto its
// own magnitude (-32768 becomes 32768).
template <class Unsigned, class Signed>
OSTREL_INLINE Unsigned Magnitude(const Unsigned& v) {
  const auto sign = reinterpret_cast<Unsigned>(reinterpret_cast<Signed>(v) < 0);
  return (v ^ sign) - sign;
}

// The loop every wide variant shares. A step is kR vectors of `Lanes`
// samples; body(at, r) takes vector r of the step that starts at sample
// `at`. The steps go in runs of at most Budget / kR, after each of which
// flush() moves the lanes' sums into 64 bits before they could overflow.
// Returns how many samples it took: whole steps, so whole frames.
template <std::size_t Lanes, int Channels, std::size_t Budget, class Body,
          class Flush>
OSTREL_INLINE std::size_t Steps(std::size_t samples, Body body, Flush flush) {
  constexpr std::size_t kR = kVectorsPerStep<Lanes, Channels>;
  constexpr std::size_t kStep = Lanes * kR;
  constexpr std::size_t kStepsPerRun = Budget / kR;
  std::size_t k = 0;
  while (k + kStep <= samples) {
    const std::size_t steps = std::min((samples - k) / kStep, kStepsPerRun);
    for (std::size_t s = 0; s < steps; ++s, k += kStep) {
      for (std::size_t r = 0; r < kR; ++r) body(k + r * Lanes, r);
    }
    flush();
  }
  return k;
}

// Adds neighbouring pairs of narrow lanes into the wide lanes of `sum`,
// which are twice as wide: a vector of magnitudes of half its width each.
template <class Wide, class Narrow>
OSTREL_INLINE void AddPairs(Wide& sum, const Narrow& magnitudes) {
  constexpr int kBits = 8 * sizeof(magnitudes[0]);
  const auto pairs = reinterpret_cast<Wide>(magnitudes);
  sum += (pairs & ((1U << kBits) - 1)) + (pairs >> kBits);
}

// Moves the lanes' sums into the run's 64-bit total and starts them again.
template <class Vector, int Channels>
OSTREL_INLINE void Flush(Vector& sum, RunMagnitudes<Channels>& m) {
  m.sum += LaneTotal(sum);
  sum = Vector{};
}

// Takes the larger of each lane.
template <class Vector>
OSTREL_INLINE void Raise(Vector& top, const Vector& v) {
  top = v > top ? v : top;
}

// Unsigned 8-bit samples. A magnitude, |byte - 128|, is at most 128 and
// fits a byte; neighbouring pairs are summed in 16-bit lanes, which take
// 255 pairs before they move into 64 bits.
template <std::size_t Width, int Channels>
OSTREL_INLINE std::size_t Wide8(const std::uint8_t* p, std::size_t samples,
                                RunMagnitudes<Channels>& m) {
  using U8 = typename Vectors<Width>::U8;
  using I8 = typename Vectors<Width>::I8;
  using U16 = typename Vectors<Width>::U16;
  constexpr std::size_t kLanes = Width;
  std::array<U8, kVectorsPerStep<kLanes, Channels>> top{};
  U16 sum = {};
  const std::size_t k = Steps<kLanes, Channels, 255>(
      samples,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        U8 v;
        std::memcpy(&v, p + at, sizeof v);
        // The byte less 128 as a signed byte; -128 maps onto 128.
        const U8 mag = Magnitude<U8, I8>(v ^ 0x80);
        Raise(top[r], mag);
        AddPairs(sum, mag);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, m);
  return k;
}

// G.711 samples, decoded in 16-bit lanes by the standard's arithmetic
// rather than through the table: the magnitude is a segment's base times
// 2^segment, and 2^e for e of 0 to 7 is (1 + e0) (1 + 3 e1) (1 + 15 e2)
// from the bits of e, which needs only the baseline's multiplication.
// Magnitudes stay below 2^15, so signed comparisons order them.
template <std::size_t Width, int Channels, bool MuLaw>
OSTREL_INLINE std::size_t Wide711(const std::uint8_t* p, std::size_t samples,
                                  RunMagnitudes<Channels>& m) {
  using HalfU8 = typename Vectors<Width>::HalfU8;
  using U16 = typename Vectors<Width>::U16;
  using I16 = typename Vectors<Width>::I16;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 2;
  const auto power = [](const U16& e) OSTREL_LAMBDA {
    return (1 + (e & 1)) * (1 + 3 * ((e >> 1) & 1)) * (1 + 15 * ((e >> 2) & 1));
  };
  std::array<I16, kVectorsPerStep<kLanes, Channels>> top{};
  U32 sum = {};
  const std::size_t k = Steps<kLanes, Channels, (std::size_t{1} << 14)>(
      samples,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        HalfU8 bytes;
        std::memcpy(&bytes, p + at, sizeof bytes);
        const U16 code = __builtin_convertvector(bytes, U16);
        U16 mag;
        if constexpr (MuLaw) {
          // Inverted: a mantissa and an exponent; (8 m + 132) 2^e - 132.
          const U16 u = code ^ 0xFF;
          mag = ((u & 0x0F) * 8 + 0x84) * power((u >> 4) & 7) - 0x84;
        } else {
          // Even bits inverted: a step and a segment s; segment 0 is
          // 16 m + 8, segment s is (16 m + 264) 2^(s - 1).
          const U16 a = code ^ 0x55;
          const U16 segment = (a >> 4) & 7;
          const auto later = reinterpret_cast<U16>(segment != 0);
          mag = ((a & 0x0F) * 16 + 8 + (later & 0x100)) *
                power((segment - 1) & later);
        }
        Raise(top[r], reinterpret_cast<I16>(mag));
        AddPairs(sum, mag);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, m);
  return k;
}

// 16-bit samples. Magnitudes (at most 2^15) are summed in 32-bit lanes, a
// pair of neighbouring samples per lane, and moved into 64 bits before a
// lane could pass 2^31.
template <std::size_t Width, int Channels>
OSTREL_INLINE std::size_t Wide16(const std::uint8_t* p, std::size_t samples,
                                 RunMagnitudes<Channels>& m) {
  using U16 = typename Vectors<Width>::U16;
  using I16 = typename Vectors<Width>::I16;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 2;
  std::array<U16, kVectorsPerStep<kLanes, Channels>> top{};
  U32 sum = {};
  const std::size_t k = Steps<kLanes, Channels, (std::size_t{1} << 14)>(
      samples,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        U16 v;
        std::memcpy(&v, p + 2 * at, sizeof v);
        const U16 mag = Magnitude<U16, I16>(v);
        Raise(top[r], mag);
        AddPairs(sum, mag);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, m);
  return k;
}

// 24-bit samples. Each half of a register takes four samples (12 bytes) and
// spreads them into the top three bytes of 32-bit lanes, where an
// arithmetic shift right by 8 restores the sign. The second half is loaded
// from 8 bytes into the group, so no load reaches past the group's 24
// bytes. A magnitude is at most 2^23, so a lane takes 256 of them before
// its sum moves into 64 bits.
template <int Channels>
OSTREL_INLINE std::size_t Wide24(const std::uint8_t* p, std::size_t samples,
                                 RunMagnitudes<Channels>& m) {
  using V = Vectors<32>;
  constexpr std::size_t kLanes = 8;
  std::array<V::U32, kVectorsPerStep<kLanes, Channels>> top{};
  V::U32 sum = {};
  const std::size_t k = Steps<kLanes, Channels, 256>(
      samples,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const std::uint8_t* group = p + 3 * at;
        V::HalfU8 low;
        V::HalfU8 high;
        std::memcpy(&low, group, sizeof low);
        std::memcpy(&high, group + 8, sizeof high);
        // Byte 0 of each lane is shifted out; any byte will do there.
        const V::U8 spread = __builtin_shufflevector(
            low, high, 0, 0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11,  //
            16, 20, 21, 22, 16, 23, 24, 25, 16, 26, 27, 28, 16, 29, 30, 31);
        const V::I32 v = reinterpret_cast<V::I32>(spread) >> 8;
        const auto mag = Magnitude<V::U32, V::I32>(reinterpret_cast<V::U32>(v));
        Raise(top[r], mag);
        sum += mag;
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, m);
  return k;
}

// 32-bit integers and float words. A 32-bit magnitude (at most 2^31) is
// summed as its high and low 16 bits in separate lanes, each of which
// takes 2^15 values before it moves into 64 bits. A float's key is its
// word's low 31 bits, and only their maxima are wanted. The maxima are
// kept of key - 1 compared as signed numbers, which every key fits: SSE2
// has a signed comparison of 32-bit lanes but no unsigned one.
template <bool Sum, std::size_t Width, int Channels>
OSTREL_INLINE std::size_t Wide32(const std::uint8_t* p, std::size_t samples,
                                 RunMagnitudes<Channels>& m) {
  using U32 = typename Vectors<Width>::U32;
  using I32 = typename Vectors<Width>::I32;
  constexpr std::size_t kLanes = Width / 4;
  constexpr std::size_t kR = kVectorsPerStep<kLanes, Channels>;
  std::array<I32, kR> below{};  // the largest key - 1; -1 stands for 0
  below.fill(I32{} - 1);
  U32 high_sum = {};
  U32 low_sum = {};
  const std::size_t k = Steps<kLanes, Channels, (std::size_t{1} << 15)>(
      samples,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        U32 v;
        std::memcpy(&v, p + 4 * at, sizeof v);
        U32 key;
        if constexpr (Sum) {
          key = Magnitude<U32, I32>(v);
          high_sum += key >> 16;
          low_sum += key & 0xFFFF;
        } else {
          key = v & 0x7FFFFFFFU;
        }
        Raise(below[r], reinterpret_cast<I32>(key - 1));
      },
      [&]() OSTREL_LAMBDA {
        if constexpr (Sum) {
          m.sum += (LaneTotal(high_sum) << 16) + LaneTotal(low_sum);
          high_sum = U32{};
          low_sum = U32{};
        }
      });
  std::array<U32, kR> top{};
  for (std::size_t r = 0; r < kR; ++r) top[r] = reinterpret_cast<U32>(below[r]) + 1;
  FoldMaxima(top, m);
  return k;
}

// Which wide loop a layout has, if any, and whether its baseline (SSE2)
// build pays: measured against the plain loop on whole recordings, spreading
// 24-bit samples into lanes without AVX2's byte shuffle costs about twice
// as much, and the float maxima come out about 15% slower (the sums, not the
// maxima, bound that scan), so those two stay plain without AVX2. The
// 64-bit layouts have no wide loop.
template <class Layout>
constexpr bool kHasWide = std::is_same_v<Layout, Unsigned8Samples> ||
                          std::is_same_v<Layout, ALawSamples> ||
                          std::is_same_v<Layout, MuLawSamples> ||
                          std::is_same_v<Layout, IntegerSamples<2>> ||
                          std::is_same_v<Layout, IntegerSamples<3>> ||
                          std::is_same_v<Layout, IntegerSamples<4>> ||
                          std::is_same_v<Layout, Float32Samples>;
// The wide loops load words in the host's byte order, and samples are
// little-endian: on a big-endian host only the byte-wide layouts use them.
template <class Layout>
constexpr bool kHostOrderFits =
    Layout::kBytes == 1 || std::endian::native == std::endian::little;
template <class Layout>
constexpr bool kPortablePays = kHasWide<Layout> && kHostOrderFits<Layout> &&
                               !std::is_same_v<Layout, IntegerSamples<3>> &&
                               !std::is_same_v<Layout, Float32Samples>;

template <class Layout, std::size_t Width, int Channels>
OSTREL_INLINE std::size_t Wide(const std::uint8_t* p, std::size_t samples,
                               RunMagnitudes<Channels>& m) {
  if constexpr (std::is_same_v<Layout, Unsigned8Samples>) {
    return Wide8<Width>(p, samples, m);
  } else if constexpr (std::is_same_v<Layout, ALawSamples>) {
    return Wide711<Width, Channels, false>(p, samples, m);
  } else if constexpr (std::is_same_v<Layout, MuLawSamples>) {
    return Wide711<Width, Channels, true>(p, samples, m);
  } else if constexpr (std::is_same_v<Layout, IntegerSamples<2>>) {
    return Wide16<Width>(p, samples, m);
  } else if constexpr (std::is_same_v<Layout, IntegerSamples<3>>) {
    static_assert(Width == 32, "the 24-bit spread needs AVX2's shuffles");
    return Wide24(p, samples, m);
  } else {
    return Wide32<Layout::kIntegerSteps, Width>(p, samples, m);
  }
}

template <class Layout, int Channels>
std::size_t WidePortable(const std::uint8_t* p, std::size_t samples,
                         RunMagnitudes<Channels>& m) {
  if constexpr (kPortablePays<Layout>) {
    return Wide<Layout, 16>(p, samples, m);
  } else {
    return 0;  // never chosen: see CanRun
  }
}

// AVX2 variants exist only where the compiler targets x86, and not in
// builds that leave them out (the sanitizer build, the benchmark's baseline).
#if (defined(__x86_64__) || defined(__i386__)) && !defined(OSTREL_NO_AVX2)
#define OSTREL_WITH_AVX2 1
#endif

#ifdef OSTREL_WITH_AVX2
template <class Layout, int Channels>
__attribute__((target("avx2"))) std::size_t WideAvx2(
    const std::uint8_t* p, std::size_t samples, RunMagnitudes<Channels>& m) {
  if constexpr (kHasWide<Layout>) {
    return Wide<Layout, 32>(p, samples, m);
  } else {
    return 0;  // never chosen: see CanRun
  }
}

bool ProcessorHasAvx2() {
  static const bool has = [] {
    __builtin_cpu_init();
    return static_cast<bool>(__builtin_cpu_supports("avx2"));
  }();
  return has;
}
#endif

}  // namespace

template <class Layout>
bool CanRun(Variant variant) {
  switch (variant) {
    case Variant::kScalar:
      return true;
    case Variant::kPortable:
      return kPortablePays<Layout>;
    case Variant::kAvx2:
#ifdef OSTREL_WITH_AVX2
      return kHasWide<Layout> && ProcessorHasAvx2();
#else
      return false;
#endif
  }
  return false;
}

template <class Layout>
Variant BestVariant() {
  static const Variant best = [] {
    constexpr std::array kFastestFirst = {Variant::kAvx2, Variant::kPortable,
                                          Variant::kScalar};
    return *std::find_if(kFastestFirst.begin(), kFastestFirst.end(),
                         [](Variant v) { return CanRun<Layout>(v); });
  }();
  return best;
}

template <class Layout, int Channels>
void AddRun(Variant variant, const std::uint8_t* p, std::size_t frames,
            RunMagnitudes<Channels>& m) {
  const std::size_t samples = frames * Channels;
  std::size_t done = 0;  // samples, a whole number of frames
  switch (variant) {
    case Variant::kScalar:
      break;
    case Variant::kPortable:
      done = WidePortable<Layout>(p, samples, m);
      break;
    case Variant::kAvx2:
#ifdef OSTREL_WITH_AVX2
      done = WideAvx2<Layout>(p, samples, m);
#endif
      break;
  }
  AddRunScalar<Layout, Channels>(p + done * Layout::kBytes,
                                 frames - done / Channels, m);
}

#define OSTREL_CHANNELS(Layout, Channels)                          \
  template void AddRun<Layout, Channels>(Variant, const std::uint8_t*, \
                                         std::size_t, RunMagnitudes<Channels>&);
#define OSTREL_LAYOUT(Layout)                 \
  template bool CanRun<Layout>(Variant);      \
  template Variant BestVariant<Layout>();     \
  OSTREL_CHANNELS(Layout, 1)                  \
  OSTREL_CHANNELS(Layout, 2)                  \
  OSTREL_CHANNELS(Layout, 3)                  \
  OSTREL_CHANNELS(Layout, 4)                  \
  OSTREL_CHANNELS(Layout, 5)                  \
  OSTREL_CHANNELS(Layout, 6)                  \
  OSTREL_CHANNELS(Layout, 7)                  \
  OSTREL_CHANNELS(Layout, 8)
OSTREL_LAYOUT(Unsigned8Samples)
OSTREL_LAYOUT(ALawSamples)
OSTREL_LAYOUT(MuLawSamples)
OSTREL_LAYOUT(IntegerSamples<2>)
OSTREL_LAYOUT(IntegerSamples<3>)
OSTREL_LAYOUT(IntegerSamples<4>)
OSTREL_LAYOUT(Float32Samples)
OSTREL_LAYOUT(Float64Samples)
OSTREL_LAYOUT(Int64Samples)
#undef OSTREL_LAYOUT
#undef OSTREL_CHANNELS

}  // namespace ostrel
