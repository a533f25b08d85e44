// The helpers here (LoadLe among them) that take or return 32-byte vectors
// are always inlined, so no call ever passes one and the warning about that
// ABI does not apply. It is issued where a helper is defined, so this comes
// before the headers.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "sample_decode.hpp"

#include <numeric>

#include "vector_lanes.hpp"

// GCC's own, which clang (the compiler of macOS) refuses: x86 instructions
// written out on 32-byte vectors in functions that are built for AVX2 only
// once inlined, and byte shuffles with indices known only when running.
// Clang builds take the generic forms, and G.711 the plain loop.
#if defined(__GNUC__) && !defined(__clang__)
#define OSTREL_GCC 1
#else
#define OSTREL_GCC 0
#endif
#define OSTREL_X86_ASM (OSTREL_X86 && OSTREL_GCC)

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

// Lane l of the result is lane l + Shift of v, around.
template <std::size_t Shift, class Vector, std::size_t... L>
OSTREL_INLINE Vector Rotated(const Vector& v, std::index_sequence<L...> /*l*/) {
  return __builtin_shufflevector(v, v, ((L + Shift) % sizeof...(L))...);
}

// Lane l of v combined by `pick` (which takes the better of its second
// argument's lanes into its first) with every lane that lies a multiple of
// Period lanes away, into lanes 0 to Period - 1 (a power of 2): halves
// folded onto each other, then quarters, down to Period lanes.
template <std::size_t Period, std::size_t Span, class Vector, class Pick>
OSTREL_INLINE void FoldLanes(Vector& v, Pick pick) {
  if constexpr (Span > Period) {
    constexpr std::size_t kLanes = sizeof(Vector) / sizeof(v[0]);
    pick(v, Rotated<Span / 2>(v, std::make_index_sequence<kLanes>{}));
    FoldLanes<Period, Span / 2>(v, pick);
  }
}
template <std::size_t Period, class Vector, class Pick>
OSTREL_INLINE void FoldLanes(Vector& v, Pick pick) {
  FoldLanes<Period, sizeof(Vector) / sizeof(v[0])>(v, pick);
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

// Neighbouring pairs of narrow lanes added into lanes twice as wide.
template <class Wide, class Narrow>
OSTREL_INLINE Wide AddedPairs(const Narrow& v) {
  constexpr int kBits = 8 * sizeof(v[0]);
  const auto pairs = reinterpret_cast<Wide>(v);
  return (pairs & ((1U << kBits) - 1)) + (pairs >> kBits);
}


// Moves the lanes' sums into the run's 64-bit total and starts them again.
template <class Vector>
OSTREL_INLINE void Flush(Vector& sum, RunMagnitudes& m) {
  m.sum += LaneTotal(sum);
  sum = Vector{};
}


// The magnitudes |byte - 128| of unsigned 8-bit lanes, added into 32-bit
// lanes. x86 has the sum of absolute differences of eight bytes at a time
// for it (psadbw, into 64-bit lanes, of which the low half of each holds
// the sum); elsewhere the magnitudes are taken and added in pairs twice.
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U32 MagnitudeSums8(
    const typename Vectors<Width>::U8& v) {
  using V = Vectors<Width>;
  const typename V::U8 middle = typename V::U8{} + 0x80;
#if OSTREL_X86_ASM
  typename V::U32 sums;
  if constexpr (Width == 32) {
    asm("vpsadbw %2, %1, %0" : "=x"(sums) : "x"(v), "xm"(middle));
  } else {
    sums = reinterpret_cast<typename V::U32>(v);
    asm("psadbw %1, %0" : "+x"(sums) : "x"(middle));
  }
  return sums;
#else
  // The byte less 128 as a signed byte; -128 maps onto 128.
  const auto mag = Magnitude<typename V::U8, typename V::I8>(v ^ middle);
  return AddedPairs<typename V::U32>(AddedPairs<typename V::U16>(mag));
#endif
}

// Folds each lane's largest and smallest value, magnitudes about `zero`,
// into the channels' largest magnitudes: for mono and stereo in the
// vectors first.
template <class Vector, std::size_t N, class Shape>
OSTREL_INLINE void FoldExtremes(std::array<Vector, N>& highest,
                                std::array<Vector, N>& lowest,
                                std::size_t vectors, std::int32_t zero,
                                Shape shape, RunMagnitudes& m) {
  constexpr std::size_t kLanes = sizeof(Vector) / sizeof(highest[0][0]);
  if constexpr (Shape::kFixed) {
    FoldLanes<Shape::count()>(highest[0], [](Vector& a, const Vector& b) {
      Raise(a, b);
    });
    FoldLanes<Shape::count()>(lowest[0], [](Vector& a, const Vector& b) {
      Lower(a, b);
    });
  }
  const std::uint32_t channels = shape.count();
  const std::size_t lanes = Shape::kFixed ? channels : kLanes;
  for (std::size_t r = 0; r < vectors; ++r) {
    for (std::size_t l = 0; l < lanes; ++l) {
      const std::int32_t high = highest[r][l];
      const std::int32_t low = lowest[r][l];
      std::uint64_t& t = m.top[(r * kLanes + l) % channels];
      t = std::max<std::uint64_t>(
          t, static_cast<std::uint32_t>(std::max(high - zero, zero - low)));
    }
  }
}

// Unsigned 8-bit samples, whose magnitude |byte - 128| is at most 128; a
// 32-bit lane takes 255 steps' sums easily before they move into 64 bits.
// Each lane keeps its largest and smallest byte.
template <std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide8(const std::uint8_t* p, std::size_t samples,
                                Shape shape, RunMagnitudes& m) {
  using U8 = typename Vectors<Width>::U8;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U8, kMaxVectorsPerStep<Shape>> highest{};
  std::array<U8, kMaxVectorsPerStep<Shape>> lowest{};
  lowest.fill(U8{} + 0x80);
  highest.fill(U8{} + 0x80);
  U32 sum = {};
  const std::size_t k = Steps<kLanes, 255>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = LoadLe<U8>(p + at);
        Raise(highest[r], v);
        Lower(lowest[r], v);
        sum += MagnitudeSums8<Width>(v);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldExtremes(highest, lowest, vectors, 0x80, shape, m);
  return k;
}

// Lane l of the result is table[index[l]], for indices of 0 to 15.
// The indices K plus N.
template <std::size_t N, std::size_t... K>
constexpr std::index_sequence<(K + N)...> Offset(std::index_sequence<K...> /*k*/) {
  return {};
}

template <class U8>
OSTREL_INLINE U8 Lookup16(const U8& table, const U8& index) {
#if OSTREL_X86_ASM
  // x86 looks up within each 16-byte half, so a 32-byte table holds its 16
  // entries twice. Written as the instruction itself: GCC spells a generic
  // 32-byte shuffle out across halves, and an intrinsic would need every
  // function between here and the variant's entry built for the target.
  // (So are the other x86 instructions below. Their 16-byte forms take
  // registers only: a memory operand there must be aligned.)
  U8 out;
  if constexpr (sizeof(U8) == 32) {
    asm("vpshufb %2, %1, %0" : "=x"(out) : "x"(table), "xm"(index));
  } else {
    out = table;
    asm("pshufb %1, %0" : "+x"(out) : "x"(index));
  }
  return out;
#elif OSTREL_GCC
  return __builtin_shuffle(table, index);
#else
  static_assert(sizeof(U8) == 0, "the G.711 loop is built by GCC only");
  return table + index;
#endif
}

#if OSTREL_X86_ASM
// The products a[i] * b[i] of signed 16-bit lanes, added in neighbouring
// pairs into 32-bit lanes (pmaddwd).
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U32 ProductPairs(
    const typename Vectors<Width>::I16& a, const typename Vectors<Width>::I16& b) {
  typename Vectors<Width>::U32 pairs;
  if constexpr (Width == 32) {
    asm("vpmaddwd %2, %1, %0" : "=x"(pairs) : "x"(a), "xm"(b));
  } else {
    pairs = reinterpret_cast<typename Vectors<Width>::U32>(a);
    asm("pmaddwd %1, %0" : "+x"(pairs) : "x"(b));
  }
  return pairs;
}
#endif

// The products a[k] * b[k] for the lanes K, in 16-bit lanes.
template <std::size_t Width, std::size_t... K>
OSTREL_INLINE typename Vectors<Width>::U16 HalfProducts(
    const typename Vectors<Width>::U8& a, const typename Vectors<Width>::U8& b,
    std::index_sequence<K...> /*k*/) {
  using V = Vectors<Width>;
  const typename V::HalfU8 ha = __builtin_shufflevector(a, a, K...);
  const typename V::HalfU8 hb = __builtin_shufflevector(b, b, K...);
  return __builtin_convertvector(ha, typename V::U16) *
         __builtin_convertvector(hb, typename V::U16);
}

// The products a[i] * b[i] of unsigned bytes (b below 128), added into
// 32-bit lanes, four to a lane; the sum of a pair of products must stay
// below 2^15.
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U32 ProductsByFours(
    const typename Vectors<Width>::U8& a, const typename Vectors<Width>::U8& b) {
  using V = Vectors<Width>;
#if OSTREL_X86_ASM
  // Bytes times bytes into pairs of 16 bits, then pairs of those times 1.
  typename V::I16 pairs;
  if constexpr (Width == 32) {
    asm("vpmaddubsw %2, %1, %0" : "=x"(pairs) : "x"(a), "xm"(b));
  } else {
    pairs = reinterpret_cast<typename V::I16>(a);
    asm("pmaddubsw %1, %0" : "+x"(pairs) : "x"(b));
  }
  return ProductPairs<Width>(pairs, typename V::I16{} + 1);
#else
  const auto low = HalfProducts<Width>(a, b, std::make_index_sequence<Width / 2>{});
  const auto high = HalfProducts<Width>(
      a, b, Offset<Width / 2>(std::make_index_sequence<Width / 2>{}));
  return AddedPairs<typename V::U32>(low) + AddedPairs<typename V::U32>(high);
#endif
}

// G.711 samples, where bytes shuffle cheaply (see NarrowLoopRuns). A code's
// magnitude is a product of two small numbers, one a function of its low
// nibble, the other of its segment, and each comes from a 16-entry table:
//   mu-law, every bit inverted, mantissa m and exponent e:
//     (8 m + 132) 2^e - 132 = 4 (2 m + 33) 2^e - 132;
//   A-law, even bits inverted, step m and segment s: 16 m + 8 in segment 0,
//     (16 m + 264) 2^(s - 1) above it, so 8 (2 m + 33) P(s) - 256 [s = 0],
//     with P(0) = 1 and P(s) = 2^(s - 1).
// The tables are indexed by the code's own nibbles, the inversion folded
// into them. So the sum is 4 or 8 times the sum of the products, less the
// constant terms counted once per sample (A-law counts its segment-0
// samples as it goes). Magnitudes grow with the code's low 7 bits once the
// inversion is undone, so each lane's largest is kept as those 7 bits.
template <std::size_t Width, bool MuLaw, class Shape>
OSTREL_INLINE std::size_t Wide711(const std::uint8_t* p, std::size_t samples,
                                  Shape shape, RunMagnitudes& m) {
  using U8 = typename Vectors<Width>::U8;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width;
  const auto table = [](auto entry) OSTREL_LAMBDA {
    U8 t{};
    for (std::size_t i = 0; i < Width; ++i) {
      t[i] = static_cast<std::uint8_t>(entry(static_cast<unsigned>(i % 16)));
    }
    return t;
  };
  // Indexed by the code's low nibble and by its bits 4 to 6.
  const U8 factor = table([](unsigned i) {
    return 2 * ((MuLaw ? ~i : i ^ 5U) & 15U) + 33;
  });
  const U8 power = table([](unsigned j) {
    const unsigned e = MuLaw ? 7 - (j & 7U) : (j & 7U) ^ 5U;
    return MuLaw ? 1U << e : e == 0 ? 1U : 1U << (e - 1);
  });
  // The inverted bits.
  constexpr unsigned kFlip = MuLaw ? 0xFF : 0x55;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U8, kMaxVectorsPerStep<Shape>> top{};
  // A lane takes four products of at most 63 x 128 a step: a run of 255
  // steps stays far below 2^32, and the flush moves it into 64 bits.
  U32 products = {};
  U8 zero_segment = {};  // A-law: segment-0 samples, less each, by lane
  std::uint64_t zero_segments = 0;
  const std::size_t k = Steps<kLanes, 255>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const U8 code = LoadLe<U8>(p + at);
        const U8 high = reinterpret_cast<U8>(
            reinterpret_cast<typename Vectors<Width>::U16>(code) >> 4) & 7;
        products += ProductsByFours<Width>(Lookup16(power, high),
                                         Lookup16(factor, code & 15));
        Raise(top[r], U8{(code ^ kFlip) & 0x7F});
        if constexpr (!MuLaw) {
          // -1 (all ones) where the segment is 0.
          zero_segment += reinterpret_cast<U8>(high == 5);
        }
      },
      [&]() OSTREL_LAMBDA {
        m.sum += (MuLaw ? 4 : 8) * LaneTotal(products);
        products = U32{};
        if constexpr (!MuLaw) {
          zero_segments += LaneTotal(U8{} - zero_segment);
          zero_segment = U8{};
        }
      });
  if (k == 0) return 0;
  m.sum -= MuLaw ? 132 * std::uint64_t{k} : 256 * zero_segments;
  using Samples = std::conditional_t<MuLaw, MuLawSamples, ALawSamples>;
  const std::uint32_t channels = shape.count();
  for (std::size_t r = 0; r < vectors; ++r) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const unsigned low7 = top[r][l];
      const std::uint64_t key = Samples::MagnitudeKey(
          std::array<std::uint8_t, 1>{static_cast<std::uint8_t>(low7 ^ kFlip)}
              .data());
      std::uint64_t& t = m.top[(r * kLanes + l) % channels];
      t = std::max(t, key);
    }
  }
  return k;
}

// The magnitudes of 16-bit lanes, added in neighbouring pairs into 32-bit
// lanes. x86 does it in two instructions: the sign of each value applied to
// 1 (psignw), then the products of the values with those signs added in
// pairs (pmaddwd), where -32768 times -1 is 32768 in 32 bits. Elsewhere the
// magnitudes are taken (-32768 becomes 32768 as unsigned) and the pairs
// added.
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U32 MagnitudePairs(
    const typename Vectors<Width>::I16& v) {
  using V = Vectors<Width>;
#if OSTREL_X86_ASM
  const typename V::I16 ones = typename V::I16{} + 1;
  typename V::I16 signs;
  if constexpr (Width == 32) {
    asm("vpsignw %2, %1, %0" : "=x"(signs) : "x"(ones), "xm"(v));
  } else {
    signs = ones;
    asm("psignw %1, %0" : "+x"(signs) : "x"(v));
  }
  return ProductPairs<Width>(v, signs);
#else
  using U16 = typename V::U16;
  return AddedPairs<typename V::U32>(
      Magnitude<U16, typename V::I16>(reinterpret_cast<U16>(v)));
#endif
}

// 16-bit samples. Magnitudes (at most 2^15) are summed in 32-bit lanes, a
// pair of neighbouring samples per lane, and moved into 64 bits before a
// lane could pass 2^31. Each lane keeps its largest and its smallest value,
// of which the larger magnitude is the lane's largest.
template <std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide16(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U16 = typename Vectors<Width>::U16;
  using I16 = typename Vectors<Width>::I16;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 2;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<I16, kMaxVectorsPerStep<Shape>> highest{};
  std::array<I16, kMaxVectorsPerStep<Shape>> lowest{};
  U32 sum = {};
  const std::size_t k = Steps<kLanes, (std::size_t{1} << 14)>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = reinterpret_cast<I16>(LoadLe<U16>(p + 2 * at));
        Raise(highest[r], v);
        Lower(lowest[r], v);
        sum += MagnitudePairs<Width>(v);
      },
      [&]() OSTREL_LAMBDA { Flush(sum, m); });
  FoldExtremes(highest, lowest, vectors, 0, shape, m);
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

// |v| of signed 32-bit lanes, as unsigned (-2^31 becomes 2^31): on x86
// one instruction, which GCC does not find in the generic form.
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U32 Magnitude32(
    const typename Vectors<Width>::U32& v) {
  using V = Vectors<Width>;
#if OSTREL_X86_ASM
  typename V::U32 out;
  if constexpr (Width == 32) {
    asm("vpabsd %1, %0" : "=x"(out) : "xm"(v));
  } else {
    asm("pabsd %1, %0" : "=x"(out) : "x"(v));
  }
  return out;
#else
  return Magnitude<typename V::U32, typename V::I32>(v);
#endif
}

// 32-bit integers and float words. A 32-bit magnitude (at most 2^31) is
// summed as its high and low 16 bits in separate lanes, each of which
// takes 2^15 values before it moves into 64 bits. A float's key is its
// word's low 31 bits, and only their maxima are wanted.
template <bool Sum, std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide32(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 4;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U32, kMaxVectorsPerStep<Shape>> top{};
  U32 high_sum = {};
  U32 low_sum = {};
  const std::size_t k = Steps<kLanes, (std::size_t{1} << 15)>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = LoadLe<U32>(p + 4 * at);
        U32 key;
        if constexpr (Sum) {
          key = Magnitude32<Width>(v);
          high_sum += key >> 16;
          low_sum += key & 0xFFFF;
        } else {
          key = v & 0x7FFFFFFFU;
        }
        Raise(top[r], key);
      },
      [&]() OSTREL_LAMBDA {
        if constexpr (Sum) {
          m.sum += (LaneTotal(high_sum) << 16) + LaneTotal(low_sum);
          high_sum = U32{};
          low_sum = U32{};
        }
      });
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

// Whether the layout has a wide loop in this build: G.711's is GCC's only.
template <class Layout>
constexpr bool WideLoopBuilt() {
  constexpr WideLoop kLoop = Layout::kWide;
  const bool g711 = kLoop == WideLoop::kALaw || kLoop == WideLoop::kMuLaw;
  return kLoop != WideLoop::kNone && (OSTREL_GCC != 0 || !g711);
}

template <class Layout>
constexpr bool NarrowLoopRuns() {
  constexpr WideLoop kLoop = Layout::kWide;
  const bool shuffles = kLoop == WideLoop::kInteger24 ||
                        kLoop == WideLoop::kALaw || kLoop == WideLoop::kMuLaw;
  return WideLoopBuilt<Layout>() && Layout::kNarrowWidePays &&
         (kByteShuffles || !shuffles);
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
      if constexpr (WideLoopBuilt<Layout>()) {
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
