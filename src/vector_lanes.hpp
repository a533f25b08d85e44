// The vector lanes the scan's wide loops run in: the variants a build may
// hold (plain code, 16-byte vectors, AVX2's 32-byte vectors), which of them
// this processor runs, the target each is compiled for, and GCC's vector
// types of each width.
#pragma once

#include <cstddef>
#include <cstdint>

// The compiler's header for asking an x86 processor what it has.
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

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

#if OSTREL_X86
// What the processor offers the 16-byte and the AVX2 loops, asked of the
// processor itself (cpuid) rather than through the compiler's feature
// builtins, which call into its runtime library: GCC's libgcc has that
// code, other compilers' runtimes (Zig's, for macOS and musl) lack it and
// the link fails.
struct ProcessorFeatures {
  bool narrow;  // SSSE3 and SSE4.1
  bool avx2;    // AVX2, with the YMM registers kept across task switches
};

inline ProcessorFeatures AskProcessor() {
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (__get_cpuid(1, &eax, &ebx, &ecx, &edx) == 0) return {.narrow = false, .avx2 = false};
  const bool narrow = (ecx & bit_SSSE3) != 0 && (ecx & bit_SSE4_1) != 0;
  // An AVX2 processor whose system does not save the upper halves of the
  // YMM registers (an old kernel, or a hypervisor that turns AVX off)
  // would lose them at any task switch, or fault. OSXSAVE says that the
  // system enabled XGETBV, and bits 1 and 2 of XCR0 that it saves the SSE
  // and the AVX state. XGETBV is written out, as the compiler's builtin
  // would need a function built for the xsave target.
  bool ymm_saved = false;
  if ((ecx & bit_OSXSAVE) != 0 && (ecx & bit_AVX) != 0) {
    unsigned xcr0_low = 0;
    unsigned xcr0_high = 0;  // the state of later extensions, not needed
    asm volatile("xgetbv" : "=a"(xcr0_low), "=d"(xcr0_high) : "c"(0));
    ymm_saved = (xcr0_low & 0x6U) == 0x6U;
  }
  const bool avx2 = ymm_saved && __get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) != 0 &&
                    (ebx & bit_AVX2) != 0;
  return {.narrow = narrow, .avx2 = avx2};
}
#endif

// Whether this build holds variant v and this processor runs it. The
// processor is asked once, at the first call.
inline bool ProcessorRuns(Variant v) {
#if OSTREL_X86
  static const ProcessorFeatures has = AskProcessor();
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
