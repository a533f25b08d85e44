// The helpers here that take or return 32-byte vectors are always inlined,
// so no call passes one and the warning about that ABI does not apply. It
// is issued where a helper is defined, so this comes before the headers.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "float_sums.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstring>
#include <type_traits>
#include <utility>

#include "float32_decode.hpp"
#include "little_endian.hpp"

namespace ostrel {
namespace {

// Written once with GCC's vector types and compiled for 16-byte vectors
// (two windows a vector) and, on x86, inside functions built for AVX2 in
// 32-byte vectors (four windows a vector). Neither target enables fused
// multiply-add: a contracted multiply and add would round once where the
// plain loop rounds twice.
#define OSTREL_FLOAT_INLINE [[gnu::always_inline]] inline

constexpr bool kLittle = std::endian::native == std::endian::little;

// Within each 16-byte half, lanes of x and y in turn: from the lower
// halves of those halves, or from the upper ones. These stay within the
// halves, which every processor shuffles cheaply; only Join crosses them.
template <class V>
OSTREL_FLOAT_INLINE V InterleaveLow(const V& x, const V& y) {
  constexpr std::size_t kCount = sizeof x / sizeof x[0];
  if constexpr (kCount == 2) return __builtin_shufflevector(x, y, 0, 2);
  if constexpr (kCount == 4 && sizeof x[0] == 8) return __builtin_shufflevector(x, y, 0, 4, 2, 6);
  if constexpr (kCount == 4 && sizeof x[0] == 4) return __builtin_shufflevector(x, y, 0, 4, 1, 5);
  if constexpr (kCount == 8) return __builtin_shufflevector(x, y, 0, 8, 1, 9, 4, 12, 5, 13);
}
template <class V>
OSTREL_FLOAT_INLINE V InterleaveHigh(const V& x, const V& y) {
  constexpr std::size_t kCount = sizeof x / sizeof x[0];
  if constexpr (kCount == 2) return __builtin_shufflevector(x, y, 1, 3);
  if constexpr (kCount == 4 && sizeof x[0] == 8) return __builtin_shufflevector(x, y, 1, 5, 3, 7);
  if constexpr (kCount == 4 && sizeof x[0] == 4) return __builtin_shufflevector(x, y, 2, 6, 3, 7);
  if constexpr (kCount == 8) return __builtin_shufflevector(x, y, 2, 10, 3, 11, 6, 14, 7, 15);
}

// The 16 bytes from each of two windows, as one vector of Width bytes: the
// first window's alone in 16 bytes, both in 32 (the second in the upper
// half).
template <class V, class Half>
OSTREL_FLOAT_INLINE V Join(const std::uint8_t* first, const std::uint8_t* second) {
  if constexpr (sizeof(V) == sizeof(Half)) {
    return LoadLe<Half>(first);
  } else {
    // Joined as doubles, whatever the lanes: GCC then inserts the second
    // half (vinsertf128), where for integer lanes it permutes both
    // (vperm2i128), which is slower.
    using Doubles = double __attribute__((vector_size(16)));
    const auto low = reinterpret_cast<Doubles>(LoadLe<Half>(first));
    const auto high = reinterpret_cast<Doubles>(LoadLe<Half>(second));
    return reinterpret_cast<V>(__builtin_shufflevector(low, high, 0, 1, 2, 3));
  }
}

// What a vector's windows keep of their channels' maxima: 32-bit keys for
// 32-bit floats, compared as signed numbers, which every 31-bit key is;
// |x| for 64-bit floats, whose bits are the key and whose order, in
// doubles, is the keys', with a NaN greater than nothing.
template <class Layout, std::size_t Width>
using Top = std::conditional_t<std::is_same_v<Layout, Float32Samples>,
                               typename Vectors<Width>::I32, typename Vectors<Width>::F64>;

// Four samples from sample t of each of a vector's windows (w[0] in lane
// 0, and so on), as four vectors of magnitudes in level units, one per
// sample: each lane the very double that Layout::Magnitude gives. Their
// keys go into top[0] (samples t and t + 1) and top[1] (t + 2, t + 3);
// see SampleOfTopLane for which lane holds which.
template <class Layout, std::size_t Width, bool Peaks>
OSTREL_FLOAT_INLINE void Quad(const std::uint8_t* const* w, std::size_t t,
                              std::array<typename Vectors<Width>::F64, 4>& d,
                              std::array<Top<Layout, Width>, 2>& top) {
  using F64 = typename Vectors<Width>::F64;
  using U64 = typename Vectors<Width>::U64;
  using U32 = typename Vectors<Width>::U32;
  using I32 = typename Vectors<Width>::I32;
  constexpr bool kWide = Width == 32;
  if constexpr (std::is_same_v<Layout, Float32Samples>) {
    using Half = std::uint32_t __attribute__((vector_size(16)));
    const std::size_t at = 4 * t;
    const U32 first = Join<U32, Half>(w[0] + at, kWide ? w[2] + at : nullptr);
    const U32 second = Join<U32, Half>(w[1] + at, kWide ? w[3] + at : nullptr);
    // Samples 0 and 1 of each window, then 2 and 3: [a0 b0 a1 b1], and in
    // 32 bytes [a0 b0 a1 b1 | c0 d0 c1 d1].
    const std::array<U32, 2> keys = {InterleaveLow(first, second) & 0x7FFFFFFFU,
                                     InterleaveHigh(first, second) & 0x7FFFFFFFU};
    for (std::size_t h = 0; h < 2; ++h) {
      if constexpr (Peaks) Raise(top[h], reinterpret_cast<I32>(keys[h]));
      // Float32MagnitudeBits in 32-bit halves: the low word is the key
      // moved up by 29, the high word the key moved down by 3 plus the
      // bias, with no carry between them. Side by side they are a double.
      const U32 low = keys[h] << 29;
      const U32 high = (keys[h] >> 3) + ((1023U - 120U) << 20);
      const U32 lo = kLittle ? low : high;
      const U32 hi = kLittle ? high : low;
      d[2 * h] = reinterpret_cast<F64>(InterleaveLow(lo, hi));
      d[2 * h + 1] = reinterpret_cast<F64>(InterleaveHigh(lo, hi));
    }
  } else {
    static_assert(std::is_same_v<Layout, Float64Samples>);
    // |x| * 128 is fabs(x * 128): scaling by a power of two commutes with
    // the sign, and a NaN keeps its bits less the sign either way.
    constexpr std::uint64_t kMagnitude = 0x7FFFFFFFFFFFFFFFU;
    if constexpr (kWide) {
      // Each window's four samples in one load, then the four vectors
      // turned about: that measured faster here than joining halves, as
      // 32-bit floats do, which takes twice the loads.
      std::array<F64, 4> v;
      for (std::size_t l = 0; l < 4; ++l) {
        v[l] = reinterpret_cast<F64>(LoadLe<U64>(w[l] + 8 * t) & kMagnitude);
        if constexpr (Peaks) Raise(top[l / 2], v[l]);
      }
      const F64 t0 = InterleaveLow(v[0], v[1]);   // [a0 b0 a2 b2]
      const F64 t1 = InterleaveHigh(v[0], v[1]);  // [a1 b1 a3 b3]
      const F64 t2 = InterleaveLow(v[2], v[3]);
      const F64 t3 = InterleaveHigh(v[2], v[3]);
      d[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5) * 128.0;
      d[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5) * 128.0;
      d[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7) * 128.0;
      d[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7) * 128.0;
    } else {
      using Half = std::uint64_t __attribute__((vector_size(16)));
      for (std::size_t h = 0; h < 2; ++h) {
        // [a0 a1] and [b0 b1] into [a0 b0] and [a1 b1].
        const std::size_t at = 8 * (t + 2 * h);
        const auto first = reinterpret_cast<F64>(LoadLe<Half>(w[0] + at) & kMagnitude);
        const auto second = reinterpret_cast<F64>(LoadLe<Half>(w[1] + at) & kMagnitude);
        if constexpr (Peaks) {
          Raise(top[h], first);
          Raise(top[h], second);
        }
        d[2 * h] = InterleaveLow(first, second) * 128.0;
        d[2 * h + 1] = InterleaveHigh(first, second) * 128.0;
      }
    }
  }
}

// The sample, of the four that Quad takes, whose key lane l of top[h]
// holds.
template <class Layout, std::size_t Width>
constexpr std::size_t SampleOfTopLane(std::size_t h, std::size_t l) {
  if constexpr (std::is_same_v<Layout, Float32Samples>) return 2 * h + l / 2 % 2;
  if constexpr (Width == 32) return l;
  return 2 * h + l % 2;
}

template <class Layout, class V>
OSTREL_FLOAT_INLINE std::uint64_t TopKey(const V& top, std::size_t l) {
  if constexpr (std::is_same_v<Layout, Float32Samples>) {
    return static_cast<std::uint32_t>(top[l]);
  } else {
    return std::bit_cast<std::uint64_t>(top[l]);
  }
}

// Maxima kept apart for neighbouring vectors of windows, so that one chain
// of comparisons does not hold up the sums.
constexpr std::size_t kTopSets = 2;

// One round: the pieces of `at` (those past the live ones repeat one of
// them, so that every lane reads samples that are there, and their sums are
// dropped) advance by `step` samples, less the last step % 4, which RoundEnd
// takes; returns how many they advanced by. G vectors of windows, each with
// its own sum, so that G chains of additions overlap; each sum takes its
// four samples of an iteration in order. The maxima of Ch channels (0: none) go into the vectors' lanes,
// where the channel of a lane stays the same: pieces start on a frame
// boundary and Ch divides the four samples of an iteration.
template <class Layout, std::size_t Width, std::uint32_t Ch, std::size_t G>
OSTREL_FLOAT_INLINE std::size_t Round(const std::uint8_t* const* at,
                                      double* sums, std::size_t step,
                                      std::array<Top<Layout, Width>, 2>* top) {
  using F64 = typename Vectors<Width>::F64;
  constexpr std::size_t kLanes = Width / 8;
  std::array<const std::uint8_t*, G * kLanes> p{};
  std::array<F64, G> acc{};
  // Only the sets in use, or GCC keeps the others' maxima in memory and
  // with them these.
  constexpr std::size_t kSets = std::min(G, kTopSets);
  std::array<std::array<Top<Layout, Width>, 2>, kSets> high{};
  std::copy_n(at, G * kLanes, p.begin());
  std::memcpy(acc.data(), sums, sizeof acc);
  std::copy_n(top, kSets, high.begin());
  std::size_t t = 0;
  for (; t + 4 <= step; t += 4) {
    for (std::size_t g = 0; g < G; ++g) {
      std::array<F64, 4> d;
      Quad<Layout, Width, Ch != 0>(p.data() + g * kLanes, t, d, high[g % kSets]);
      for (std::size_t r = 0; r < 4; ++r) acc[g] += d[r];
    }
  }
  std::memcpy(sums, acc.data(), sizeof acc);
  std::copy_n(high.begin(), kSets, top);
  return t;
}

// The samples of a round from `from` to `step` of the first `live` pieces
// of `at`, one at a time.
template <class Layout, std::uint32_t Ch>
OSTREL_FLOAT_INLINE void RoundEnd(const std::uint8_t* const* at, std::size_t live,
                                  double* sums, std::size_t from,
                                  std::size_t step, RunMagnitudes& m) {
  for (std::size_t j = 0; j < live; ++j) {
    double sum = sums[j];
    for (std::size_t u = from; u < step; ++u) {
      const std::uint8_t* q = at[j] + u * std::size_t{Layout::kBytes};
      sum += Layout::Magnitude(q);
      if constexpr (Ch != 0) {
        std::uint64_t& key = m.top[u % Ch];
        key = std::max<std::uint64_t>(key, Layout::MagnitudeKey(q));
      }
    }
    sums[j] = sum;
  }
}

// The pieces in rounds, as OrderedSums::Advance goes: those that still
// have samples advance together by as many as the shortest of them has
// left, in as few vectors as hold them.
template <class Layout, std::size_t Width, std::uint32_t Ch>
OSTREL_FLOAT_INLINE void AdvanceWide(const std::uint8_t* const* start,
                                     const std::size_t* samples, double* sums,
                                     std::size_t count, RunMagnitudes& m) {
  constexpr std::size_t kLanes = Width / 8;
  constexpr std::size_t kGroups = kMaxFloatPieces / kLanes;
  std::array<std::array<Top<Layout, Width>, 2>, kTopSets> top{};
  // On a local copy, which the sample bytes cannot alias.
  RunMagnitudes local = m;
  for (std::size_t done = 0;;) {
    std::array<std::size_t, kMaxFloatPieces> live{};
    const LiveRound round = LivePieces(samples, count, done, live.data());
    const std::size_t n = round.count;
    const std::size_t step = round.step;
    if (n == 0) break;
    std::array<const std::uint8_t*, kMaxFloatPieces> at{};
    std::array<double, kMaxFloatPieces> s{};
    for (std::size_t i = 0; i < kMaxFloatPieces; ++i) {
      at[i] = start[live[std::min(i, n - 1)]] + done * Layout::kBytes;
    }
    for (std::size_t i = 0; i < n; ++i) s[i] = sums[live[i]];
    const std::size_t groups = (n + kLanes - 1) / kLanes;
    std::size_t t = 0;
    [&]<std::size_t... G>(std::index_sequence<G...>) {
      (void)((groups == G + 1
                  ? (t = Round<Layout, Width, Ch, G + 1>(at.data(), s.data(),
                                                         step, top.data()),
                     true)
                  : false) ||
             ...);
    }(std::make_index_sequence<kGroups>{});
    RoundEnd<Layout, Ch>(at.data(), n, s.data(), t, step, local);
    for (std::size_t i = 0; i < n; ++i) sums[live[i]] = s[i];
    done += step;
  }
  if constexpr (Ch != 0) {
    // 32-bit keys, or doubles.
    constexpr std::size_t kTopLanes =
        Width / (std::is_same_v<Layout, Float32Samples> ? 4 : 8);
    for (const auto& set : top) {
      for (std::size_t h = 0; h < 2; ++h) {
        for (std::size_t l = 0; l < kTopLanes; ++l) {
          std::uint64_t& key = local.top[SampleOfTopLane<Layout, Width>(h, l) % Ch];
          key = std::max(key, TopKey<Layout>(set[h], l));
        }
      }
    }
  }
  m = local;
}

template <class Layout, std::uint32_t Ch>
OSTREL_NARROW_TARGET void AdvanceNarrow(const std::uint8_t* const* start,
                                        const std::size_t* samples,
                                        double* sums, std::size_t count,
                                        std::uint32_t /*channels*/,
                                        RunMagnitudes& m) {
  AdvanceWide<Layout, 16, Ch>(start, samples, sums, count, m);
}

#if OSTREL_WITH_AVX2
template <class Layout, std::uint32_t Ch>
OSTREL_AVX2_TARGET void AdvanceAvx2(const std::uint8_t* const* start,
                                    const std::size_t* samples, double* sums,
                                    std::size_t count,
                                    std::uint32_t /*channels*/,
                                    RunMagnitudes& m) {
  AdvanceWide<Layout, 32, Ch>(start, samples, sums, count, m);
}
#endif

// The loop for `channels` channels: for mono and stereo one that also
// finds the peaks, for the rest one that leaves them to the layout's run.
// Four channels could find them too (they divide an iteration's four
// samples), but take code of their own for files that are rare.
template <class Layout, std::size_t Width, std::uint32_t Ch>
FloatSums WideSumsFor() {
  if constexpr (Width == 16) {
    return {&AdvanceNarrow<Layout, Ch>, Ch != 0};
  } else {
#if OSTREL_WITH_AVX2
    return {&AdvanceAvx2<Layout, Ch>, Ch != 0};
#else
    return {};
#endif
  }
}

template <class Layout, std::size_t Width>
FloatSums WideSums(std::uint32_t channels) {
  switch (channels) {
    case 1:
      return WideSumsFor<Layout, Width, 1>();
    case 2:
      return WideSumsFor<Layout, Width, 2>();
    default:
      return WideSumsFor<Layout, Width, 0>();
  }
}

// The 16-byte loops pay where the processor has lanes of doubles: SSE2
// and NEON on arm64. Other processors' compilers would split the vectors
// into plain additions and add the shuffles on top.
#if OSTREL_X86 || defined(__aarch64__)
constexpr bool kDoubleLanes = true;
#else
constexpr bool kDoubleLanes = false;
#endif

}  // namespace

FloatSums FloatSumsOf(const WaveAttributes& wa, Variant v) {
  return WithLayout(wa, [&]<class Layout>(std::type_identity<Layout>) {
    constexpr bool kFloat = std::is_same_v<Layout, Float32Samples> ||
                            std::is_same_v<Layout, Float64Samples>;
    if constexpr (kFloat) {
      if (!ProcessorRuns(v)) return FloatSums{};
      if (v == Variant::kPortable && kDoubleLanes) {
        return WideSums<Layout, 16>(wa.channels);
      }
      if (v == Variant::kAvx2) return WideSums<Layout, 32>(wa.channels);
    }
    return FloatSums{};
  });
}

FloatSums ChosenFloatSums(const WaveAttributes& wa) {
  for (const Variant v : {Variant::kAvx2, Variant::kPortable}) {
    if (v > MostVariantAllowed()) continue;
    const FloatSums sums = FloatSumsOf(wa, v);
    if (sums.advance != nullptr) return sums;
  }
  return {};
}

}  // namespace ostrel
