// Decoding 32-bit float samples into level units (full scale 1.0 -> 128).
#pragma once

#include <bit>
#include <cstdint>

namespace ostrel {

// The sample whose little-endian bytes form `word`, as a double in level
// units: 128 * (-1)^sign * (1 + m / 2^23) * 2^(E - 127) for every bit
// pattern. Every exponent field is read by the normal-number rule, so zero
// and subnormals come out at least 2^-120 in magnitude and infinities and
// NaNs as finite values of at least 2^135: every result is finite and
// nonzero.
//
// The value is sign * (1 + m / 2^23) * 2^(E - 120), a normal double whose
// fields can be written down directly: the same sign, the biased exponent
// E - 120 + 1023, and the float's 23 mantissa bits on top of the double's
// 52. That is exact, so it gives the very bits of the product above.
inline double Float32FromWord(std::uint32_t word) {
  constexpr std::uint64_t kBiasShift = 1023 - 120;
  const std::uint64_t sign = std::uint64_t{word >> 31} << 63;
  const std::uint64_t exponent = ((word >> 23) & 0xFF) + kBiasShift;
  const std::uint64_t mantissa = std::uint64_t{word & 0x7FFFFF} << 29;
  return std::bit_cast<double>(sign | (exponent << 52) | mantissa);
}

// One float sample from its four bytes in file order, b0 the least
// significant; only the low eight bits of each argument count.
double Float32Convert(unsigned b0, unsigned b1, unsigned b2, unsigned b3);

}  // namespace ostrel
