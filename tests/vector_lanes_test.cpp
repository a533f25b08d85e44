#include "vector_lanes.hpp"

#include <gtest/gtest.h>

#include <cstdint>

namespace {

// Which loops a processor runs, from its cpuid words and XCR0: a processor
// with everything, less one thing per row. The bits are numbered here as
// the processor manuals number them, not taken from the code under test.
TEST(ProcessorCheck, FeaturesFollowCpuidAndXcr0) {
  constexpr std::uint32_t kEverything1 = 1U << 9 | 1U << 19 | 1U << 27 | 1U << 28;  // SSSE3 SSE4.1 OSXSAVE AVX
  constexpr std::uint32_t kEverything7 = 1U << 5;                                   // AVX2
  struct Row {
    const char* name;
    std::uint32_t max_leaf = 0xD;
    std::uint32_t leaf1_ecx_off = 0;
    std::uint32_t leaf7_ebx_off = 0;
    std::uint64_t xcr0 = 0x7;  // x87, SSE and AVX state
    bool narrow = false;
    bool avx2 = false;
  };
  const Row rows[] = {
      {.name = "everything", .narrow = true, .avx2 = true},
      {.name = "XCR0 without the AVX state", .xcr0 = 0x3, .narrow = true},
      {.name = "XCR0 without the SSE state", .xcr0 = 0x5, .narrow = true},
      {.name = "no OSXSAVE, whatever XCR0 holds", .leaf1_ecx_off = 1U << 27, .narrow = true},
      {.name = "no AVX", .leaf1_ecx_off = 1U << 28, .narrow = true},
      {.name = "no AVX2", .leaf7_ebx_off = 1U << 5, .narrow = true},
      {.name = "no SSE4.1", .leaf1_ecx_off = 1U << 19},
      {.name = "no SSSE3", .leaf1_ecx_off = 1U << 9},
      {.name = "no leaf 7", .max_leaf = 6, .narrow = true},
      {.name = "no leaf 1", .max_leaf = 0},
  };
  for (const Row& row : rows) {
    const ostrel::CpuidWords words{.max_leaf = row.max_leaf,
                                   .leaf1_ecx = kEverything1 & ~row.leaf1_ecx_off,
                                   .leaf7_ebx = kEverything7 & ~row.leaf7_ebx_off};
    const ostrel::ProcessorFeatures got = ostrel::FeaturesOf(words, row.xcr0);
    EXPECT_EQ(got.narrow, row.narrow) << row.name;
    EXPECT_EQ(got.avx2, row.avx2) << row.name;
  }
}

}  // namespace
