#include "main.hpp"

#include <unistd.h>

#include <array>
#include <cfloat>
#include <cmath>
#include <csignal>
#include <cstddef>
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

// Times and levels are rounded to single precision and sums kept in double
// on every machine; wider intermediates (the x87 unit's) would print other
// bytes, so such a build must not be made (on 32-bit x86, build with SSE2
// maths).
static_assert(FLT_EVAL_METHOD == 0, "float maths must not keep excess precision");

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

// The first SIGINT or SIGTERM that came during the scan, 0 if none did.
volatile std::sig_atomic_t g_end_signal = 0;

extern "C" void NoteEndSignal(int signal) { g_end_signal = signal; }

// While armed, SIGINT and SIGTERM end the input where it is, so that the
// lines and peaks of what was read still come out. The handler only sets
// the flag; without SA_RESTART a read that waits returns EINTR and the
// input looks at it. SA_RESETHAND leaves a second signal its default
// action, for a run that does not end fast enough.
class EndOnSignal {
 public:
  static constexpr int kSignals[] = {SIGINT, SIGTERM};

  EndOnSignal() = default;
  EndOnSignal(const EndOnSignal&) = delete;
  EndOnSignal& operator=(const EndOnSignal&) = delete;
  ~EndOnSignal() {
    if (!armed_) return;
    for (std::size_t k = 0; k < std::size(kSignals); ++k) {
      ::sigaction(kSignals[k], &before_[k], nullptr);
    }
  }

  void Arm(Input& input) {
    g_end_signal = 0;
    input.EndWhen(&g_end_signal);
    struct sigaction action {};
    action.sa_handler = NoteEndSignal;
    action.sa_flags = SA_RESETHAND;
    sigemptyset(&action.sa_mask);
    for (std::size_t k = 0; k < std::size(kSignals); ++k) {
      ::sigaction(kSignals[k], &action, &before_[k]);
    }
    armed_ = true;
  }
  // The signal that ended the input, 0 if none did.
  int signal() const { return armed_ ? g_end_signal : 0; }

 private:
  bool armed_ = false;
  std::array<struct sigaction, std::size(kSignals)> before_{};
};

void CannotBeFound(Output& out, const std::string& name) {
  out.Write("The file called ");
  out.Write(name);
  out.Write(" cannot be found!\n");
}

int RunSteps(std::span<const char* const> args, Input& input, Output& out,
             EndOnSignal& end_on_signal) {
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

  // The one open of the run: the probe and the scan share it. Whatever has
  // been printed leaves before the input makes the run wait, so a live
  // capture shows each line as it comes.
  input.BeforeWaiting([&out] { out.Flush(); });
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
  if (end_frame > start_frame) {
    end_on_signal.Arm(input);
    peaks = ScanInterval(input, wa, settings, out);
  }
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
  return Run(args, input, out);
}

int Run(std::span<const char* const> args, Input& input, Output& out) {
  // Armed when the scan starts and kept until the last byte is out, so a
  // signal during the summary still lets it finish; before the scan, and
  // once the run is over, the signals' actions are what they were.
  EndOnSignal end_on_signal;
  int status = RunSteps(args, input, out, end_on_signal);
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
  // As a shell reports a run that the signal ended.
  if (end_on_signal.signal() != 0) status = 128 + end_on_signal.signal();
  return status;
}

}  // namespace ostrel
