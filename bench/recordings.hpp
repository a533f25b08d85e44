// The benchmark's recordings, one line each: make_bench_wavs writes them,
// ostrel_bench times the tool on them. A recording with `timed = false`
// stays out of the timing (make_bench_wavs writes it only when asked, with
// --all).
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>

#include "sample_layouts.hpp"
#include "wave_writer.hpp"

namespace bench {

using wave_writer::kFloat;
using wave_writer::SampleLayout;

struct Recording {
  const char* name;
  SampleLayout layout;  // more than two channels: in the extensible format
  std::uint16_t channels;
  std::uint32_t rate;  // frames per second
  std::uint32_t seconds;
  bool timed;    // the tool decodes the layout
  double target; // warm page cache: ostrel at most this many times cat
};

inline constexpr std::array kRecordings = {
    Recording{.name = "s16-1h.wav", .layout = wave_writer::kS16, .channels = 2, .rate = 44100, .seconds = 3600, .timed = true, .target = 1.15},
    Recording{.name = "s24-20min.wav", .layout = wave_writer::kS24, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.25},
    Recording{.name = "f32-20min.wav", .layout = wave_writer::kF32, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.6},
    Recording{.name = "s32-20min.wav", .layout = wave_writer::kS32, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.3},
    // The shortest timed recording also serves the window of one frame.
    Recording{.name = "s16-60s.wav", .layout = wave_writer::kS16, .channels = 2, .rate = 44100, .seconds = 60, .timed = true, .target = 1.15},
    Recording{.name = "u8-20min.wav", .layout = wave_writer::kU8, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.5},
    Recording{.name = "alaw-20min.wav", .layout = wave_writer::kALaw8, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.5},
    Recording{.name = "ulaw-20min.wav", .layout = wave_writer::kMuLaw8, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.5},
    Recording{.name = "s16x6-20min.wav", .layout = wave_writer::kS16, .channels = 6, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.5},
    Recording{.name = "f64-20min.wav", .layout = wave_writer::kF64, .channels = 2, .rate = 48000, .seconds = 1200, .timed = true, .target = 1.8},
};

// OSTREL_BENCH_MINUTES=N shortens every recording to at most N minutes
// (at least a second): a check that the benchmark runs, in little time and
// disk space. Its figures then say nothing about the targets.
inline double MinutesCap() {
  const char* text = std::getenv("OSTREL_BENCH_MINUTES");
  return text == nullptr ? 0 : std::atof(text);
}

inline std::uint32_t Seconds(const Recording& r) {
  const double cap = MinutesCap();
  if (cap <= 0) return r.seconds;
  const auto capped = static_cast<std::uint32_t>(std::min(cap * 60, 1e9));
  return std::clamp<std::uint32_t>(capped, 1, r.seconds);
}

inline std::uint32_t FrameBytes(const Recording& r) {
  return std::uint32_t{r.channels} * r.layout.bits / 8;
}

inline std::uint64_t DataBytes(const Recording& r) {
  return std::uint64_t{r.rate} * Seconds(r) * FrameBytes(r);
}

// The header: the plain one for mono and stereo, the extensible format
// chunk, every speaker named, for more channels, as recorders write it.
inline wave_writer::Header Header(const Recording& r) {
  wave_writer::Format f{.code = r.layout.code, .channels = r.channels,
                        .rate = r.rate, .bits = r.layout.bits};
  if (r.channels > 2) {
    f.code = wave_writer::kExtensible;
    f.sub_format = r.layout.code;
    f.channel_mask = (1U << r.channels) - 1;
  }
  return {.format = f, .data_bytes = DataBytes(r)};
}

}  // namespace bench
