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

template <std::size_t Width>
struct DoubleLanes;
template <>
struct DoubleLanes<16> {
  using F64 = double __attribute__((vector_size(16)));
  using U64 = std::uint64_t __attribute__((vector_size(16)));
  using U32 = std::uint32_t __attribute__((vector_size(8)));  // a word a lane
};
template <>
struct DoubleLanes<32> {
  using F64 = double __attribute__((vector_size(32)));
  using U64 = std::uint64_t __attribute__((vector_size(32)));
  using U32 = std::uint32_t __attribute__((vector_size(16)));
};

// The words of w as 64-bit lanes. Written as a shuffle with zeros, which
// GCC makes one instruction of (AVX2's vpmovzxdq on a whole vector), where
// __builtin_convertvector takes four.
template <class U64, class U32>
OSTREL_FLOAT_INLINE U64 ZeroExtend(const U32& w) {
  constexpr bool kLittle = std::endian::native == std::endian::little;
  const U32 z{};
  if constexpr (sizeof w / sizeof w[0] == 2) {
    return reinterpret_cast<U64>(kLittle ? __builtin_shufflevector(w, z, 0, 2, 1, 3)
                                         : __builtin_shufflevector(z, w, 0, 2, 1, 3));
  } else {
    return reinterpret_cast<U64>(
        kLittle ? __builtin_shufflevector(w, z, 0, 4, 1, 5, 2, 6, 3, 7)
                : __builtin_shufflevector(z, w, 0, 4, 1, 5, 2, 6, 3, 7));
  }
}

// Consecutive samples from p, one a lane: `mag` their magnitudes in level
// units, each the very double that Layout::Magnitude gives, and `peak`,
// doubles that order the samples as their magnitude keys do and that never
// compare greater than anything where the key is 0 for being a NaN.
template <class Layout, std::size_t Width>
OSTREL_FLOAT_INLINE void Load(const std::uint8_t* p,
                              typename DoubleLanes<Width>::F64& mag,
                              typename DoubleLanes<Width>::F64& peak) {
  using F64 = typename DoubleLanes<Width>::F64;
  using U64 = typename DoubleLanes<Width>::U64;
  using U32 = typename DoubleLanes<Width>::U32;
  if constexpr (std::is_same_v<Layout, Float32Samples>) {
    // Float32MagnitudeBits lane by lane; its result grows with the key.
    const U64 key = ZeroExtend<U64>(LoadLe<U32>(p) & 0x7FFFFFFFU);
    mag = reinterpret_cast<F64>((key << 29) + (std::uint64_t{1023 - 120} << 52));
    peak = mag;
  } else {
    static_assert(std::is_same_v<Layout, Float64Samples>);
    // |x| * 128 is fabs(x * 128): scaling by a power of two commutes with
    // the sign, and a NaN keeps its bits less the sign either way. |x|'s
    // bits are the key, and a NaN compares greater than nothing.
    peak = reinterpret_cast<F64>(LoadLe<U64>(p) & 0x7FFFFFFFFFFFFFFFU);
    mag = peak * 128.0;
  }
}

// The key of the largest magnitude that Load's `peak` held; 0.0 where the
// lane saw no sample, or only NaNs and zeros of 64-bit floats.
template <class Layout>
OSTREL_FLOAT_INLINE std::uint64_t TopKey(double top) {
  const auto bits = std::bit_cast<std::uint64_t>(top);
  if constexpr (std::is_same_v<Layout, Float32Samples>) {
    return bits == 0 ? 0 : (bits - (std::uint64_t{1023 - 120} << 52)) >> 29;
  } else {
    return bits;
  }
}

// Vector r of v becomes lane r of every vector: from a vector per window,
// whose lanes are consecutive samples, to a vector per sample, whose lanes
// are the windows.
template <class V>
OSTREL_FLOAT_INLINE void Transpose(std::array<V, 2>& v) {
  const V a = v[0];
  const V b = v[1];
  v[0] = __builtin_shufflevector(a, b, 0, 2);
  v[1] = __builtin_shufflevector(a, b, 1, 3);
}
template <class V>
OSTREL_FLOAT_INLINE void Transpose(std::array<V, 4>& v) {
  const V t0 = __builtin_shufflevector(v[0], v[1], 0, 4, 2, 6);
  const V t1 = __builtin_shufflevector(v[0], v[1], 1, 5, 3, 7);
  const V t2 = __builtin_shufflevector(v[2], v[3], 0, 4, 2, 6);
  const V t3 = __builtin_shufflevector(v[2], v[3], 1, 5, 3, 7);
  v[0] = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  v[1] = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  v[2] = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  v[3] = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The maxima of Ch channels (0: the loop finds none) in vector lanes: lane
// l of every vector holds channel l % Ch, which holds where Ch divides the
// lanes, as every piece starts on a frame boundary and advances by whole
// vectors. A NaN in `peak` leaves the lane as it is.
template <class F64>
OSTREL_FLOAT_INLINE void Raise(F64& top, const F64& peak) {
  top = peak > top ? peak : top;
}

// One round: `live` pieces (the first of `at`; the rest repeat one of
// them, so that every lane reads samples that are there, and their sums are
// dropped) advance by `step` samples. G vectors of windows, each with its
// own sum and maxima, so that G chains of additions overlap; each sum takes
// its Lanes samples of a step in order, and the last step % Lanes samples
// one at a time.
template <class Layout, std::size_t Width, std::uint32_t Ch, std::size_t G>
OSTREL_FLOAT_INLINE void Round(const std::uint8_t* const* at, std::size_t live,
                               double* sums, std::size_t step,
                               typename DoubleLanes<Width>::F64* top,
                               RunMagnitudes& m) {
  using F64 = typename DoubleLanes<Width>::F64;
  constexpr std::size_t kLanes = Width / 8;
  constexpr std::size_t kBytes = Layout::kBytes;
  std::array<const std::uint8_t*, G * kLanes> p{};
  std::array<F64, G> acc{};
  std::array<F64, G> high{};
  std::copy_n(at, G * kLanes, p.begin());
  std::memcpy(acc.data(), sums, sizeof acc);
  std::copy_n(top, G, high.begin());
  std::size_t t = 0;
  for (; t + kLanes <= step; t += kLanes) {
    for (std::size_t g = 0; g < G; ++g) {
      std::array<F64, kLanes> v;
      for (std::size_t l = 0; l < kLanes; ++l) {
        F64 peak;
        Load<Layout, Width>(p[g * kLanes + l] + t * kBytes, v[l], peak);
        if constexpr (Ch != 0) Raise(high[g], peak);
      }
      Transpose(v);
      for (std::size_t r = 0; r < kLanes; ++r) acc[g] += v[r];
    }
  }
  std::memcpy(sums, acc.data(), sizeof acc);
  std::copy_n(high.begin(), G, top);
  for (std::size_t j = 0; j < live; ++j) {
    double sum = sums[j];
    for (std::size_t u = t; u < step; ++u) {
      const std::uint8_t* q = p[j] + u * kBytes;
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
  using F64 = typename DoubleLanes<Width>::F64;
  constexpr std::size_t kLanes = Width / 8;
  constexpr std::size_t kGroups = kMaxFloatPieces / kLanes;
  std::array<F64, kGroups> top{};
  // On a local copy, which the sample bytes cannot alias.
  RunMagnitudes local = m;
  for (std::size_t done = 0;;) {
    std::array<std::size_t, kMaxFloatPieces> live{};
    std::size_t n = 0;
    std::size_t step = 0;
    for (std::size_t c = 0; c < count; ++c) {
      if (samples[c] > done) {
        const std::size_t rest = samples[c] - done;
        step = n == 0 ? rest : std::min(step, rest);
        live[n++] = c;
      }
    }
    if (n == 0) break;
    std::array<const std::uint8_t*, kMaxFloatPieces> at{};
    std::array<double, kMaxFloatPieces> s{};
    for (std::size_t i = 0; i < kMaxFloatPieces; ++i) {
      at[i] = start[live[std::min(i, n - 1)]] + done * Layout::kBytes;
    }
    for (std::size_t i = 0; i < n; ++i) s[i] = sums[live[i]];
    const std::size_t groups = (n + kLanes - 1) / kLanes;
    [&]<std::size_t... G>(std::index_sequence<G...>) {
      (void)((groups == G + 1
                  ? (Round<Layout, Width, Ch, G + 1>(at.data(), n, s.data(),
                                                     step, top.data(), local),
                     true)
                  : false) ||
             ...);
    }(std::make_index_sequence<kGroups>{});
    for (std::size_t i = 0; i < n; ++i) sums[live[i]] = s[i];
    done += step;
  }
  if constexpr (Ch != 0) {
    for (const F64& t : top) {
      for (std::size_t l = 0; l < kLanes; ++l) {
        std::uint64_t& key = local.top[l % Ch];
        key = std::max(key, TopKey<Layout>(t[l]));
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

// The loop for `channels` channels: one that also finds the peaks where
// the channel count divides the lanes, one that leaves them to the
// layout's run elsewhere.
template <class Layout, std::size_t Width>
FloatSums WideSums(std::uint32_t channels) {
  const auto with = [&]<std::uint32_t Ch>() -> FloatSums {
    if constexpr (Width == 16) {
      return {&AdvanceNarrow<Layout, Ch>, Ch != 0};
    } else {
#if OSTREL_WITH_AVX2
      return {&AdvanceAvx2<Layout, Ch>, Ch != 0};
#else
      return {};
#endif
    }
  };
  switch (channels) {
    case 1:
      return with.template operator()<1>();
    case 2:
      return with.template operator()<2>();
    case 4:
      if constexpr (Width / 8 == 4) return with.template operator()<4>();
      break;
    default:
      break;
  }
  return with.template operator()<0>();
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
      if (v == Variant::kPortable && kDoubleLanes &&
          ProcessorRuns(Variant::kPortable)) {
        return WideSums<Layout, 16>(wa.channels);
      }
      if (v == Variant::kAvx2 && OSTREL_WITH_AVX2 != 0 &&
          ProcessorRuns(Variant::kAvx2)) {
        return WideSums<Layout, 32>(wa.channels);
      }
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
