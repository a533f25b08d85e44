#include "main.hpp"

#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "input.hpp"
#include "interval_scan.hpp"
#include "sample_decode.hpp"
#include "wave_header.hpp"
#include "waveform_line.hpp"

namespace ostrel {
namespace {

constexpr int kStatusOk = 0;
constexpr int kStatusUsage = 1;
constexpr int kStatusFile = 2;

constexpr float kMaxMagnification = 256;
// 2^64 as a float: frame numbers from products at or beyond it do not fit.
constexpr float kFrameLimit = 18446744073709551616.0F;

constexpr std::string_view kUsage[] = {
    "This program will print a basic waveform image",
    "Run with command line argument 1 being the name of the wavefile",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma): one long line
    "Arguments 2 and 3 are the start/stop times in seconds to scan within the "
    "file.",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
    "Argument 4 (optional) is resolution in samples.  Default = samplerate / "
    "20 ",
    // NOLINTNEXTLINE(bugprone-suspicious-missing-comma)
    "Argument 5 (optional) is magnification: Above 1 magnifies (256 is the "
    "max).  Between 0 and 1 zooms out.",
};

// A number as atof reads it: the longest leading decimal number, 0 if none.
float ParseSeconds(const char* text) {
  return static_cast<float>(std::strtod(text, nullptr));
}

// An integer as this platform's atoi reads it: strtol (which saturates at
// the long range instead of overflowing) narrowed to 32 bits.
std::int32_t ParseResolution(const char* text) {
  return static_cast<std::int32_t>(std::strtol(text, nullptr, 10));
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

void CannotBeFound(Output& out, const std::string& name) {
  out.Write("The file called ");
  out.Write(name);
  out.Write(" cannot be found!\n");
}

int RunSteps(std::span<const char* const> args, Input& input, Output& out) {
  out.Line("Ostrel 1.01 by Valdrin");
  if (args.size() < 3) {
    for (const std::string_view line : kUsage) out.Line(line);
    return kStatusUsage;
  }
  const std::string file_name = args[0];
  const float start_seconds = ParseSeconds(args[1]);
  const float stop_seconds = ParseSeconds(args[2]);
  const std::int32_t resolution = args.size() >= 4 ? ParseResolution(args[3]) : 0;
  const float magnification =
      args.size() == 5 ? ParseSeconds(args[4]) : 1.0F;

  // The one open of the run: the probe and the scan share it.
  if (!input.Open(file_name)) {
    CannotBeFound(out, file_name);
    return kStatusFile;
  }
  const ProbeResult probe = GetAttributes(input);
  switch (probe.outcome) {
    case ProbeOutcome::kOk:
      break;
    case ProbeOutcome::kNoFormatChunk:
      out.Line("Can't find format chunk in wave file!");
      return kStatusFile;
    case ProbeOutcome::kNoDataBlock:
      out.Line("Can't find data block in wave file!");
      return kStatusFile;
  }
  const WaveAttributes& wa = probe.attributes;

  std::uint64_t start_frame = 0;
  std::uint64_t stop_frame = 0;
  if (!TimeToFrame(start_seconds, wa.sample_rate, start_frame) ||
      !TimeToFrame(stop_seconds, wa.sample_rate, stop_frame) ||
      stop_frame <= start_frame) {
    out.Line("Stop or start time not set correctly");
    return kStatusUsage;
  }
  const std::uint64_t end_frame = std::min(stop_frame, wa.frame_count);

  const std::uint32_t frame_size = wa.channels * wa.bytes_per_sample;
  if (!Decodes(wa)) {
    out.Line("Unrecognized bit or channel configuration");
    return kStatusUsage;
  }
  const float settled = SettleMagnification(magnification);

  ScanSettings settings;
  settings.frame_size = frame_size;
  settings.start_frame = start_frame;
  settings.end_frame = end_frame;
  const auto as_unsigned = static_cast<std::uint32_t>(resolution);
  // Any resolution that is 0, negative (huge as unsigned) or longer than a
  // second gives the default window.
  settings.window = args.size() >= 4 && resolution != 0 &&
                            as_unsigned <= wa.sample_rate
                        ? as_unsigned
                        : static_cast<std::uint32_t>(wa.sample_rate / 20);
  settings.window_seconds = static_cast<double>(settings.window) /
                            static_cast<double>(wa.sample_rate);
  settings.magnification = settled;

  Peaks peaks;
  if (end_frame > start_frame) peaks = ScanInterval(input, wa, settings, out);
  // Decodes has bounded the channels by kMaxChannels.
  SummaryLines(out, settled, std::span(peaks.channel).first(wa.channels));
  return kStatusOk;
}

// Failures of the input and output themselves go to standard error:
// standard output holds the picture, or is what failed.
void ReportFailure(std::string what, int error) {
  std::string message = "ostrel: cannot " + std::move(what) + ": ";
  message += std::strerror(error);
  message += '\n';
  [[maybe_unused]] const ssize_t ignored =
      ::write(STDERR_FILENO, message.data(), message.size());
}

}  // namespace

int Run(std::span<const char* const> args, Output& out) {
  Input input;
  int status = RunSteps(args, input, out);
  const bool written = out.Flush();
  // A failed read ends the input as its end would, so what was read has
  // been shown; the run has still failed. Only an opened input can fail.
  if (input.read_error() != 0) {
    const std::string name = args[0];
    ReportFailure(name == "-" ? "read standard input" : "read " + name,
                  input.read_error());
    status = kStatusFile;
  }
  if (!written) {
    ReportFailure("write standard output", out.error());
    status = kStatusFile;
  }
  return status;
}

}  // namespace ostrel
