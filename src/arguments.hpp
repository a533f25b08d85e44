// The command line's rules: what each argument means, and the scan that
// the arguments and the wave's attributes settle.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "interval_scan.hpp"
#include "wave_header.hpp"

namespace ostrel {

// The arguments as given, before the wave's attributes are known.
struct Arguments {
  std::string file_name;
  float start_seconds = 0;
  float stop_seconds = 0;
  // Read only where a fourth argument is given; 0 otherwise.
  bool has_resolution = false;
  std::int32_t resolution = 0;
  float magnification = 1;  // the fifth and last argument, not yet settled
};

// The arguments (the program name not included); none where fewer than
// three are given, and the usage is due.
std::optional<Arguments> ParseArguments(std::span<const char* const> args);

enum class Verdict {
  kScan,              // settings hold the scan (which may be of no frames)
  kBadInterval,       // "Stop or start time not set correctly"
  kBadLayout,         // "Unrecognized bit or channel configuration"
};

struct Settled {
  Verdict verdict = Verdict::kScan;
  ScanSettings settings;
  // The magnification the scan and the threshold line use.
  float magnification = 1;
};

// Checks the interval, then the frame layout, and settles the window and
// the magnification. The scan has frames to read where settings.end_frame
// > settings.start_frame.
Settled SettleScan(const Arguments& args, const WaveAttributes& wa);

}  // namespace ostrel
