// The wide loops, written once. sample_decode.cpp includes this file once
// per variant, each time in a namespace of its own that names the
// variant's width (kWidth) and inside a region where every function is
// built for the variant's target, so that the processor's intrinsics
// inline into them. It includes nothing itself: the standard headers come
// before the regions, so that no function of theirs is built for a target
// that the plain loop may not run on. So it has no include guard, and
// no other file includes it.
//
// A loop goes through samples, not frames: sums of integers come out the
// same in any order, so only the maxima care which channel a sample is of.
// Lane l of vector r in a step holds sample r * Lanes + l of the step; a
// step takes lcm(Lanes, channels) samples, so that a lane always sees the
// same channel and a step is whole frames. For mono and stereo a step is
// one vector; for more channels it is at most seven, their number known
// only when running.

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

// The most a 32-bit lane holds.
constexpr std::uint64_t kLaneMax = 0xFFFFFFFF;

template <class Vector>
OSTREL_INLINE std::uint64_t LaneTotal(const Vector& sum) {
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < sizeof sum / sizeof sum[0]; ++i) total += sum[i];
  return total;
}

// v's bits as another vector type of its size: ours, or the compiler's
// own, which its intrinsics take.
template <class To, class From>
OSTREL_INLINE To As(const From& v) {
  static_assert(sizeof(To) == sizeof(From));
  return reinterpret_cast<To>(v);
}

// A vector's little-endian bytes from p (see LoadLe), as a function built
// for the variant's target: clang refuses a function not built for AVX
// that returns a 32-byte vector, even one that is always inlined. Only
// 16-byte vectors come from big-endian processors.
template <class Vector>
OSTREL_INLINE Vector Load(const std::uint8_t* p) {
  if constexpr (std::endian::native == std::endian::little) {
    Vector v;
    std::memcpy(&v, p, sizeof v);
    return v;
  } else {
    return LoadLe<Vector>(p);
  }
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

// Neighbouring pairs of narrow lanes added into lanes twice as wide.
template <class Wide, class Narrow>
OSTREL_INLINE Wide AddedPairs(const Narrow& v) {
  constexpr int kBits = 8 * sizeof(v[0]);
  const auto pairs = reinterpret_cast<Wide>(v);
  return (pairs & ((1U << kBits) - 1)) + (pairs >> kBits);
}

// The operations that each processor does its own way: its instructions
// through the compiler's intrinsics on x86 and arm64, generic vector code
// elsewhere. The 32-byte forms are x86's AVX2 only.

// Adds the magnitudes |byte - 128| of v's bytes into sum's 32-bit lanes,
// at most eight magnitudes into a lane.
template <std::size_t Width>
OSTREL_INLINE void AddMagnitudes8(typename Vectors<Width>::U32& sum,
                                  const typename Vectors<Width>::U8& v) {
  using V = Vectors<Width>;
  const typename V::U8 middle = typename V::U8{} + 0x80;
#if OSTREL_X86
  // The sums of the absolute differences of eight bytes at a time, into
  // 64-bit lanes (psadbw), whose high halves stay 0.
  if constexpr (Width == 32) {
    sum += As<typename V::U32>(_mm256_sad_epu8(As<__m256i>(v), As<__m256i>(middle)));
  } else {
    sum += As<typename V::U32>(_mm_sad_epu8(As<__m128i>(v), As<__m128i>(middle)));
  }
#elif defined(__aarch64__)
  // The absolute differences, added in pairs, and the pairs added in pairs
  // into the lanes.
  const uint8x16_t mag = vabdq_u8(As<uint8x16_t>(v), As<uint8x16_t>(middle));
  sum = As<typename V::U32>(vpadalq_u16(As<uint32x4_t>(sum), vpaddlq_u8(mag)));
#else
  // The byte less 128 as a signed byte; -128 maps onto 128.
  const auto mag = Magnitude<typename V::U8, typename V::I8>(v ^ middle);
  sum += AddedPairs<typename V::U32>(AddedPairs<typename V::U16>(mag));
#endif
}

// Adds the magnitudes of v's signed 16-bit lanes into sum's 32-bit lanes,
// a pair of neighbours into a lane.
template <std::size_t Width>
OSTREL_INLINE void AddMagnitudes16(typename Vectors<Width>::U32& sum,
                                   const typename Vectors<Width>::I16& v) {
  using V = Vectors<Width>;
#if OSTREL_X86
  // The sign of each value applied to 1 (psignw), then the products of the
  // values with those signs added in pairs (pmaddwd), where -32768 times
  // -1 is 32768 in 32 bits.
  if constexpr (Width == 32) {
    const __m256i signs = _mm256_sign_epi16(_mm256_set1_epi16(1), As<__m256i>(v));
    sum += As<typename V::U32>(_mm256_madd_epi16(As<__m256i>(v), signs));
  } else {
    const __m128i signs = _mm_sign_epi16(_mm_set1_epi16(1), As<__m128i>(v));
    sum += As<typename V::U32>(_mm_madd_epi16(As<__m128i>(v), signs));
  }
#elif defined(__aarch64__)
  // -32768 stays itself, which is 32768 unsigned.
  const int16x8_t mag = vabsq_s16(As<int16x8_t>(v));
  sum = As<typename V::U32>(vpadalq_u16(As<uint32x4_t>(sum), As<uint16x8_t>(mag)));
#else
  using U16 = typename V::U16;
  sum += AddedPairs<typename V::U32>(Magnitude<U16, typename V::I16>(As<U16>(v)));
#endif
}

// |v| of signed 32-bit lanes, as unsigned (-2^31 becomes 2^31).
template <std::size_t Width>
OSTREL_INLINE typename Vectors<Width>::U32 Magnitude32(
    const typename Vectors<Width>::I32& v) {
  using U32 = typename Vectors<Width>::U32;
#if OSTREL_X86
  if constexpr (Width == 32) {
    return As<U32>(_mm256_abs_epi32(As<__m256i>(v)));
  } else {
    return As<U32>(_mm_abs_epi32(As<__m128i>(v)));
  }
#elif defined(__aarch64__)
  return As<U32>(vabsq_s32(As<int32x4_t>(v)));
#else
  return Magnitude<U32, typename Vectors<Width>::I32>(As<U32>(v));
#endif
}

#if OSTREL_X86 || defined(__aarch64__)
// Lane l of the result is table[index[l]], for indices of 0 to 15. x86
// looks up within each 16-byte half, so a 32-byte table holds its 16
// entries twice.
template <class U8>
OSTREL_INLINE U8 Lookup16(const U8& table, const U8& index) {
#if OSTREL_X86
  if constexpr (sizeof(U8) == 32) {
    return As<U8>(_mm256_shuffle_epi8(As<__m256i>(table), As<__m256i>(index)));
  } else {
    return As<U8>(_mm_shuffle_epi8(As<__m128i>(table), As<__m128i>(index)));
  }
#else
  return As<U8>(vqtbl1q_u8(As<uint8x16_t>(table), As<uint8x16_t>(index)));
#endif
}

// Adds the products a[i] * b[i] of unsigned bytes (b below 128) into sum's
// 32-bit lanes, four to a lane; the sum of a pair of products must stay
// below 2^15.
template <std::size_t Width>
OSTREL_INLINE void AddProducts8(typename Vectors<Width>::U32& sum,
                                const typename Vectors<Width>::U8& a,
                                const typename Vectors<Width>::U8& b) {
  using U32 = typename Vectors<Width>::U32;
#if OSTREL_X86
  // Bytes times bytes into pairs of 16 bits (pmaddubsw), then pairs of
  // those times 1 (pmaddwd).
  if constexpr (Width == 32) {
    const __m256i pairs = _mm256_maddubs_epi16(As<__m256i>(a), As<__m256i>(b));
    sum += As<U32>(_mm256_madd_epi16(pairs, _mm256_set1_epi16(1)));
  } else {
    const __m128i pairs = _mm_maddubs_epi16(As<__m128i>(a), As<__m128i>(b));
    sum += As<U32>(_mm_madd_epi16(pairs, _mm_set1_epi16(1)));
  }
#else
  // The products of each half in 16 bits, added in pairs into the lanes.
  const auto wa = As<uint8x16_t>(a);
  const auto wb = As<uint8x16_t>(b);
  uint32x4_t s = As<uint32x4_t>(sum);
  s = vpadalq_u16(s, vmull_u8(vget_low_u8(wa), vget_low_u8(wb)));
  s = vpadalq_u16(s, vmull_high_u8(wa, wb));
  sum = As<U32>(s);
#endif
}
#endif

// The loop every wide variant shares. A step is `vectors` vectors of
// `Lanes` samples; body(at, r) takes vector r of the step that starts at
// sample `at`. After at most CallsPerFlush calls of body, flush(n) moves
// the lanes' sums, of the n samples since the last flush, into 64 bits;
// each loop asserts beside its call that no lane overflows within that
// many calls. Returns how many samples it took: whole steps, so whole
// frames.
template <std::size_t Lanes, std::size_t CallsPerFlush, class Body, class Flush>
OSTREL_INLINE std::size_t Steps(std::size_t samples, std::size_t vectors,
                                Body body, Flush flush) {
  const std::size_t step = Lanes * vectors;
  const std::size_t steps_per_flush = CallsPerFlush / vectors;
  std::size_t k = 0;
  while (k + step <= samples) {
    const std::size_t steps = std::min((samples - k) / step, steps_per_flush);
    for (std::size_t s = 0; s < steps; ++s, k += step) {
      for (std::size_t r = 0; r < vectors; ++r) body(k + r * Lanes, r);
    }
    flush(steps * step);
  }
  return k;
}

// Moves the lanes' sums into the run's 64-bit total and starts them again.
template <class Vector>
OSTREL_INLINE void Flush(Vector& sum, RunMagnitudes& m) {
  m.sum += LaneTotal(sum);
  sum = Vector{};
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

// Unsigned 8-bit samples, whose magnitude is |byte - 128|. Each lane keeps
// its largest and smallest byte.
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
  constexpr std::size_t kCallsPerFlush = 255;
  // A call adds at most eight magnitudes of 128 into a lane.
  static_assert(kCallsPerFlush * 8 * 128 <= kLaneMax);
  const std::size_t k = Steps<kLanes, kCallsPerFlush>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = Load<U8>(p + at);
        Raise(highest[r], v);
        Lower(lowest[r], v);
        AddMagnitudes8<Width>(sum, v);
      },
      [&](std::size_t /*n*/) OSTREL_LAMBDA { Flush(sum, m); });
  FoldExtremes(highest, lowest, vectors, 0x80, shape, m);
  return k;
}

// G.711 samples, where bytes shuffle cheaply (see NarrowLoopRuns). With
// its inverted bits flipped back (every bit of mu-law, the even bits of
// A-law), a code's low nibble is its mantissa or step m and its bits 4 to
// 6 its exponent e or segment s; its magnitude is a product of two small
// numbers, one a function of each, less a constant:
//   mu-law: (8 m + 132) 2^e - 132 = 4 (2 m + 33) 2^e - 132;
//   A-law: 16 m + 8 in segment 0, (16 m + 264) 2^(s - 1) above it, so
//     8 (2 m + 33) P(s) - 256 [s = 0], with P(0) = 1 and P(s) = 2^(s - 1).
// Each factor comes from a 16-entry table, and the lanes add the products;
// A-law's lanes also count their samples of segment 0. Each flush adds 4
// or 8 times the products less the constants of the samples it covers.
// Magnitudes grow with the flipped code's low 7 bits, so each lane keeps
// the largest of those.
template <std::size_t Width, bool MuLaw, class Shape>
OSTREL_INLINE std::size_t Wide711(const std::uint8_t* p, std::size_t samples,
                                  Shape shape, RunMagnitudes& m) {
  using U8 = typename Vectors<Width>::U8;
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width;
  constexpr unsigned kFlip = MuLaw ? 0xFF : 0x55;
  const auto table = [](auto entry) OSTREL_LAMBDA {
    U8 t{};
    for (std::size_t i = 0; i < Width; ++i) {
      t[i] = static_cast<std::uint8_t>(entry(static_cast<unsigned>(i % 16)));
    }
    return t;
  };
  const U8 factor = table([](unsigned mantissa) { return 2 * mantissa + 33; });
  // Indices 8 to 15 never occur.
  const U8 power = table([](unsigned e) {
    return MuLaw ? 1U << e : e == 0 ? 1U : 1U << (e - 1);
  });
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U8, kMaxVectorsPerStep<Shape>> top{};
  U32 products = {};
  U8 zero_segment = {};  // A-law: samples of segment 0, by lane
  constexpr std::size_t kCallsPerFlush = 255;
  // A call adds to a lane four products of at most 63 x 128 (mu-law's
  // largest), and to a lane's count of segment 0 at most 1.
  static_assert(kCallsPerFlush * 4 * 63 * 128 <= kLaneMax && kCallsPerFlush <= 0xFF);
  const std::size_t k = Steps<kLanes, kCallsPerFlush>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const U8 code = Load<U8>(p + at) ^ kFlip;
        const U8 high = As<U8>(As<typename Vectors<Width>::U16>(code) >> 4) & 7;
        AddProducts8<Width>(products, Lookup16(power, high), Lookup16(factor, code & 15));
        Raise(top[r], U8{code & 0x7F});
        if constexpr (!MuLaw) {
          // The comparison is all ones, -1, where true: one more.
          zero_segment -= As<U8>(high == 0);
        }
      },
      [&](std::size_t n) OSTREL_LAMBDA {
        if constexpr (MuLaw) {
          m.sum += 4 * LaneTotal(products) - 132 * std::uint64_t{n};
        } else {
          m.sum += 8 * LaneTotal(products) - 256 * LaneTotal(zero_segment);
          zero_segment = U8{};
        }
        products = U32{};
      });
  if (k == 0) return 0;  // a lane that took no code has no largest
  using Samples = std::conditional_t<MuLaw, MuLawSamples, ALawSamples>;
  const std::uint32_t channels = shape.count();
  for (std::size_t r = 0; r < vectors; ++r) {
    for (std::size_t l = 0; l < kLanes; ++l) {
      const std::array<std::uint8_t, 1> code{static_cast<std::uint8_t>(top[r][l] ^ kFlip)};
      std::uint64_t& t = m.top[(r * kLanes + l) % channels];
      t = std::max<std::uint64_t>(t, Samples::MagnitudeKey(code.data()));
    }
  }
  return k;
}

// 16-bit samples. Each lane keeps its largest and its smallest value, of
// which the larger magnitude is the lane's largest.
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
  constexpr std::size_t kCallsPerFlush = std::size_t{1} << 14;
  // A call adds two magnitudes of at most 2^15 into a lane.
  static_assert(kCallsPerFlush * 2 * 32768 <= kLaneMax);
  const std::size_t k = Steps<kLanes, kCallsPerFlush>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = As<I16>(Load<U16>(p + 2 * at));
        Raise(highest[r], v);
        Lower(lowest[r], v);
        AddMagnitudes16<Width>(sum, v);
      },
      [&](std::size_t /*n*/) OSTREL_LAMBDA { Flush(sum, m); });
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
    const auto low = Load<HalfU8>(group);
    const auto high = Load<HalfU8>(group + 8);
    return __builtin_shufflevector(
        low, high, 0, 0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11,  //
        16, 20, 21, 22, 16, 23, 24, 25, 16, 26, 27, 28, 16, 29, 30, 31);
  } else {
    const auto low = Load<HalfU8>(group);
    const auto high = Load<HalfU8>(group + 4);
    return __builtin_shufflevector(low, high, 0, 0, 1, 2, 0, 3, 4, 5,  //
                                   0, 6, 7, 12, 0, 13, 14, 15);
  }
}

// 24-bit samples, where bytes shuffle cheaply (see NarrowLoopRuns). An
// arithmetic shift right by 8 of the spread lanes restores the sign.
template <std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide24(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U32 = typename Vectors<Width>::U32;
  using I32 = typename Vectors<Width>::I32;
  constexpr std::size_t kLanes = Width / 4;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U32, kMaxVectorsPerStep<Shape>> top{};
  U32 sum = {};
  constexpr std::size_t kCallsPerFlush = 256;
  // A call adds one magnitude of at most 2^23 into a lane.
  static_assert(kCallsPerFlush * (1U << 23) <= kLaneMax);
  const std::size_t k = Steps<kLanes, kCallsPerFlush>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto mag =
            Magnitude32<Width>(As<I32>(Spread24<Width>(p + 3 * at)) >> 8);
        Raise(top[r], mag);
        sum += mag;
      },
      [&](std::size_t /*n*/) OSTREL_LAMBDA { Flush(sum, m); });
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// 32-bit integers and float words. A 32-bit magnitude (at most 2^31) is
// summed as its high and low 16 bits in separate lanes. A float's key is
// its word's low 31 bits, and only their maxima are wanted.
template <bool Sum, std::size_t Width, class Shape>
OSTREL_INLINE std::size_t Wide32(const std::uint8_t* p, std::size_t samples,
                                 Shape shape, RunMagnitudes& m) {
  using U32 = typename Vectors<Width>::U32;
  constexpr std::size_t kLanes = Width / 4;
  const std::size_t vectors = VectorsPerStep<kLanes>(shape);
  std::array<U32, kMaxVectorsPerStep<Shape>> top{};
  U32 high_sum = {};
  U32 low_sum = {};
  constexpr std::size_t kCallsPerFlush = std::size_t{1} << 15;
  // A call adds a half of at most 2^16 - 1 into each lane of both sums.
  static_assert(kCallsPerFlush * 0xFFFF <= kLaneMax);
  const std::size_t k = Steps<kLanes, kCallsPerFlush>(
      samples, vectors,
      [&](std::size_t at, std::size_t r) OSTREL_LAMBDA {
        const auto v = Load<U32>(p + 4 * at);
        U32 key;
        if constexpr (Sum) {
          key = Magnitude32<Width>(As<typename Vectors<Width>::I32>(v));
          high_sum += key >> 16;
          low_sum += key & 0xFFFF;
        } else {
          key = v & 0x7FFFFFFFU;
        }
        Raise(top[r], key);
      },
      [&](std::size_t /*n*/) OSTREL_LAMBDA {
        if constexpr (Sum) {
          m.sum += (LaneTotal(high_sum) << 16) + LaneTotal(low_sum);
          high_sum = U32{};
          low_sum = U32{};
        }
      });
  FoldMaxima(top, vectors, shape, m);
  return k;
}

// The layout's wide loop in this variant's vectors, the variant's entry
// from the plain code; returns the samples it took, whole frames of them.
template <class Layout, class Shape>
std::size_t Wide(const std::uint8_t* p, std::size_t samples, Shape shape,
                 RunMagnitudes& m) {
  constexpr WideLoop kLoop = Layout::kWide;
  static_assert(kLoop != WideLoop::kNone);
  if constexpr (kLoop == WideLoop::kUnsigned8) {
    return Wide8<kWidth>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kALaw) {
    return Wide711<kWidth, false>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kMuLaw) {
    return Wide711<kWidth, true>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kInteger16) {
    return Wide16<kWidth>(p, samples, shape, m);
  } else if constexpr (kLoop == WideLoop::kInteger24) {
    return Wide24<kWidth>(p, samples, shape, m);
  } else {
    return Wide32<kLoop == WideLoop::kInteger32, kWidth>(p, samples, shape, m);
  }
}
