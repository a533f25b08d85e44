#include <array>
#include <bit>
#include <cstdio>
#include <cstring>

#include "sample_decode.hpp"
#include "waveform_line.hpp"
#include "window_sums.hpp"

#include "wave_builder.hpp"

namespace {

using ostrel::Variant;
using wb::Bytes;
using wb::Pack;

TEST(Scan, LinePositionsAndTimeColumns) {
  struct Case {
    std::uint32_t rate, window;
    std::uint64_t start;
    const char* line;
  };
  const Case cases[] = {
      {.rate = 48000, .window = 1200, .start = 0, .line = "0.01\t\n"},          // exactly 0.025 s: two decimals
      {.rate = 48000, .window = 1199, .start = 0, .line = "0.013\t\n"},         // frame 600: 0.0125000002 as a float
      {.rate = 48000, .window = 49, .start = 0, .line = "0.001\t\n"},           // frame 25, just over 0.001 s
      {.rate = 48000, .window = 48, .start = 0, .line = "0.001\t24\t\n"},       // exactly 0.001 s: the frame number too
      {.rate = 48000, .window = 47, .start = 1000, .line = "0.021\t1024\t\n"},  // 1000 + 47 - 23
      {.rate = 1000, .window = 50, .start = 1000, .line = "1.02\t\n"},          // 1025 / 1000 is 1.02499998 as a float
  };
  for (const auto& [rate, window, start, line] : cases)
    EXPECT_EQ(wb::Scan(Bytes(2 * (start + window)), {.rate = rate, .window = window, .start = start}).second, line);
}

TEST(Waveform, DotsAndTimeColumn) {
  const auto line = [](std::int64_t position, double level, double seconds) {
    std::string text;
    ostrel::Output out(text);
    ostrel::Waveform(out, position, 1000, level, seconds);
    out.Flush();
    return text;
  };
  struct Case {
    double level;
    std::size_t dots;
  };
  for (const auto& [level, dots] : {Case{.level = 0.999, .dots = 0}, Case{.level = 1.0, .dots = 1},
                                    Case{.level = 3.7, .dots = 3}, Case{.level = 1e300, .dots = 32768}})
    EXPECT_EQ(line(0, level, 0.05), "0.00\t" + std::string(dots, '.') + "\n") << level;
  EXPECT_EQ(line(16777219, 0, 0.01), "16777.221\t\n");  // 2^24 + 3 is 2^24 + 4 as a float
}

// The lines and peaks the plain way: values decoded by hand (v holds
// them frame by frame), summed one at a time in frame order, channels in
// order, the time column by printf.
std::pair<ostrel::Peaks, std::string> Reference(const std::vector<double>& v, const wb::Layout& l) {
  std::pair<ostrel::Peaks, std::string> r;
  double g = 0;
  const std::uint32_t ch = l.channels;
  for (std::uint64_t i = l.start, n = 1; i < l.end; ++i, ++n) {
    for (std::uint32_t c = 0; c < ch; ++c) r.first.channel[c] = std::max(r.first.channel[c], std::fabs(v[ch * i + c]));
    for (std::uint32_t c = 0; c < ch; ++c) g = g + std::fabs(v[ch * i + c]);
    if (n < l.window || l.window == 0) continue;
    const auto position = static_cast<std::int64_t>(i + 1 - l.window / 2);
    const double seconds = static_cast<double>(l.window) / l.rate;
    char column[64];
    std::snprintf(column, sizeof column, seconds >= 0.025 ? "%.2f\t" : seconds > 0.001 ? "%.3f\t" : "%.3f\t%i\t",
                  static_cast<double>(static_cast<float>(position) / static_cast<float>(l.rate)),
                  static_cast<int>(position));
    const double level = g / ch / l.window * l.mag;
    r.second += column + std::string(static_cast<std::size_t>(std::min(level, 32768.0)), '.') + "\n";
    g = 0;
    n = 0;
  }
  return r;
}

// A sample's value in level units, decoded the plain way: integers scaled
// so that full scale is 128, floats through the bit-by-bit arithmetic or
// the compiler's own double, G.711 through its 16-bit linear value.
double PlainValue(std::uint32_t bytes, std::uint32_t encoding, std::uint64_t raw) {
  switch (bytes) {
    case 1:
      if (encoding == 6) return ostrel::ALawLinear(static_cast<std::uint8_t>(raw)) / 256.0;
      if (encoding == 7) return ostrel::MuLawLinear(static_cast<std::uint8_t>(raw)) / 256.0;
      return static_cast<double>(raw & 0xFF) - 128;
    case 4:
      if (encoding != 1) return wb::Float32Reference(static_cast<std::uint32_t>(raw));
      return static_cast<std::int32_t>(raw) / 16777216.0;
    case 8:
      if (encoding != 1) return std::bit_cast<double>(raw) * 128;
      return static_cast<double>(static_cast<std::int64_t>(raw)) / 72057594037927936.0;
    default:
      return static_cast<double>(static_cast<std::int64_t>(raw << (64 - 8 * bytes)) >> (64 - 8 * bytes)) /
             static_cast<double>(std::uint64_t{1} << (8 * bytes - 8));
  }
}

TEST(Scan, MatchesPlainCalculationAcrossBlocks) {
  struct Case {
    std::uint32_t bytes, encoding, channels, window;
  };
  // Every layout, mono and stereo, some with more channels; windows of one
  // frame, a few frames, odd lengths that straddle the block edges, and
  // none at all.
  std::vector<Case> cases;
  for (const wave_writer::SampleLayout& layout : wave_writer::kSampleLayouts)
    for (const std::uint32_t channels : {1U, 2U})
      for (const std::uint32_t window : {1U, 7U, 441U, 2205U, 0U})
        cases.push_back({layout.bits / 8U, layout.code, channels, window});
  for (const std::uint32_t channels : {3U, 4U, 5U, 6U, 7U, 8U}) {
    cases.push_back({2, 1, channels, 441});
    cases.push_back({1, 1, channels, 33});
  }
  cases.insert(cases.end(), {{3, 1, 3, 441}, {4, 3, 6, 441}, {8, 3, 5, 7}, {4, 1, 7, 2205}});
  for (const Case& c : cases) {
    const std::uint64_t block = ostrel::kBlockBytes / (c.bytes * c.channels);
    // Windows of one frame never straddle a block edge: a short stretch will do.
    const std::uint64_t frames = c.window == 1 ? 3000 : block + 3000, samples = frames * c.channels;
    std::uint64_t x = 12345 + c.window;
    std::vector<double> v;
    wb::Bytes bytes;
    for (std::uint64_t k = 0; k < samples; ++k) {
      x = x * 6364136223846793005U + 1442695040888963407U;
      // Every size of integer down to 0, both signs, full scale among them;
      // floats of many exponents.
      std::uint64_t raw = x >> (x % 64 < 8 ? 0 : x % 23);
      if (c.bytes == 8 && c.encoding == 3) raw = std::bit_cast<std::uint64_t>(std::ldexp(static_cast<double>(x >> 11), -53 - static_cast<int>(x % 40)) * (x % 2 ? 1 : -1));
      if (x % 64 == 9) raw = ~std::uint64_t{0} << (8 * c.bytes - 1);  // the most negative integer
      for (std::uint32_t b = 0; b < c.bytes; ++b) bytes.push_back(static_cast<std::uint8_t>(raw >> (8 * b)));
      v.push_back(PlainValue(c.bytes, c.encoding, c.bytes == 8 ? raw : raw & ((std::uint64_t{1} << (8 * c.bytes)) - 1)));
    }
    const wb::Layout l{.bytes = c.bytes, .channels = c.channels, .rate = 44100, .window = c.window,
                       .start = 1234, .end = frames - 17, .mag = 3, .encoding = c.encoding};
    const auto want = Reference(v, l);
    // The whole scan in every variant this build and processor has.
    for (const Variant most : {Variant::kScalar, Variant::kPortable, Variant::kAvx2}) {
      ostrel::LimitVariantsForTesting(most);
      const auto got = wb::Scan(bytes, l);
      const std::string name = std::to_string(c.bytes) + " bytes, code " + std::to_string(c.encoding) + ", " +
                               std::to_string(c.channels) + " channels, window " + std::to_string(c.window) +
                               ", variants up to " + std::to_string(static_cast<int>(most));
      EXPECT_EQ(got.first, want.first) << name;
      EXPECT_TRUE(got.second == want.second) << name;
    }
  }
}

TEST(Scan, DecodesEveryEncoding) {
  // Hand-worked values in level units (full scale 128): 16-bit steps are
  // 1/256, 24-bit steps 1/65536, bytes little-endian; 32-bit floats times
  // 128, zero read as the smallest normal exponent (2^-120 after scaling);
  // unsigned 8-bit is the byte less 128; G.711 gives the standard 16-bit linear value / 256
  // (A-law 0x55 is -8 and 0xD5 is +8; 0xAA and 0x2A are +-32256;
  // mu-law 0x00 and 0x80 are -+32124, 0x7F and 0xFF are 0, and the rest
  // inverted is sign, exponent, mantissa: (8m + 132) 2^e - 132); 64-bit floats
  // times 128; 64-bit integers times 2^-56.
  struct Row {
    std::uint32_t bytes, encoding;
    wb::Bytes sample;
    double magnitude;
  };
  const Row rows[] = {
      {.bytes = 2, .encoding = 1, .sample = {0x00, 0x80}, .magnitude = 128},
      {.bytes = 2, .encoding = 1, .sample = {0xFF, 0x7F}, .magnitude = 127.99609375},
      {.bytes = 2, .encoding = 1, .sample = {0xFF, 0xFF}, .magnitude = 0.00390625},
      {.bytes = 2, .encoding = 1, .sample = {0x80, 0x00}, .magnitude = 0.5},
      {.bytes = 3, .encoding = 1, .sample = {0x00, 0x00, 0x80}, .magnitude = 128},
      {.bytes = 3, .encoding = 1, .sample = {0xFF, 0xFF, 0x7F}, .magnitude = 127 + 255 / 256.0 + 255 / 65536.0},
      {.bytes = 3, .encoding = 1, .sample = {0x80, 0x80, 0xFF}, .magnitude = 0x7F80 / 65536.0},  // -0x7F80
      {.bytes = 4, .encoding = 1, .sample = {0x00, 0x00, 0x00, 0x80}, .magnitude = 128},
      {.bytes = 4, .encoding = 1, .sample = {0x00, 0x00, 0x01, 0x00}, .magnitude = 1 / 256.0},
      {.bytes = 4, .encoding = 3, .sample = {0x00, 0x00, 0x80, 0xBF}, .magnitude = 128},  // -1.0
      {.bytes = 4, .encoding = 3, .sample = {0x00, 0x00, 0x00, 0x40}, .magnitude = 256},  // 2.0
      {.bytes = 4, .encoding = 3, .sample = {0x00, 0x00, 0x00, 0x80}, .magnitude = 0x1p-120},  // -0.0
      {.bytes = 1, .encoding = 1, .sample = {0x00}, .magnitude = 128},
      {.bytes = 1, .encoding = 1, .sample = {0xFF}, .magnitude = 127},
      {.bytes = 1, .encoding = 1, .sample = {0x80}, .magnitude = 0},
      {.bytes = 1, .encoding = 6, .sample = {0x55}, .magnitude = 8 / 256.0},
      {.bytes = 1, .encoding = 6, .sample = {0xD5}, .magnitude = 8 / 256.0},
      {.bytes = 1, .encoding = 6, .sample = {0xAA}, .magnitude = 32256 / 256.0},
      {.bytes = 1, .encoding = 6, .sample = {0x2A}, .magnitude = 32256 / 256.0},
      {.bytes = 1, .encoding = 7, .sample = {0x00}, .magnitude = 32124 / 256.0},
      {.bytes = 1, .encoding = 7, .sample = {0x80}, .magnitude = 32124 / 256.0},
      {.bytes = 1, .encoding = 7, .sample = {0x7F}, .magnitude = 0},
      {.bytes = 1, .encoding = 7, .sample = {0xFF}, .magnitude = 0},
      {.bytes = 1, .encoding = 7, .sample = {0xFE}, .magnitude = 8 / 256.0},    // (1 * 8 + 132) - 132
      {.bytes = 1, .encoding = 7, .sample = {0xEF}, .magnitude = 132 / 256.0},  // 132 * 2 - 132
      {.bytes = 8, .encoding = 3, .sample = Pack(8, {0x3FF0000000000000}), .magnitude = 128},    // 1.0
      {.bytes = 8, .encoding = 3, .sample = Pack(8, {-0x4020000000000000}), .magnitude = 64},   // -0.5
      {.bytes = 8, .encoding = 3, .sample = Pack(8, {0}), .magnitude = 0},
      {.bytes = 8, .encoding = 1, .sample = Pack(8, {INT64_MIN}), .magnitude = 128},
      {.bytes = 8, .encoding = 1, .sample = Pack(8, {INT64_MAX}), .magnitude = 128},  // rounds to 2^63
      {.bytes = 8, .encoding = 1, .sample = Pack(8, {-(std::int64_t{1} << 56)}), .magnitude = 1},
  };
  for (const Row& r : rows) {
    const auto [peaks, text] = wb::Scan(r.sample, {.bytes = r.bytes, .window = 1, .mag = 1, .encoding = r.encoding});
    EXPECT_EQ(peaks.channel[0], r.magnitude) << r.bytes << " " << r.encoding << " " << int{r.sample[0]};
    EXPECT_EQ(text, "0.001\t1\t" + std::string(static_cast<std::size_t>(r.magnitude), '.') + "\n");
  }
}

TEST(Scan, NanNeverRaisesAPeak) {
  // 0.5 and a NaN in 64-bit floats: the peak is 0.5 of full scale. The NaN
  // adds NaN to its window's sum, which prints no dots.
  const Bytes samples = Pack(8, {0x3FE0000000000000, 0x7FF8000000000000});
  const auto [peaks, text] = wb::Scan(samples, {.bytes = 8, .window = 1, .integer = false});
  EXPECT_EQ(peaks.channel[0], 64);
  EXPECT_EQ(text, "0.001\t1\t" + std::string(64, '.') + "\n0.002\t2\t\n");
}

TEST(Scan, NothingDeliveredLeavesNoPeak) {
  // A float stream whose samples never arrive: no frame was seen, so there
  // is no peak at all, not that of a silent sample (2^-120).
  const auto [peaks, text] = wb::Scan(Bytes(), {.bytes = 4, .end = 100, .integer = false});
  EXPECT_EQ(peaks, ostrel::Peaks{});
  EXPECT_EQ(text, "");
}

TEST(Scan, IntegerWindowsTooLongForAnExactSum) {
  // 32-bit stereo windows of over 2^21 frames are summed one sample at a
  // time: left -2^31 (128 level units), right 2^30 + 1 (64 + 2^-24), so the
  // level is 96 + 2^-25, and the one line stands at frame 2^20 + 1.
  constexpr std::uint32_t kWindow = (1U << 21) + 1;
  std::vector<std::int64_t> samples;
  for (std::uint32_t k = 0; k < kWindow; ++k) samples.insert(samples.end(), {INT32_MIN, (1 << 30) + 1});
  EXPECT_EQ(wb::Scan(Pack(4, samples), {.bytes = 4, .channels = 2, .rate = kWindow, .window = kWindow}),
            std::pair(ostrel::Peaks{128, 64 + 0x1p-24}, "0.50\t" + std::string(96, '.') + "\n"));
}

TEST(Scan, FloatWindowSumsInFrameOrder) {
  // In frame order the sum is 1 - 2^-53 and each later 2^-55 is lost in
  // rounding (as is 2^-120, a zero sample, at the start); any other order,
  // or the exact sum, reaches 1 and a dot.
  std::vector<std::int64_t> words(8, 0);
  for (const double v : {1 - 0x1p-24, 0x1p-24 - 0x1p-48, 0x1p-48 - 0x1p-53})
    words.push_back(std::bit_cast<std::uint32_t>(static_cast<float>(v / 128)));
  words.resize(32, std::bit_cast<std::uint32_t>(0x1p-62F));
  EXPECT_EQ(wb::Scan(Pack(4, words), {.bytes = 4, .window = 32, .mag = 32, .integer = false}).second, "0.02\t\n");
  EXPECT_EQ(wb::Scan(Pack(4, words), {.bytes = 4, .channels = 2, .window = 16, .mag = 32, .integer = false}).second,
            "0.008\t\n");
  // The same across a block boundary: the three large samples are the last
  // three frames of the first block, inside the window of 40 that spans the
  // boundary (blocks hold a multiple of 8 frames, so no window ends there).
  const std::size_t block = ostrel::kBlockBytes / 4;
  std::vector<std::int64_t> straddling(block + 104, 0);
  std::copy(words.begin() + 8, words.end(), straddling.begin() + static_cast<std::ptrdiff_t>(block) - 3);
  const std::string text = wb::Scan(Pack(4, straddling), {.bytes = 4, .window = 40, .mag = 40, .integer = false}).second;
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), (block + 104) / 40);
  EXPECT_EQ(text.find("\t."), std::string::npos) << text.substr(0, 100);
}

TEST(Scan, ShortReadEndsAtTheFirstMissingFrame) {
  // 16-bit mono, every sample 256 (one dot): a block arrives short,
  // with 4510 whole frames and half of the next.
  const std::size_t block = ostrel::kBlockBytes / 2;
  std::vector<std::int64_t> samples(block + 10000, 256);
  samples[block + 4505] = 512;    // delivered, in the last part-window
  samples[block + 4600] = 32767;  // not delivered
  const auto [peaks, text] = wb::Scan(Pack(2, samples), {.fail_at = 2 * (block + 4510) + 1});
  EXPECT_EQ(static_cast<std::size_t>(std::count(text.begin(), text.end(), '\n')), (block + 4510) / 50);
  // The last whole window ends at the last multiple of 50 delivered and
  // stands 25 frames before it; at 1000 frames a second its time is that
  // frame over 1000 as a float (for blocks of 65,536 frames, 69.9749985,
  // which prints as 69.97).
  const std::size_t stands = (block + 4510) / 50 * 50 - 25;
  std::array<char, 32> want{};
  std::snprintf(want.data(), want.size(), "\n%.2f\t.\n",
                static_cast<double>(static_cast<float>(stands) / 1000.0F));
  EXPECT_EQ(text.substr(text.size() - std::strlen(want.data())), want.data());
  EXPECT_EQ(peaks.channel[0], 2);
}

TEST(FormatFixed, MatchesPrintf) {
  std::string mismatches;
  const auto check = [&](float f) {
    char got[64], want[64];
    for (int d = 0; d <= 3; ++d) {
      *ostrel::FormatFixed(got, f, d) = '\0';
      std::snprintf(want, sizeof want, "%.*f", d, static_cast<double>(f));
      // glibc's printf, whose bytes the tool prints on every system, signs
      // a NaN; mingw-w64's does not.
      if (std::isnan(f)) std::snprintf(want, sizeof want, "%snan", std::signbit(f) ? "-" : "");
      if (std::strcmp(got, want) != 0 && mismatches.size() < 200) mismatches += std::string(got) + "!=" + want + " ";
    }
  };
  for (std::uint64_t w = 0; w < (std::uint64_t{1} << 32); w += 65521) check(std::bit_cast<float>(std::uint32_t(w)));
  for (int k = 0; k < 200000; ++k) check(static_cast<float>(k) / 1024);  // every tie below 195
  // Every power of ten a float reaches below 2^64, where the integer part
  // gains a digit, with its neighbouring floats and the values that round
  // up to it at each number of decimals (9.5, 9.95, 9.995, 9.9995 times a
  // power of ten).
  for (double p = 1; p < 0x1p64; p *= 10) {
    for (const double below : {1.0, 0.95, 0.995, 0.9995, 0.99995}) {
      const auto f = static_cast<float>(p * below);
      for (const float g : {f, std::nextafter(f, 0.0F), std::nextafter(f, 1e30F)}) check(g);
    }
  }
  EXPECT_EQ(mismatches, "");
}

}  // namespace
