#include "main.hpp"

#include <cfloat>
#include <optional>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "arguments.hpp"
#include "input.hpp"
#include "interval_scan.hpp"
#include "os.hpp"
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

void CannotBeFound(Output& out, const std::string& name) {
  out.Write("The file called ");
  out.Write(name);
  out.Write(" cannot be found!\n");
}

int RunSteps(std::span<const char* const> args, Input& input, Output& out,
             os::StopSignals& stop_signals) {
  out.Line("Ostrel 1.01 by Valdrin");
  const std::optional<Arguments> parsed = ParseArguments(args);
  if (!parsed) {
    for (const std::string_view line : kUsage) out.Line(line);
    return kStatusUsage;
  }

  // The one open of the run: the probe and the scan share it. Whatever has
  // been printed leaves before the input makes the run wait, so a live
  // capture shows each line as it comes.
  input.BeforeWaiting([&out] { out.Flush(); });
  if (!input.Open(parsed->file_name)) {
    CannotBeFound(out, parsed->file_name);
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

  const Settled settled = SettleScan(*parsed, wa);
  switch (settled.verdict) {
    case Verdict::kScan:
      break;
    case Verdict::kBadInterval:
      out.Line("Stop or start time not set correctly");
      return kStatusUsage;
    case Verdict::kBadLayout:
      out.Line("Unrecognized bit or channel configuration");
      return kStatusUsage;
  }
  const ScanSettings& settings = settled.settings;
  Peaks peaks;
  if (settings.end_frame > settings.start_frame) {
    stop_signals.Arm();
    peaks = ScanInterval(input, wa, settings, out);
  }
  // Decodes has bounded the channels by kMaxChannels.
  SummaryLines(out, settled.magnification,
               std::span(peaks.channel).first(wa.channels));
  return kStatusOk;
}

// Failures of the input and output themselves go to standard error:
// standard output holds the picture, or is what failed.
void ReportFailure(std::string what, os::Error error) {
  os::WriteStandardError("ostrel: cannot " + std::move(what) + ": " +
                         os::ErrorText(error) + "\n");
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
  os::StopSignals stop_signals;
  int status = RunSteps(args, input, out, stop_signals);
  const bool written = out.Flush();
  // Read once, on every path: a stop signal that comes after it is in no
  // status, and ends the process as the signals are restored.
  const int stopped = stop_signals.Status();
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
    return kStatusFile;
  }
  // As a shell reports a run that the signal ended; the process entry
  // then ends by the signal itself.
  return stopped != 0 ? stopped : status;
}

}  // namespace ostrel
