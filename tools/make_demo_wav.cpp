// Writes the demo recording: a few seconds of a 16-bit stereo tone at
// 44,100 frames per second whose level swells and fades, the right channel
// an octave up and half as loud, so the waveform has a shape worth seeing.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>

#include "wave_writer.hpp"

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_demo_wav OUTPUT.wav\n", stderr);
    return 1;
  }
  constexpr std::uint32_t kRate = 44100;
  constexpr std::uint32_t kFrames = kRate * 3;
  wave_writer::Bytes samples;
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double envelope = std::sin(std::numbers::pi * t / 3.0);
    const double left = 30000 * envelope * std::sin(2 * std::numbers::pi * 220 * t);
    const double right = 15000 * envelope * std::sin(2 * std::numbers::pi * 440 * t);
    wave_writer::Put(samples, static_cast<std::uint16_t>(std::lround(left)), 2);
    wave_writer::Put(samples, static_cast<std::uint16_t>(std::lround(right)), 2);
  }
  // The plain 44-byte header: integer PCM, stereo, 16 bits.
  const wave_writer::Bytes file =
      wave_writer::File({.format = {.channels = 2, .rate = kRate, .bits = 16}}, samples);
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr || std::fwrite(file.data(), 1, file.size(), f) != file.size() ||
      std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
