// What cpu_models_check.sh runs under each processor model of qemu-x86_64:
//
//   variant_probe variant     prints the variant of the scan's loops that
//                             scans of 16-bit stereo take on this processor:
//                             scalar, portable (16-byte) or avx2
//   variant_probe write DIR   writes a recording of every sample layout
//                             with 1, 2, 3, 6 and 8 channels into DIR
//
// 16-bit PCM has all three variants on every x86 compiler, so its choice
// is the processor's answer.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <string>

#include "sample_decode.hpp"
#include "sample_layouts.hpp"
#include "wave_writer.hpp"

namespace {

namespace ww = wave_writer;

constexpr std::uint32_t kRate = 8000;
constexpr std::uint64_t kFrames = 4000;

// A fixed stream of pseudo-random 64-bit words (xorshift64*): the same
// recordings on every machine, with no library's generator in between.
struct Noise {
  std::uint64_t state = 0x9E3779B97F4A7C15ULL;
  std::uint64_t Next() {
    state ^= state >> 12;
    state ^= state << 25;
    state ^= state >> 27;
    return state * 0x2545F4914F6CDD1DULL;
  }
};

// The samples of a recording: noise whose level steps down by half every
// 97 frames, eight times over, so that the windows' dots differ, with each
// channel's level halved once more than the one before it (four levels),
// so that the channels' peaks differ; every 251st sample is its channel's
// most negative or most positive value.
ww::Bytes Samples(const ww::SampleLayout& layout, std::uint16_t channels) {
  ww::Bytes out;
  Noise noise;
  const int bytes = layout.bits / 8;
  for (std::uint64_t k = 0; k < kFrames * channels; ++k) {
    const std::uint64_t word = noise.Next();
    const auto channel = static_cast<int>(k % channels);
    const auto step = static_cast<int>((k / channels / 97) % 8);
    // A signed value of the layout's width, as the top bits of a 64-bit one.
    auto wide = static_cast<std::int64_t>(word) >> step;
    if (k % 251 == 0) wide = (k / 251) % 2 == 0 ? INT64_MIN : INT64_MAX;
    wide >>= channel % 4;
    if (layout.is_float()) {
      // Up to 1.25 times full scale: clipped recordings exist.
      const double v = static_cast<double>(wide) / 0x1p63 * 1.25;
      std::uint64_t bits = 0;
      if (layout.bits == 32) {
        const auto f = static_cast<float>(v);
        std::uint32_t b32 = 0;
        std::memcpy(&b32, &f, sizeof b32);
        bits = b32;
      } else {
        std::memcpy(&bits, &v, sizeof bits);
      }
      ww::Put(out, bits, bytes);
    } else if (layout.code == ww::kPcm) {
      auto v = static_cast<std::uint64_t>(wide) >> (64 - layout.bits);
      if (layout.bits == 8) v ^= 0x80;  // 8-bit PCM is unsigned
      ww::Put(out, v, bytes);
    } else {
      ww::Put(out, word >> 56, 1);  // G.711: every code
    }
  }
  return out;
}

int Write(const std::string& dir) {
  for (const ww::SampleLayout& layout : ww::kSampleLayouts) {
    for (const std::uint16_t channels : {1, 2, 3, 6, 8}) {
      const ww::Header header{.format = {.code = layout.code, .channels = channels,
                                         .rate = kRate, .bits = layout.bits}};
      const ww::Bytes file = ww::File(header, Samples(layout, channels));
      const std::string name =
          dir + "/" + layout.name + "x" + std::to_string(channels) + ".wav";
      std::ofstream(name, std::ios::binary)
          .write(reinterpret_cast<const char*>(file.data()),
                 static_cast<std::streamsize>(file.size()));
    }
  }
  return 0;
}

int Variant() {
  const ostrel::WaveAttributes s16{.sample_rate = kRate, .bytes_per_sample = 2,
                                   .channels = 2, .encoding = ostrel::kEncodingPcm};
  switch (ostrel::ChosenVariant(s16)) {
    case ostrel::Variant::kScalar:
      std::puts("scalar");
      break;
    case ostrel::Variant::kPortable:
      std::puts("portable");
      break;
    case ostrel::Variant::kAvx2:
      std::puts("avx2");
      break;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "variant") == 0) return Variant();
  if (argc == 3 && std::strcmp(argv[1], "write") == 0) return Write(argv[2]);
  std::fputs("usage: variant_probe variant | variant_probe write DIR\n", stderr);
  return 2;
}
