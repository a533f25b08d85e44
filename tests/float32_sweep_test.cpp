// Every one of the 2^32 float patterns against the bit-by-bit arithmetic.
// It takes minutes, so it is built only on request and ctest never runs it.
#include <bit>

#include "float32_decode.hpp"
#include "wave_builder.hpp"

TEST(Float32Sweep, EveryPatternMatchesTableArithmetic) {
  std::uint32_t w = 0;
  do {
    const double got = ostrel::Float32Convert(w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0xFF, w >> 24);
    if (std::bit_cast<std::uint64_t>(got) != std::bit_cast<std::uint64_t>(wb::Float32Reference(w)))
      FAIL() << std::hex << w << ": " << got << " != " << wb::Float32Reference(w);
  } while (++w != 0);
}
