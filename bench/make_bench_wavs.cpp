// Writes the benchmark's recordings (the table in recordings.hpp) into a
// folder: an hour of 16-bit stereo at 44,100 frames per second, twenty
// minutes each of 24-bit, 32-bit integer and 32-bit float stereo at 48,000,
// and a minute of 16-bit stereo for fine windows; with --all also the
// layouts the tool does not decode yet.
//
// The signal is a tone whose pitch jumps every tenth of a second and whose
// loudness swells and fades, so the peaks and the rows of dots keep
// changing. It is made with integer arithmetic only (a table of sines from
// an integer approximation, phase accumulators, a linear congruential
// generator), so every machine writes the very same bytes, and fast enough
// that the files take about as long to make as to write.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "recordings.hpp"
#include "wave_writer.hpp"

namespace {

constexpr int kTableBits = 12;
constexpr std::uint32_t kTableSize = 1U << kTableBits;

// A full period of sine at 32,767 amplitude, from Bhaskara's rational
// approximation sin(pi x / h) ~ 16 x (h - x) / (5 h^2 - 4 x (h - x)),
// which is within 0.2 % and needs no floating point.
std::array<std::int32_t, kTableSize> MakeSineTable() {
  std::array<std::int32_t, kTableSize> table{};
  constexpr std::int64_t h = kTableSize / 2;
  for (std::uint32_t i = 0; i < kTableSize; ++i) {
    const std::int64_t x = i % h;
    const std::int64_t p = x * (h - x);
    const std::int64_t v = 32767 * 16 * p / (5 * h * h - 4 * p);
    table[i] = static_cast<std::int32_t>(i < h ? v : -v);
  }
  return table;
}

void Put16(unsigned char*& p, std::uint32_t v) {
  *p++ = static_cast<unsigned char>(v & 0xFF);
  *p++ = static_cast<unsigned char>((v >> 8) & 0xFF);
}

void Put32(unsigned char*& p, std::uint32_t v) {
  Put16(p, v & 0xFFFF);
  Put16(p, v >> 16);
}

class Tone {
 public:
  explicit Tone(std::uint32_t rate) : rate_(rate) {}

  // The next frame as two 16-bit-range values, and a byte of noise for the
  // wider formats' low bits.
  void Next(std::int32_t& left, std::int32_t& right, std::uint32_t& noise) {
    if (countdown_ == 0) {
      countdown_ = rate_ / 10;
      seed_ = seed_ * 1664525U + 1013904223U;
      // 110 to about 1,900 Hz, as a phase step of a 32-bit turn.
      const std::uint64_t hz = 110 + (seed_ >> 21);
      step_ = static_cast<std::uint32_t>((hz << 32) / rate_);
    }
    --countdown_;
    phase_left_ += step_;
    phase_right_ += step_ + step_ / 2;
    // Triangle envelopes of 7 s and 11 s, between silence and full scale.
    const std::int64_t el = Triangle(frame_, 7);
    const std::int64_t er = Triangle(frame_, 11);
    left = static_cast<std::int32_t>(
        table_[phase_left_ >> (32 - kTableBits)] * el / 32768);
    right = static_cast<std::int32_t>(
        table_[phase_right_ >> (32 - kTableBits)] * er / 32768);
    noise_ = noise_ * 1103515245U + 12345U;
    noise = noise_ >> 24;
    ++frame_;
  }

 private:
  std::int64_t Triangle(std::uint64_t frame, std::uint64_t seconds) const {
    const std::uint64_t period = seconds * rate_;
    const std::uint64_t at = frame % period;
    const std::uint64_t rise = at < period / 2 ? at : period - at;
    return static_cast<std::int64_t>(rise * 65536 / period);
  }

  std::array<std::int32_t, kTableSize> table_ = MakeSineTable();
  std::uint32_t rate_;
  std::uint64_t frame_ = 0;
  std::uint32_t countdown_ = 0;
  std::uint32_t seed_ = 1;
  std::uint32_t step_ = 0;
  std::uint32_t phase_left_ = 0;
  std::uint32_t phase_right_ = 0;
  std::uint32_t noise_ = 7;
};

// G.711 A-law of a 16-bit sample: the sign (set for the positive side),
// a 3-bit segment and 4 bits of mantissa from its top 13 bits, every other
// bit inverted.
std::uint8_t ALaw(std::int32_t v) {
  std::int32_t m = v >> 3;
  std::uint8_t mask = 0xD5;
  if (m < 0) {
    mask = 0x55;
    m = -m - 1;
  }
  int segment = 0;
  while (segment < 8 && m >= (0x20 << segment)) ++segment;
  if (segment == 8) return 0x7F ^ mask;
  const int mantissa = segment < 2 ? (m >> 1) & 0xF : (m >> segment) & 0xF;
  return static_cast<std::uint8_t>(((segment << 4) | mantissa) ^ mask);
}

// G.711 mu-law of a 16-bit sample: the magnitude, clipped and biased by
// 132, as a 3-bit exponent and 4 bits of mantissa, all bits inverted.
std::uint8_t MuLaw(std::int32_t v) {
  const int sign = v < 0 ? 0x80 : 0;
  const std::int32_t m = std::min(v < 0 ? -v : v, 32635) + 132;
  int exponent = 7;
  while (exponent > 0 && (m & (0x80 << exponent)) == 0) --exponent;
  const int mantissa = (m >> (exponent + 3)) & 0xF;
  return static_cast<std::uint8_t>(~(sign | (exponent << 4) | mantissa));
}

// One sample of the recording's layout from a value in the 16-bit range,
// and a byte of noise for the wider integer formats' low bits.
void PutSample(unsigned char*& p, const bench::Recording& r, std::int32_t v,
               std::uint32_t noise) {
  if (r.layout.code == wave_writer::kFloat && r.layout.bits == 64) {
    // v / 32768 is exact in either precision.
    const double d = static_cast<double>(v) / 32768.0;
    std::uint64_t bits = 0;
    std::memcpy(&bits, &d, 8);
    Put32(p, static_cast<std::uint32_t>(bits));
    Put32(p, static_cast<std::uint32_t>(bits >> 32));
  } else if (r.layout.code == wave_writer::kFloat) {
    const float f = static_cast<float>(v) / 32768.0F;
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, 4);
    Put32(p, bits);
  } else if (r.layout.code == wave_writer::kALaw) {
    *p++ = ALaw(v);
  } else if (r.layout.code == wave_writer::kMuLaw) {
    *p++ = MuLaw(v);
  } else if (r.layout.bits == 8) {
    *p++ = static_cast<unsigned char>((v >> 8) + 128);
  } else if (r.layout.bits == 24) {
    const auto u = static_cast<std::uint32_t>(v * 256) + noise;
    Put16(p, u & 0xFFFF);
    *p++ = static_cast<unsigned char>((u >> 16) & 0xFF);
  } else if (r.layout.bits == 32) {
    Put32(p, static_cast<std::uint32_t>(v) * 65536U + noise * 257U);
  } else {
    Put16(p, static_cast<std::uint32_t>(v) & 0xFFFF);
  }
}

bool Write(const std::string& folder, const bench::Recording& r) {
  const std::string path = folder + "/" + r.name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) {
    std::perror(path.c_str());
    return false;
  }
  const std::uint32_t frame_bytes = bench::FrameBytes(r);
  const std::uint64_t frames = std::uint64_t{r.rate} * bench::Seconds(r);
  constexpr std::size_t kChunkFrames = 1 << 16;
  const wave_writer::Bytes header = wave_writer::HeaderBytes(bench::Header(r));
  bool ok = std::fwrite(header.data(), 1, header.size(), f) == header.size();
  std::vector<unsigned char> chunk(kChunkFrames * frame_bytes);
  unsigned char* p = chunk.data();
  Tone tone(r.rate);
  for (std::uint64_t i = 0; i < frames && ok; ++i) {
    std::int32_t left = 0;
    std::int32_t right = 0;
    std::uint32_t noise = 0;
    tone.Next(left, right, noise);
    // Channels past the first two repeat them, each pair quieter.
    for (int c = 0; c < r.channels; ++c) {
      const std::int32_t v = (c % 2 == 0 ? left : right) / (1 + c / 2);
      PutSample(p, r, v, (noise ^ (0x5AU * static_cast<unsigned>(c))) & 0xFF);
    }
    if (p + frame_bytes > chunk.data() + chunk.size() || i + 1 == frames) {
      const auto n = static_cast<std::size_t>(p - chunk.data());
      ok = std::fwrite(chunk.data(), 1, n, f) == n;
      p = chunk.data();
    }
  }
  if (std::fclose(f) != 0) ok = false;
  if (!ok) std::perror(path.c_str());
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool all = argc == 3 && std::strcmp(argv[1], "--all") == 0;
  if (argc != 2 && !all) {
    std::fputs("usage: make_bench_wavs [--all] FOLDER\n"
               "  --all: also the layouts the tool does not decode yet\n",
               stderr);
    return 1;
  }
  const std::string folder = argv[argc - 1];
  for (const bench::Recording& r : bench::kRecordings) {
    if ((r.timed || all) && !Write(folder, r)) return 1;
  }
  return 0;
}
