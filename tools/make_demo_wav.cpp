// Writes the demo recording: a few seconds of a 16-bit stereo tone at
// 44,100 frames per second whose level swells and fades, the right channel
// an octave up and half as loud, so the waveform has a shape worth seeing.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

void Put16(std::vector<unsigned char>& out, unsigned v) {
  out.push_back(static_cast<unsigned char>(v & 0xFF));
  out.push_back(static_cast<unsigned char>((v >> 8) & 0xFF));
}

void Put32(std::vector<unsigned char>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fputs("usage: make_demo_wav OUTPUT.wav\n", stderr);
    return 1;
  }
  constexpr std::uint32_t kRate = 44100;
  constexpr std::uint32_t kFrames = kRate * 3;
  constexpr std::uint32_t kDataBytes = kFrames * 4;
  std::vector<unsigned char> file;
  for (char c : {'R', 'I', 'F', 'F'}) file.push_back(static_cast<unsigned char>(c));
  Put32(file, 36 + kDataBytes);
  for (char c : {'W', 'A', 'V', 'E', 'f', 'm', 't', ' '}) file.push_back(static_cast<unsigned char>(c));
  Put32(file, 16);
  Put16(file, 1);          // integer PCM
  Put16(file, 2);          // stereo
  Put32(file, kRate);
  Put32(file, kRate * 4);  // bytes per second
  Put16(file, 4);          // bytes per frame
  Put16(file, 16);         // bits per sample
  for (char c : {'d', 'a', 't', 'a'}) file.push_back(static_cast<unsigned char>(c));
  Put32(file, kDataBytes);
  for (std::uint32_t i = 0; i < kFrames; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double envelope = std::sin(std::numbers::pi * t / 3.0);
    const double left = 30000 * envelope * std::sin(2 * std::numbers::pi * 220 * t);
    const double right = 15000 * envelope * std::sin(2 * std::numbers::pi * 440 * t);
    Put16(file, static_cast<unsigned>(static_cast<std::int16_t>(std::lround(left))) & 0xFFFF);
    Put16(file, static_cast<unsigned>(static_cast<std::int16_t>(std::lround(right))) & 0xFFFF);
  }
  std::FILE* f = std::fopen(argv[1], "wb");
  if (f == nullptr || std::fwrite(file.data(), 1, file.size(), f) != file.size() ||
      std::fclose(f) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
