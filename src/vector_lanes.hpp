// The vector lanes the scan's wide loops run in: the variants a build may
// hold (plain code, 16-byte vectors, AVX2's 32-byte vectors), which of them
// this processor runs, the target each is compiled for, and GCC's vector
// types of each width.
#pragma once

#include <cstddef>
#include <cstdint>

// The compiler's headers for asking an x86 processor what it has: cpuid,
// and xgetbv's intrinsic.
#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#include <immintrin.h>
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
// The targets by name, for a function (OSTREL_*_TARGET) or for a region of
// them (sample_decode.cpp).
#define OSTREL_NARROW_TARGET_NAME "ssse3,sse4.1"
#define OSTREL_AVX2_TARGET_NAME "avx2"
#if defined(__x86_64__) || defined(__i386__)
#define OSTREL_X86 1
#define OSTREL_NARROW_TARGET __attribute__((target(OSTREL_NARROW_TARGET_NAME)))
#else
#define OSTREL_X86 0
#define OSTREL_NARROW_TARGET
#endif
#define OSTREL_AVX2_TARGET __attribute__((target(OSTREL_AVX2_TARGET_NAME)))

namespace ostrel {

// The ways a run can be gone through. Every one gives the same numbers.
enum class Variant {
  kScalar,    // one sample at a time: the reference, and short runs
  kPortable,  // 16-byte vectors, which every processor's compiler lowers
  kAvx2,      // 32-byte vectors, on x86 processors that have them
};

// What the processor offers the 16-byte and the AVX2 loops.
struct ProcessorFeatures {
  bool narrow;  // SSSE3 and SSE4.1
  bool avx2;    // AVX2, with the YMM registers kept across task switches
};

// The words of an x86 processor's cpuid that the choice reads, and the
// bits of them it reads. Plain data, on every CPU, so that the choice is
// tested everywhere.
struct CpuidWords {
  std::uint32_t max_leaf;   // leaf 0, EAX: the highest leaf it answers
  std::uint32_t leaf1_ecx;  // leaf 1, ECX
  std::uint32_t leaf7_ebx;  // leaf 7 (subleaf 0), EBX
};
inline constexpr std::uint32_t kCpuidSsse3 = 1U << 9;     // leaf 1, ECX
inline constexpr std::uint32_t kCpuidSse41 = 1U << 19;    // leaf 1, ECX
inline constexpr std::uint32_t kCpuidOsxsave = 1U << 27;  // leaf 1, ECX
inline constexpr std::uint32_t kCpuidAvx = 1U << 28;      // leaf 1, ECX
inline constexpr std::uint32_t kCpuidAvx2 = 1U << 5;      // leaf 7, EBX

// What a processor with these cpuid words offers, given XCR0, the state
// its system saves at a task switch. A leaf above the highest one the
// processor answers says nothing: Intel's return the highest leaf's words
// for it. The AVX2 loops also need what the 16-byte loops need, as every
// AVX2 processor has it. A system that does not save the upper halves of
// the YMM registers (an old kernel, or a hypervisor that turns AVX off)
// would lose them at any task switch, or fault: OSXSAVE says that the
// system enabled XGETBV, and bits 1 and 2 of XCR0 that it saves the SSE
// and the AVX state. Without OSXSAVE, XCR0 is not to be trusted (nor read).
constexpr ProcessorFeatures FeaturesOf(const CpuidWords& w, std::uint64_t xcr0) {
  constexpr std::uint64_t kSseAndAvxState = 0x6;  // XCR0 bits 1 and 2
  const std::uint32_t ecx = w.max_leaf >= 1 ? w.leaf1_ecx : 0;
  const std::uint32_t ebx = w.max_leaf >= 7 ? w.leaf7_ebx : 0;
  const bool narrow = (ecx & kCpuidSsse3) != 0 && (ecx & kCpuidSse41) != 0;
  const bool ymm_saved = (ecx & kCpuidOsxsave) != 0 && (xcr0 & kSseAndAvxState) == kSseAndAvxState;
  const bool avx2 = narrow && ymm_saved && (ecx & kCpuidAvx) != 0 && (ebx & kCpuidAvx2) != 0;
  return {.narrow = narrow, .avx2 = avx2};
}

#if OSTREL_X86
// XCR0, through the compiler's intrinsic, which needs a function built
// for the xsave target. Only once the processor has said OSXSAVE: before
// the system enables it, XGETBV faults.
__attribute__((target("xsave"))) inline std::uint64_t ReadXcr0() { return _xgetbv(0); }

// Asks the processor itself (cpuid) rather than through the compiler's
// feature builtins, which call into its runtime library: GCC's libgcc has
// that code, other compilers' runtimes (Zig's, for macOS and musl) lack it
// and the link fails. Only the leaves the processor answers are asked.
// Asked once, so kept out of line rather than copied into every choice.
[[gnu::noinline]] inline ProcessorFeatures AskProcessor() {
  CpuidWords w{.max_leaf = static_cast<std::uint32_t>(__get_cpuid_max(0, nullptr)),
               .leaf1_ecx = 0, .leaf7_ebx = 0};
  unsigned eax = 0;
  unsigned ebx = 0;
  unsigned ecx = 0;
  unsigned edx = 0;
  if (w.max_leaf >= 1) {
    __cpuid(1, eax, ebx, ecx, edx);
    w.leaf1_ecx = ecx;
  }
  if (w.max_leaf >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    w.leaf7_ebx = ebx;
  }
  return FeaturesOf(w, (w.leaf1_ecx & kCpuidOsxsave) != 0 ? ReadXcr0() : 0);
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
