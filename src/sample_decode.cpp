// The helpers here (LoadLe among them) that take or return 32-byte vectors
// are always inlined, so no call ever passes one and the warning about that
// ABI does not apply. It is issued where a helper is defined, so this comes
// before the headers.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "sample_decode.hpp"

#include <numeric>

#include "vector_lanes.hpp"

namespace ostrel {
namespace {

// The wide loops are written once with GCC's vector types (vector_lanes.hpp)
// and compiled for 16-byte vectors, which every processor's compiler lowers
// to its own (SSE, NEON, the z vector unit, or plain code), and on x86 also
// inside functions built for AVX2, in 32-byte vectors.
//
// A loop goes through samples, not frames: sums of integers come out the
// same in any order, so only the maxima care which channel a sample is of.
// Lane l of vector r in a step holds sample r * Lanes + l of the step; a
// step takes lcm(Lanes, channels) samples, so that a lane always sees the
// same channel and a step is whole frames. For mono and stereo a step is
// one vector; for more channels it is at most seven, their number known
// only when running.
//
#define OSTREL_INLINE [[gnu::always_inline]] inline
// Lambdas inside the wide loops must be inlined too, into whichever
// variant's function calls them.
#define OSTREL_LAMBDA __attribute__((always_inline))

// Vectors in a step: lcm(Lanes, channels) / Lanes. Lanes are a power of 2
// of at least 4, so mono and stereo take one, and 7 channels the most.
template <std::size_t Lanes, class Shape>
OSTREL_INLINE std::size_t VectorsPerStep(Shape shape) {
  if constexpr (Shape::kFixed) {
    static_assert(Lanes % Shape::count() == 0);
    return 1;
  } else {
    return shape.count() / std::gcd(Lanes, std::size_t{shape.count()});
  }
}
// Room for the vectors of a step.
template <class Shape>
constexpr std::size_t kMaxVectorsPerStep = Shape::kFixed ? 1 : kMaxChannels;

template <class Vector>
OSTREL_INLINE std::uint64_t LaneTotal(const Vector& sum) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < sizeof sum / sizeof sum[0]; ++i) total += sum[i];
  return total;
}

// Folds the lanes' maxima of the step's `vectors` vectors into their
// channels.
template <class Vector, std::size_t N, class Shape>
OSTREL_INLINE void FoldMaxima(const std::array<Vector, N>& top,
                              std::size_t vectors, Shape shape,
                              RunMagnitudes& m) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(top[0][0]);
  const std::uint32_t channels = shape.count();
  for (std::size_t r = 0; r < vectors; ++r) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      std::uint64_t& t = m.top[(r * kLanes + l) % channels];
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

// The loop every wide variant shares. A step is `vectors` vectors of
// `Lanes` samples; body(at, r) takes vector r of the step that starts at
// sample `at`. The steps go in runs of at most Budget / vectors, after each
// of which flush() moves the lanes' sums into 64 bits before they could
// overflow. Returns how many samples it took: whole steps, so whole frames.
template <std::size_t Lanes, std::size_t Budget, class Body, class Flush>
OSTREL_INLINE std::size_t Steps(std::size_t samples, std::size_t vectors,
                                Body body, Flush flush) {
  const std::size_t step = Lanes * vectors;
  const std::size_t steps_per_run = Budget / vectors;
  std::size_t k = 0;
  while (k + step <= samples) {
    const std::size_t steps = std::min((samples - k) / step, steps_per_run);
    for (std::size_t s = 0; s < steps; ++s, k += step) {
      for (std::size_t r = 0; r < vectors; ++r) body(k + r * Lanes, r);
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
template <class Vector>
OSTREL_INLINE void Flush(Vector& sum, RunMagnitudes& m) {
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
template <std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide8(const std::uint8_t* p, std::size_t samples,
                                Shape shape, RunMagnitudes& m) {
  using U8 = typename Vectors<Width>::U8;
  using I8 = typename Vectors<Width>::I8;
  using U16 = typename Vectors<Width>::U16;
  constexpr std::size_t kLanes = Width;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U8, kMaxVectorsPerStep<Shape>> top{};
  U16 sum = {};
  const std::size_t k = Steps<kLanes, 255>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = LoadLe<U8>(p + at);
        // The byte less 128 as a signed byte; -128 maps onto 128.
        const U8 mag = Magnitude<U8, I8>(v ^ 0x80);
        Raise(top[r], mag);
        AddPairs(sum, mag);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// G.711 samples, decoded in 16-bit lanes by the standard's arithmetic
// rather than through the table: the magnitude is a segment's base times
// 2^segment, and 2^e for e of 0 to 7 is (1 + e0) (1 + 3 e1) (1 + 15 e2)
// from the bits of e, which needs only the baseline's multiplication.
// Magnitudes stay below 2^15, so signed comparisons order them.
template <std::size_t Width, bool MuLaw, class Shape>
OSTREL_INLINE std::size_t Wide711(const std::uint8_t* p, std::size_t samples,
                                  Shape shape, RunMagnitudes& m) {
  using HalfU8 = typename Vectors<Width>::HalfU8;
  using U16 = typename Vectors<Width>::U16;
  using I16 = typename Vectors<Width>::I16;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 2;
  const auto power = [](const U16& e) OSTREL_LAMBDA {
    return (1 + (e & 1)) * (1 + 3 * ((e >> 1) & 1)) * (1 + 15 * ((e >> 2) & 1));
  };
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<I16, kMaxVectorsPerStep<Shape>> top{};
  U32 sum = {};
  const std::size_t k = Steps<kLanes, (std::size_t{1} << 14)>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const U16 code = __builtin_convertvector(LoadLe<HalfU8>(p + at), U16);
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
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// 16-bit samples. Magnitudes (at most 2^15) are summed in 32-bit lanes, a
// pair of neighbouring samples per lane, and moved into 64 bits before a
// lane could pass 2^31.
template <std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide16(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U16 = typename Vectors<Width>::U16;
  using I16 = typename Vectors<Width>::I16;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 2;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U16, kMaxVectorsPerStep<Shape>> top{};
  U32 sum = {};
  const std::size_t k = Steps<kLanes, (std::size_t{1} << 14)>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const U16 mag = Magnitude<U16, I16>(LoadLe<U16>(p + 2 * at));
        Raise(top[r], mag);
        AddPairs(sum, mag);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// The bytes of a 24-bit group, spread into the top three bytes of 32-bit
// lanes (byte 0 of each lane is shifted out later; any byte will do
// there), on a little-endian processor. In 32 bytes a group is 8 samples:
// each half of the vector takes four (12 bytes), the second half loaded
// from 8 bytes into the group. In 16 bytes it is 4 samples, from two
// 8-byte loads 4 bytes apart. Either way no load reaches past the group.
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U8 Spread24(const std::uint8_t* group) {
  using HalfU8 = typename Vectors<Width>::HalfU8;
  if constexpr (Width == 32) {
    const auto low = LoadLe<HalfU8>(group);
    const auto high = LoadLe<HalfU8>(group + 8);
    return __builtin_shufflevector(
        low, high, 0, 0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11,  //
        16, 20, 21, 22, 16, 23, 24, 25, 16, 26, 27, 28, 16, 29, 30, 31);
  } else {
    const auto low = LoadLe<HalfU8>(group);
    const auto high = LoadLe<HalfU8>(group + 4);
    return __builtin_shufflevector(low, high, 0, 0, 1, 2, 0, 3, 4, 5,  //
                                   0, 6, 7, 12, 0, 13, 14, 15);
  }
}

// 24-bit samples, where bytes shuffle cheaply (see NarrowLoopRuns). An
// arithmetic shift right by 8 of the spread lanes restores the sign. A
// magnitude is at most 2^23, so a lane takes 256 of them before its sum
// moves into 64 bits.
template <std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide24(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U32 = typename Vectors<Width>::U32;
  using I32 = typename Vectors<Width>::I32;
  constexpr std::size_t kLanes = Width / 4;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U32, kMaxVectorsPerStep<Shape>> top{};
  U32 sum = {};
  const std::size_t k = Steps<kLanes, 256>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const I32 v = reinterpret_cast<I32>(Spread24<Width>(p + 3 * at)) >> 8;
        // No overflow: |v| is at most 2^23. Written so, the compiler takes
        // the processor's absolute value where it has one.
        const auto mag = reinterpret_cast<U32>(v < 0 ? -v : v);
        Raise(top[r], mag);
        sum += mag;
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// 32-bit integers and float words. A 32-bit magnitude (at most 2^31) is
// summed as its high and low 16 bits in separate lanes, each of which
// takes 2^15 values before it moves into 64 bits. A float's key is its
// word's low 31 bits, and only their maxima are wanted. The maxima are
// kept of key - 1 compared as signed numbers, which every key fits: SSE2
// has a signed comparison of 32-bit lanes but no unsigned one.
template <bool Sum, std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide32(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U32 = typename Vectors<Width>::U32;
  using I32 = typename Vectors<Width>::I32;
  constexpr std::size_t kLanes = Width / 4;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<I32, kMaxVectorsPerStep<Shape>> below{};  // key - 1; -1 for 0
  below.fill(I32{} - 1);
  U32 high_sum = {};
  U32 low_sum = {};
  const std::size_t k = Steps<kLanes, (std::size_t{1} << 15)>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = LoadLe<U32>(p + 4 * at);
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
  std::array<U32, kMaxVectorsPerStep<Shape>> top{};
  for (std::size_t r = 0; r < vectors; ++r) {
    top[r] = reinterpret_cast<U32>(below[r]) + 1;
  }
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// The layout's wide loop in vectors of Width bytes; returns the samples it
// took, whole frames of them.
template <class Layout, std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide(const std::uint8_t* p, std::size_t samples,
                               Shape shape, RunMagnitudes& m) {
  constexpr WideLoop kLoop = Layout::kWide;
  static_assert(kLoop != WideLoop::kNone);
  if constexpr (kLoop == WideLoop::kUnsigned8) {
    return Wide8<Width>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kALaw) {
    return Wide711<Width, false>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kMuLaw) {
    return Wide711<Width, true>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kInteger16) {
    return Wide16<Width>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kInteger24) {
    return Wide24<Width>(p, samples, shape, m);
  } else {
    return Wide32<kLoop == WideLoop::kInteger32, Width>(p, samples, shape, m);
  }
}

template <class Layout, class Shape>
OSTREL_NARROW_TARGET std::size_t WideNarrow(const std::uint8_t* p,
                                            std::size_t samples, Shape shape,
                                            RunMagnitudes& m) {
  return Wide<Layout, 16>(p, samples, shape, m);
}

#if OSTREL_WITH_AVX2
template <class Layout, class Shape>
OSTREL_AVX2_TARGET std::size_t WideAvx2(const std::uint8_t* p,
                                                     std::size_t samples,
                                                     Shape shape,
                                                     RunMagnitudes& m) {
  return Wide<Layout, 32>(p, samples, shape, m);
}

#endif


template <class Layout, Variant V>
void AddRun(const std::uint8_t* p, std::size_t frames, std::uint32_t channels,
            RunMagnitudes& m) {
  WithChannels(channels, [&](auto shape) OSTREL_LAMBDA {
    std::size_t done = 0;  // samples, a whole number of frames
    if constexpr (V == Variant::kPortable) {
      done = WideNarrow<Layout>(p, frames * channels, shape, m);
    }
#if OSTREL_WITH_AVX2
    if constexpr (V == Variant::kAvx2) {
      done = WideAvx2<Layout>(p, frames * channels, shape, m);
    }
#endif
    // On a local copy, which the sample bytes cannot alias, so that the
    // channels' maxima stay in registers instead of going back to memory
    // after every sample.
    RunMagnitudes local = m;
    AddRunScalar<Layout>(p + done * Layout::kBytes, frames - done / channels,
                         shape, local);
    m = local;
  });
}

// The 24-bit and G.711 loops shuffle bytes, which x86 (SSSE3) and arm64
// do in one instruction; other processors' compilers would spell a
// shuffle out byte by byte, slower than the plain loop.
#if OSTREL_X86 || defined(__aarch64__)
constexpr bool kByteShuffles = true;
#else
constexpr bool kByteShuffles = false;
#endif

template <class Layout>
constexpr bool NarrowLoopRuns() {
  constexpr WideLoop kLoop = Layout::kWide;
  const bool shuffles = kLoop == WideLoop::kInteger24 ||
                        kLoop == WideLoop::kALaw || kLoop == WideLoop::kMuLaw;
  return Layout::kNarrowWidePays && (kByteShuffles || !shuffles);
}

template <class Layout>
AddRunFn LayoutRun(Variant v) {
  switch (v) {
    case Variant::kScalar:
      return &AddRun<Layout, Variant::kScalar>;
    case Variant::kPortable:
      if constexpr (NarrowLoopRuns<Layout>()) {
        if (ProcessorRuns(Variant::kPortable)) {
          return &AddRun<Layout, Variant::kPortable>;
        }
      }
      return nullptr;
    case Variant::kAvx2:
#if OSTREL_WITH_AVX2
      if constexpr (Layout::kWide != WideLoop::kNone) {
        if (ProcessorRuns(Variant::kAvx2)) return &AddRun<Layout, Variant::kAvx2>;
      }
#endif
      return nullptr;
  }
  return nullptr;
}

Variant& VariantLimit() {
  static Variant most = Variant::kAvx2;
  return most;
}

}  // namespace

bool Decodes(const WaveAttributes& wa) {
  return WithLayout(wa, []<class Layout>(std::type_identity<Layout>) {
    return !std::is_void_v<Layout>;
  });
}

AddRunFn RunOf(const WaveAttributes& wa, Variant v) {
  return WithLayout(wa, [v]<class Layout>(std::type_identity<Layout>) {
    if constexpr (std::is_void_v<Layout>) {
      return AddRunFn{nullptr};
    } else {
      return LayoutRun<Layout>(v);
    }
  });
}

Variant ChosenVariant(const WaveAttributes& wa) {
  constexpr std::array kFastestFirst = {Variant::kAvx2, Variant::kPortable,
                                        Variant::kScalar};
  // The plain loop is always there and never above the limit.
  return *std::find_if(kFastestFirst.begin(), kFastestFirst.end(),
                       [&wa](Variant v) {
                         return v <= VariantLimit() && RunOf(wa, v) != nullptr;
                       });
}

void LimitVariantsForTesting(Variant most) { VariantLimit() = most; }

Variant MostVariantAllowed() { return VariantLimit(); }

}  // namespace ostrel
