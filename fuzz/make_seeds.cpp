// Writes the fuzzer's seed corpus into a directory: a short tone in every
// sample layout the tool meets, headers with extra chunks, the extensible
// format, odd placements, nonsense fields and header truncations.
#include <cmath>
#include <cstdint>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<std::uint8_t>;

void Put(Bytes& b, std::uint64_t v, int n) {
  for (int k = 0; k < n; ++k) b.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}
void Tag(Bytes& b, const char* t) { b.insert(b.end(), t, t + 4); }

struct Layout {
  const char* name;
  int format, channels, bits;
};

// 200 frames at 1000 frames per second: four lines at the default window.
constexpr int kRate = 1000;
constexpr int kFrames = 200;

Bytes Samples(const Layout& l) {
  Bytes b;
  const int bytes = l.bits / 8;
  for (int i = 0; i < kFrames; ++i) {
    for (int c = 0; c < l.channels; ++c) {
      // A swelling tone that hits full scale at the end.
      const double x = (i + 1.0) / kFrames *
                       std::sin(2 * std::numbers::pi * 50 * (c + 1) * i / kRate);
      if (l.format == 3 || (l.format == 0xFFFE && l.bits == 32)) {
        const float f = static_cast<float>(x);
        std::uint32_t w = 0;
        static_assert(sizeof f == sizeof w);
        __builtin_memcpy(&w, &f, 4);
        Put(b, w, 4);
      } else {
        const double full = std::ldexp(1.0, 8 * bytes - 1) - 1;
        Put(b, static_cast<std::uint64_t>(std::llround(x * full)), bytes);
      }
    }
  }
  return b;
}

Bytes FmtChunk(const Layout& l, std::uint32_t rate) {
  const bool ext = l.format == 0xFFFE;
  Bytes b;
  Tag(b, "fmt ");
  Put(b, ext ? 40 : 16, 4);
  Put(b, l.format, 2);
  Put(b, l.channels, 2);
  Put(b, rate, 4);
  Put(b, rate * l.channels * (l.bits / 8), 4);
  Put(b, l.channels * (l.bits / 8), 2);
  Put(b, l.bits, 2);
  if (ext) {
    Put(b, 22, 2);
    Put(b, l.bits, 2);
    Put(b, 3, 4);  // channel mask
    Put(b, l.bits == 32 ? 3 : 1, 2);  // sub-format: float or PCM
    for (int k = 0; k < 14; ++k) b.push_back(k == 1 ? 0 : 0x10);
  }
  return b;
}

Bytes Chunk(const char* tag, const Bytes& body, std::int64_t declared = -2) {
  Bytes b;
  Tag(b, tag);
  Put(b, declared == -2 ? body.size() : static_cast<std::uint64_t>(declared), 4);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

Bytes Riff(const std::vector<Bytes>& chunks) {
  Bytes b;
  Tag(b, "RIFF");
  Bytes rest;
  Tag(rest, "WAVE");
  for (const Bytes& c : chunks) rest.insert(rest.end(), c.begin(), c.end());
  Put(b, rest.size(), 4);
  b.insert(b.end(), rest.begin(), rest.end());
  return b;
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
  const Layout layouts[] = {
      {"pcm16_mono", 1, 1, 16},   {"pcm16_stereo", 1, 2, 16},
      {"pcm24_mono", 1, 1, 24},   {"pcm24_stereo", 1, 2, 24},
      {"float_mono", 3, 1, 32},   {"float_stereo", 3, 2, 32},
      {"pcm32_mono", 1, 1, 32},   {"pcm32_stereo", 1, 2, 32},
      {"pcm8_mono", 1, 1, 8},     {"pcm16_quad", 1, 4, 16},
      {"pcm24_three", 1, 3, 24},  {"ext_pcm24_stereo", 0xFFFE, 2, 24},
      {"ext_float_stereo", 0xFFFE, 2, 32}, {"pcm4_mono", 1, 1, 4},
      {"pcm16_none", 1, 0, 16}};
  for (const Layout& l : layouts) {
    const Bytes fmt = FmtChunk(l, kRate);
    const Bytes data = Samples(l);
    save(l.name, Riff({fmt, Chunk("data", data)}));
    // Chunks before, between and after; a declared size that overruns.
    save(std::string(l.name) + "_chunks",
         Riff({Chunk("LIST", Bytes(26, 'i')), fmt, Chunk("fact", Bytes(4, 0)),
               Chunk("data", data, 0xFFFFFFFF), Chunk("junk", Bytes(6, 1))}));
  }
  const Layout s16{"", 1, 2, 16};
  const Bytes tone = Samples(s16);
  const Bytes canonical = Riff({FmtChunk(s16, kRate), Chunk("data", tone)});
  for (std::size_t n : {0, 4, 12, 14, 15, 22, 24, 34, 35, 36, 39, 40, 43, 44, 47}) {
    save("cut_" + std::to_string(n), Bytes(canonical.begin(), canonical.begin() + n));
  }
  // Data before the format, a chunk of odd length before the format, a
  // sample rate of zero and one with its top bit set.
  save("data_first", Riff({Chunk("data", tone), FmtChunk(s16, kRate)}));
  save("odd_offset", Riff({Chunk("pad ", Bytes(3, 0)), FmtChunk(s16, kRate),
                           Chunk("data", tone)}));
  save("rate_zero", Riff({FmtChunk(s16, 0), Chunk("data", tone)}));
  save("rate_huge", Riff({FmtChunk(s16, 0x80000000U), Chunk("data", tone)}));
  save("rate_low", Riff({FmtChunk(s16, 19), Chunk("data", tone)}));
  // Float samples with all-ones exponents (infinities and NaNs).
  Bytes wild;
  for (int i = 0; i < kFrames; ++i) Put(wild, 0x7F800000U | (i * 977U), 4);
  save("float_wild", Riff({FmtChunk({"", 3, 1, 32}, kRate), Chunk("data", wild)}));
  return ok ? 0 : 1;
}
