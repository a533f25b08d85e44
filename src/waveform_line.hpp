// Printing the text waveform: one line per window, and the summary lines
// (the threshold and the peaks) that close it.
#pragma once

#include <cstdint>
#include <span>

#include "output.hpp"

namespace ostrel {

// The longest row of dots a line gets: full scale times the largest
// magnification, which full-scale negative integer samples at 256 reach. It
// keeps float samples far beyond full scale from making rows that take
// unbounded time to print.
constexpr std::uint32_t kMaxDots = 32768;

// Writes value with exactly `decimals` digits after the point (0 to 3),
// byte for byte as printf's "%.Nf" writes the value widened to double, and
// returns the end. Room for 48 characters is enough.
char* FormatFixed(char* out, float value, int decimals);

// One waveform line: the time of `position` (a frame number), a tab, the
// frame number too when windows are very short, then floor(level) dots.
void Waveform(Output& out, std::int64_t position, std::uint32_t rate,
              double level, double window_seconds);

// The lines after the waveform: the level a dot stands for at this
// magnification, in dB, and each channel's peak (in level units) in dB
// relative to full scale, laid out for mono, stereo or more channels.
void SummaryLines(Output& out, float magnification,
                  std::span<const double> peaks);

}  // namespace ostrel
