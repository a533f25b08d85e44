// The helpers here (LoadLe among them) that take or return 32-byte vectors
// are always inlined, so no call ever passes one and the warning about that
// ABI does not apply. It is issued where a helper is defined, so this comes
// before the headers.
#pragma GCC diagnostic ignored "-Wpsabi"

#include "sample_decode.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <numeric>
#include <type_traits>
#include <utility>

#include "vector_lanes.hpp"

#if OSTREL_X86
#include <immintrin.h>
#elif defined(__aarch64__)
#include <arm_neon.h>
#endif

namespace ostrel {
namespace {

#define OSTREL_INLINE [[gnu::always_inline]] inline
// Lambdas inside the wide loops must be inlined too, into whichever
// variant's function calls them.
#define OSTREL_LAMBDA __attribute__((always_inline))

// The wide loops (wide_loops.hpp) are written once with GCC's vector types
// (vector_lanes.hpp) and compiled once per variant, each time in its own
// namespace: in 16-byte vectors for every processor (SSE, NEON, the z
// vector unit, or plain code), and on x86 also in AVX2's 32-byte vectors.
// A few operations each processor does its own way, through the
// compiler's intrinsics. An intrinsic inlines only into a function built
// for its target, and so does every function on the way to it: the
// variant's entry, the loops' helpers and their lambdas. So each copy of
// the loops is compiled inside a region that builds every function in it
// for the variant's target.
#define OSTREL_STRINGIZE(x) #x
#if defined(__clang__)
#define OSTREL_BEGIN_TARGET(t) \
  _Pragma(OSTREL_STRINGIZE(clang attribute push(__attribute__((target(t))), apply_to = function)))
#define OSTREL_END_TARGET _Pragma("clang attribute pop")
#else
#define OSTREL_BEGIN_TARGET(t) \
  _Pragma("GCC push_options") _Pragma(OSTREL_STRINGIZE(GCC target(t)))
#define OSTREL_END_TARGET _Pragma("GCC pop_options")
#endif

#if OSTREL_X86
OSTREL_BEGIN_TARGET(OSTREL_NARROW_TARGET_NAME)
#endif
namespace narrow {
constexpr std::size_t kWidth = 16;
#include "wide_loops.hpp"
}  // namespace narrow
#if OSTREL_X86
OSTREL_END_TARGET
#endif

#if OSTREL_WITH_AVX2
OSTREL_BEGIN_TARGET(OSTREL_AVX2_TARGET_NAME)
namespace avx2 {
constexpr std::size_t kWidth = 32;
// NOLINTNEXTLINE(readability-duplicate-include): a copy of its own
#include "wide_loops.hpp"
}  // namespace avx2
OSTREL_END_TARGET
#endif

template <class Layout, Variant V>
void AddRun(const std::uint8_t* p, std::size_t frames, std::uint32_t channels,
            RunMagnitudes& m) {
  WithChannels(channels, [&](auto shape) OSTREL_LAMBDA {
    std::size_t done = 0;  // samples, a whole number of frames
    if constexpr (V == Variant::kPortable) {
      done = narrow::Wide<Layout>(p, frames * channels, shape, m);
    }
#if OSTREL_WITH_AVX2
    if constexpr (V == Variant::kAvx2) {
      done = avx2::Wide<Layout>(p, frames * channels, shape, m);
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
  return kLoop != WideLoop::kNone && Layout::kNarrowWidePays &&
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
