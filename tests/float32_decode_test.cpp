#include "float32_decode.hpp"

#include "wave_builder.hpp"

namespace {

// The decoder against the bit-by-bit arithmetic, over every sign and
// exponent with random mantissas, the smallest and the largest among them.
TEST(Float, ConvertMatchesTableArithmetic) {
  std::uint32_t x = 1;
  for (std::uint32_t sign_and_exponent = 0; sign_and_exponent < 512; ++sign_and_exponent) {
    for (int k = 0; k < 300; ++k) {
      x = x * 1664525 + 1013904223;
      const std::uint32_t w = sign_and_exponent << 23 | (k == 0 ? 0 : k == 1 ? 0x7FFFFF : x >> 9);
      ASSERT_EQ(ostrel::Float32Convert(w), wb::Float32Reference(w)) << std::hex << w;
    }
  }
}

}  // namespace
