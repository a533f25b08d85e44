// Reading little-endian values from bytes: wave files store every number
// and every sample little-endian, whatever the processor reading them.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <type_traits>
#include <utility>

namespace ostrel {
namespace little_endian_detail {

template <std::size_t N>
using ByteVector [[gnu::vector_size(N)]] = std::uint8_t;

inline std::uint8_t Swap(std::uint8_t v) { return v; }
inline std::uint16_t Swap(std::uint16_t v) { return __builtin_bswap16(v); }
inline std::uint32_t Swap(std::uint32_t v) { return __builtin_bswap32(v); }
inline std::uint64_t Swap(std::uint64_t v) { return __builtin_bswap64(v); }

// Reverses the bytes within each lane of a GCC vector: byte b of the result
// is byte b ^ (lane bytes - 1) of v, which stays within b's lane.
template <class Vector, std::size_t... B>
[[gnu::always_inline]] inline Vector SwapLanes(
    const Vector& v, std::index_sequence<B...> /*bytes*/) {
  constexpr std::size_t kLaneBytes = sizeof(v[0]);
  using Bytes = ByteVector<sizeof(Vector)>;
  const auto bytes = reinterpret_cast<Bytes>(v);
  return reinterpret_cast<Vector>(
      __builtin_shufflevector(bytes, bytes, (B ^ (kLaneBytes - 1))...));
}

}  // namespace little_endian_detail

// The value whose little-endian bytes start at p, which needs no alignment:
// an unsigned integer, or a GCC vector of them, lane by lane. On a
// little-endian processor this is a plain load.
template <class T>
[[gnu::always_inline]] inline T LoadLe(const std::uint8_t* p) {
  T v;
  std::memcpy(&v, p, sizeof v);
  if constexpr (std::endian::native == std::endian::big) {
    if constexpr (std::is_integral_v<T>) {
      static_assert(std::is_unsigned_v<T>);
      v = little_endian_detail::Swap(v);
    } else {
      v = little_endian_detail::SwapLanes(
          v, std::make_index_sequence<sizeof(T)>{});
    }
  }
  return v;
}

}  // namespace ostrel
