#include "float32_decode.hpp"

#include "wave_builder.hpp"

namespace {

double Convert(std::uint32_t w) { return ostrel::Float32Convert(w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0xFF, w >> 24); }

TEST(Float, Decodes) {
  struct Case {
    std::uint32_t word;
    double value;
  };
  for (const auto& [word, value] : {Case{.word = 0x3F800000, .value = 128}, Case{.word = 0xBF800000, .value = -128},
                                    Case{.word = 0x3F000000, .value = 64}, Case{.word = 0x40000000, .value = 256},
                                    Case{.word = 0x00000000, .value = 0x1p-120},
                                    Case{.word = 0x80000000, .value = -0x1p-120}})
    EXPECT_EQ(Convert(word), value) << std::hex << word;
  EXPECT_EQ(ostrel::Float32Convert(0x100, 0x100, 0x180, 0x13F), 128);  // only the low 8 bits count
}

TEST(Float, ConvertMatchesTableArithmetic) {
  std::uint32_t x = 1;
  for (std::uint32_t sign_and_exponent = 0; sign_and_exponent < 512; ++sign_and_exponent) {
    for (int k = 0; k < 300; ++k) {
      x = x * 1664525 + 1013904223;
      const std::uint32_t w = sign_and_exponent << 23 | (k == 0 ? 0 : k == 1 ? 0x7FFFFF : x >> 9);
      ASSERT_EQ(Convert(w), wb::Float32Reference(w)) << std::hex << w;
    }
  }
}

}  // namespace
