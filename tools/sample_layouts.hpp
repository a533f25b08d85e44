// The sample layouts the tool decodes, named once for every program that
// makes or reads recordings: the tests, the fuzzer's seeds and the
// benchmark. 8-bit PCM is unsigned; every other integer layout is signed.
#pragma once

#include <array>
#include <cstdint>

#include "wave_writer.hpp"

namespace wave_writer {

struct SampleLayout {
  const char* name;
  std::uint16_t code;  // format code
  std::uint16_t bits;  // per sample
  bool is_float() const { return code == kFloat; }
};

inline constexpr SampleLayout kU8{.name = "u8", .code = kPcm, .bits = 8};
inline constexpr SampleLayout kALaw8{.name = "alaw", .code = kALaw, .bits = 8};
inline constexpr SampleLayout kMuLaw8{.name = "mulaw", .code = kMuLaw, .bits = 8};
inline constexpr SampleLayout kS16{.name = "s16", .code = kPcm, .bits = 16};
inline constexpr SampleLayout kS24{.name = "s24", .code = kPcm, .bits = 24};
inline constexpr SampleLayout kS32{.name = "s32", .code = kPcm, .bits = 32};
inline constexpr SampleLayout kF32{.name = "f32", .code = kFloat, .bits = 32};
inline constexpr SampleLayout kS64{.name = "s64", .code = kPcm, .bits = 64};
inline constexpr SampleLayout kF64{.name = "f64", .code = kFloat, .bits = 64};

inline constexpr std::array kSampleLayouts = {kU8,  kALaw8, kMuLaw8, kS16, kS24,
                                              kS32, kF32,   kS64,    kF64};

}  // namespace wave_writer
