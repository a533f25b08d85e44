#include "float32_decode.hpp"

#include "wave_builder.hpp"

namespace {


double Convert(std::uint32_t w) { return ostrel::Float32Convert(w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0xFF, w >> 24); }

TEST(Float, Decodes) {
  for (const auto& [word, value] : std::initializer_list<std::pair<std::uint32_t, double>>{
           {0x3F800000, 128}, {0xBF800000, -128}, {0x3F000000, 64}, {0x40000000, 256},
           {0x00000000, 0x1p-120}, {0x80000000, -0x1p-120}})
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
