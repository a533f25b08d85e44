#include "float32_decode.hpp"

namespace ostrel {

double Float32Convert(unsigned b0, unsigned b1, unsigned b2, unsigned b3) {
  return Float32FromWord((b0 & 0xFFU) | ((b1 & 0xFFU) << 8) |
                         ((b2 & 0xFFU) << 16) | ((b3 & 0xFFU) << 24));
}

}  // namespace ostrel
