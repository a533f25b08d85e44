// Decoding 32-bit float samples into level units (full scale 1.0 -> 128).
#pragma once

#include <bit>
#include <cstdint>

namespace ostrel {

// The bits of the double that a float sample's word decodes to, less the
// sign: 128 * (1 + m / 2^23) * 2^(E - 127) = (1 + m / 2^23) * 2^(E - 120),
// read by the normal-number rule for every exponent field, so zero and
// subnormals come out at least 2^-120 and infinities and NaNs as finite
// values of at least 2^135: every result is finite and nonzero.
//
// That value is a normal double whose fields can be written down directly:
// the biased exponent E - 120 + 1023 and the float's 23 mantissa bits on
// top of the double's 52. Exponent field and mantissa lie side by side in
// the word's low 31 bits, so moving those up by 29 and adding the new bias
// builds both at once. The result grows with those 31 bits, so the word
// whose low 31 bits are largest holds the largest magnitude.
constexpr std::uint64_t Float32MagnitudeBits(std::uint32_t word) {
  constexpr std::uint64_t kBias = std::uint64_t{1023 - 120} << 52;
  return (std::uint64_t{word & 0x7FFFFFFFU} << 29) + kBias;
}

// The sample held by `word` (its four bytes read little-endian), as a
// double in level units: the magnitude above with the float's sign.
inline double Float32Convert(std::uint32_t word) {
  return std::bit_cast<double>((std::uint64_t{word >> 31} << 63) |
                               Float32MagnitudeBits(word));
}

}  // namespace ostrel
