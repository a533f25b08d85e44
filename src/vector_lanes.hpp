// The vector lanes the scan's wide loops run in: the variants a build may
// hold (plain code, 16-byte vectors, AVX2's 32-byte vectors), which of them
// this processor runs, the target each is compiled for, and GCC's vector
// types of each width.
#pragma once

#include <cstddef>
#include <cstdint>

// The AVX2 variant exists only where the compiler targets x86, and not in
// builds that leave it out (the sanitizer build, and the portable build
// that the benchmark compares with).
#if (defined(__x86_64__) || defined(__i386__)) && !defined(OSTREL_NO_AVX2)
#define OSTREL_WITH_AVX2 1
#else
#define OSTREL_WITH_AVX2 0
#endif

// On x86 the 16-byte loops are built for SSSE3 and SSE4.1 (byte shuffles,
// absolute values, unsigned maxima of 32-bit lanes), which every x86
// processor of the last fifteen years has; the few without run the plain
// loop. Elsewhere they take the compiler's baseline.
#if defined(__x86_64__) || defined(__i386__)
#define OSTREL_X86 1
#define OSTREL_NARROW_TARGET __attribute__((target("ssse3,sse4.1")))
#else
#define OSTREL_X86 0
#define OSTREL_NARROW_TARGET
#endif
#define OSTREL_AVX2_TARGET __attribute__((target("avx2")))

namespace ostrel {

// The ways a run can be gone through. Every one gives the same numbers.
enum class Variant {
  kScalar,    // one sample at a time: the reference, and short runs
  kPortable,  // 16-byte vectors, which every processor's compiler lowers
  kAvx2,      // 32-byte vectors, on x86 processors that have them
};

// Whether this build holds variant v and this processor runs it.
inline bool ProcessorRuns(Variant v) {
#if OSTREL_X86
  // __builtin_cpu_supports takes only a literal, so both answers are
  // settled at once.
  struct Features {
    bool narrow;
    bool avx2;
  };
  static const Features has = [] {
    __builtin_cpu_init();
    return Features{
        .narrow = __builtin_cpu_supports("ssse3") &&
                  __builtin_cpu_supports("sse4.1"),
        .avx2 = static_cast<bool>(__builtin_cpu_supports("avx2"))};
  }();
  switch (v) {
    case Variant::kScalar:
      return true;
    case Variant::kPortable:
      return has.narrow;
    case Variant::kAvx2:
      return OSTREL_WITH_AVX2 != 0 && has.avx2;
  }
  return false;
#else
  return v != Variant::kAvx2;
#endif
}

// Vectors of a given width in bytes, written out for each width because
// GCC ignores a vector_size that depends on a template parameter there.
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
  using U64 = std::uint64_t __attribute__((vector_size(16)));
  using F64 = double __attribute__((vector_size(16)));
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
  using U64 = std::uint64_t __attribute__((vector_size(32)));
  using F64 = double __attribute__((vector_size(32)));
};


// Takes the larger of each lane.
template <class Vector>
[[gnu::always_inline]] inline void Raise(Vector& top, const Vector& v) {
  top = v > top ? v : top;
}

// Takes the smaller of each lane. Written so, GCC finds the minimum
// instruction; `v < low ? v : low` became a comparison and a blend.
template <class Vector>
[[gnu::always_inline]] inline void Lower(Vector& low, const Vector& v) {
  low = low > v ? v : low;
}

}  // namespace ostrel
