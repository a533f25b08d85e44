// Writes the fuzzer's seed corpus into a directory: a short tone in every
// sample layout the tool meets, headers with extra chunks, the extensible
// format, RF64, long chunk lists, odd placements, nonsense fields and
// header truncations.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "sample_layouts.hpp"
#include "wave_writer.hpp"

namespace {

namespace ww = wave_writer;
using ww::Bytes;
using ww::Put;

// A sample layout with its channel count, in the plain or the extensible
// format chunk.
struct Layout {
  ww::SampleLayout sample;
  int channels;
  bool extensible = false;
  int bits() const { return sample.bits; }
  std::string name() const {
    return std::string(sample.name) + "_" + std::to_string(channels) + (extensible ? "_ext" : "");
  }
};

// 200 frames at 1000 frames per second: four lines at the default window.
constexpr int kRate = 1000;
constexpr int kFrames = 200;

Bytes Samples(const Layout& l) {
  Bytes b;
  const int bytes = l.bits() / 8;
  for (int i = 0; i < kFrames; ++i) {
    for (int c = 0; c < l.channels; ++c) {
      // A swelling tone that hits full scale at the end.
      const double x = (i + 1.0) / kFrames *
                       std::sin(2 * std::numbers::pi * 50 * (c + 1) * i / kRate);
      if (l.sample.code == ww::kFloat && l.bits() == 64) {
        std::uint64_t w = 0;
        static_assert(sizeof x == sizeof w);
        __builtin_memcpy(&w, &x, 8);
        Put(b, w, 8);
      } else if (l.sample.code == ww::kFloat) {
        const float f = static_cast<float>(x);
        std::uint32_t w = 0;
        static_assert(sizeof f == sizeof w);
        __builtin_memcpy(&w, &f, 4);
        Put(b, w, 4);
      } else if (l.bits() == 8) {
        // Any byte is a sample of these; a ramp of codes covers them all.
        Put(b, static_cast<std::uint64_t>(i * l.channels + c), 1);
      } else {
        const double full = std::ldexp(1.0, 8 * bytes - 1) - 1;
        Put(b, static_cast<std::uint64_t>(std::llround(x * full)), bytes);
      }
    }
  }
  return b;
}

ww::Format FormatOf(const Layout& l, std::uint32_t rate) {
  return {.code = l.extensible ? ww::kExtensible : l.sample.code,
          .channels = static_cast<std::uint16_t>(l.channels), .rate = rate,
          .bits = l.sample.bits, .sub_format = l.sample.code, .channel_mask = 3};
}

ww::Chunk FmtChunk(const Layout& l, std::uint32_t rate) {
  return {.id = "fmt ", .body = ww::FormatBody(FormatOf(l, rate))};
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) return 1;
  const std::string dir = argv[1];
  bool ok = true;
  auto save = [&](const std::string& name, const Bytes& b) {
    std::ofstream file(dir + "/" + name, std::ios::binary);
    file.write(reinterpret_cast<const char*>(b.data()),
               static_cast<std::streamsize>(b.size()));
    ok = ok && file.good();
  };
  // Every layout the tool decodes, mono and stereo; more channels, the
  // extensible format, and layouts it refuses: 4- and 40-bit samples, no
  // channels and nine.
  std::vector<Layout> layouts;
  for (const ww::SampleLayout& sample : ww::kSampleLayouts) {
    layouts.push_back({.sample = sample, .channels = 1});
    layouts.push_back({.sample = sample, .channels = 2});
  }
  layouts.insert(layouts.end(),
                 {{.sample = ww::kS16, .channels = 4}, {.sample = ww::kS24, .channels = 3},
                  {.sample = ww::kU8, .channels = 6}, {.sample = ww::kS16, .channels = 8},
                  {.sample = ww::kS24, .channels = 2, .extensible = true},
                  {.sample = ww::kF32, .channels = 2, .extensible = true},
                  {.sample = {.name = "s4", .code = ww::kPcm, .bits = 4}, .channels = 1},
                  {.sample = {.name = "s40", .code = ww::kPcm, .bits = 40}, .channels = 1},
                  {.sample = ww::kS16, .channels = 0}, {.sample = ww::kS16, .channels = 9}});
  for (const Layout& l : layouts) {
    const Bytes data = Samples(l);
    save(l.name(), ww::File({.format = FormatOf(l, kRate)}, data));
    // Chunks before, between and after; a declared size that overruns.
    save(l.name() + "_chunks",
         ww::File({.format = FormatOf(l, kRate),
                   .before_fmt = {{.id = "LIST", .body = Bytes(26, 'i')}},
                   .before_data = {{.id = "fact", .body = Bytes(4, 0)}},
                   .data_size = 0xFFFFFFFF},
                  data, {{.id = "junk", .body = Bytes(6, 1)}}));
  }
  const Layout s16{.sample = ww::kS16, .channels = 2};
  const Bytes tone = Samples(s16);
  const auto plain = [&](std::uint32_t rate, const std::vector<ww::Chunk>& before_fmt = {}) {
    return ww::File({.format = FormatOf(s16, rate), .before_fmt = before_fmt}, tone);
  };
  const Bytes canonical = plain(kRate);
  for (std::size_t n : {0, 4, 12, 14, 15, 22, 24, 34, 35, 36, 39, 40, 43, 44, 47}) {
    save("cut_" + std::to_string(n), Bytes(canonical.begin(), canonical.begin() + n));
  }
  // Data before the format, a chunk of odd length (not padded) before the
  // format, a sample rate of zero and one with its top bit set.
  save("data_first", ww::Riff({{.id = "data", .body = tone}, FmtChunk(s16, kRate)}));
  save("odd_offset", plain(kRate, {ww::Raw(std::string("pad \3\0\0\0\0\0\0", 11))}));
  save("rate_zero", plain(0));
  save("rate_huge", plain(0x80000000U));
  save("rate_low", plain(19));
  // The chunk list: a comment holding "data" ahead of the data chunk, an
  // RF64 file whose ds64 size is half the samples, with a chunk after them,
  // and a list of 1,500 chunks.
  const ww::Format s16_format = FormatOf(s16, kRate);
  save("list_data_text",
       ww::File({.format = s16_format,
                 .before_data = {ww::ListInfo({{"ICMT", "data in a comment"}})}},
                tone));
  save("rf64_half",
       ww::File({.riff_id = "RF64", .format = s16_format, .ds64 = true,
                 .ds64_data_size = tone.size() / 2},
                tone, {{.id = "LIST", .body = Bytes(26, 'i')}}));
  save("many_chunks",
       ww::File({.format = s16_format,
                 .before_data = std::vector<ww::Chunk>(1500, {.id = "tiny"})},
                tone));
  // Float samples with all-ones exponents (infinities and NaNs).
  Bytes wild;
  for (int i = 0; i < kFrames; ++i) Put(wild, 0x7F800000U | (i * 977U), 4);
  save("float_wild", ww::File({.format = FormatOf({.sample = ww::kF32, .channels = 1}, kRate)}, wild));
  return ok ? 0 : 1;
}
