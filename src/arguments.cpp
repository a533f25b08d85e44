#include "arguments.hpp"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "sample_decode.hpp"

namespace ostrel {
namespace {

constexpr float kMaxMagnification = 256;
// 2^64 as a float: frame numbers from products at or beyond it do not fit.
constexpr float kFrameLimit = 18446744073709551616.0F;

// A number as atof reads it: the longest leading decimal number, 0 if none.
// Where none is, the result is +0 on every system: mingw-w64's strtod
// gives -0 for a sign with no number after it, glibc's +0.
float ParseSeconds(const char* text) {
  char* end = nullptr;
  const double value = std::strtod(text, &end);
  return end == text ? 0.0F : static_cast<float>(value);
}

// The resolution as a 64-bit number, saturating at that range, then its low
// 32 bits as a signed int: the same on every word size, where a 32-bit
// long would saturate at 2^31 - 1 instead of wrapping.
std::int32_t ParseResolution(const char* text) {
  return static_cast<std::int32_t>(
      static_cast<std::uint32_t>(std::strtoll(text, nullptr, 10)));
}

// The frame a time names: the product is formed and rounded in single
// precision (0.7 s at 44,100 frames per second is frame 30870, not 30869).
// Times below zero, not numbers, infinite or past the last frame number
// that fits 64 bits have no frame; converting them would be undefined.
bool TimeToFrame(float seconds, std::uint64_t sample_rate,
                 std::uint64_t& frame) {
  const float product = seconds * static_cast<float>(sample_rate);
  if (!(seconds >= 0) || !(product < kFrameLimit)) return false;
  frame = static_cast<std::uint64_t>(product);
  return true;
}

float SettleMagnification(float magnification) {
  if (std::isnan(magnification)) return 1;
  if (magnification > kMaxMagnification) return 1;  // not lowered to 256
  if (magnification <= 0) return 1;
  return magnification;
}

}  // namespace

std::optional<Arguments> ParseArguments(std::span<const char* const> args) {
  if (args.size() < 3) return std::nullopt;
  Arguments a;
  a.file_name = args[0];
  a.start_seconds = ParseSeconds(args[1]);
  a.stop_seconds = ParseSeconds(args[2]);
  a.has_resolution = args.size() >= 4;
  if (a.has_resolution) a.resolution = ParseResolution(args[3]);
  // With six or more arguments the fifth is not read.
  if (args.size() == 5) a.magnification = ParseSeconds(args[4]);
  return a;
}

Settled SettleScan(const Arguments& args, const WaveAttributes& wa) {
  Settled settled;
  ScanSettings& s = settled.settings;
  std::uint64_t stop_frame = 0;
  if (!TimeToFrame(args.start_seconds, wa.sample_rate, s.start_frame) ||
      !TimeToFrame(args.stop_seconds, wa.sample_rate, stop_frame) ||
      stop_frame <= s.start_frame) {
    settled.verdict = Verdict::kBadInterval;
    return settled;
  }
  // A stop past the end scans to the last whole frame.
  s.end_frame = std::min(stop_frame, wa.frame_count);
  if (!Decodes(wa)) {
    settled.verdict = Verdict::kBadLayout;
    return settled;
  }
  s.frame_size = wa.channels * wa.bytes_per_sample;
  const auto as_unsigned = static_cast<std::uint32_t>(args.resolution);
  // Any resolution that is 0, negative (huge as unsigned) or longer than a
  // second gives the default window.
  s.window = args.has_resolution && args.resolution != 0 &&
                     as_unsigned <= wa.sample_rate
                 ? as_unsigned
                 : static_cast<std::uint32_t>(wa.sample_rate / 20);
  s.window_seconds = static_cast<double>(s.window) /
                     static_cast<double>(wa.sample_rate);
  settled.magnification = SettleMagnification(args.magnification);
  s.magnification = settled.magnification;
  return settled;
}

}  // namespace ostrel
