#include <bit>

#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Pack;

TEST(Scan, DecodesEveryByteInBothChannels) {
  const std::pair<Bytes, double> cases[] = {
      {{0x00, 0x80}, 128}, {{0xFF, 0x7F}, 127.99609375}, {{0xFF, 0xFF}, 0.00390625}, {{0x00, 0x01}, 1},
      {{0x80, 0x00}, 0.5}, {{0x00, 0x00, 0x80}, 128}, {{0xFF, 0xFF, 0x7F}, 127 + 255 / 256.0 + 255 / 65536.0},
      {{0x80, 0x80, 0x00}, 128 / 256.0 + 128 / 65536.0}, {{0x80, 0x00, 0x00}, 128 / 65536.0},
      {{0x80, 0x80, 0xFF}, 1 - 128 / 256.0 - 128 / 65536.0},  // -1 + 0.5 + 0.00195...
  };
  for (const auto& [sample, magnitude] : cases) {
    const auto width = static_cast<std::uint32_t>(sample.size());
    Bytes left = sample, right(width);
    left.resize(2 * width);
    right.insert(right.end(), sample.begin(), sample.end());
    const auto l = wb::Scan(left, {.bytes = width, .channels = 2}).first;
    const auto r = wb::Scan(right, {.bytes = width, .channels = 2}).first;
    EXPECT_EQ(std::tuple(l.left, l.right, r.left, r.right), std::tuple(magnitude, 0.0, 0.0, magnitude));
    EXPECT_EQ(wb::Scan(sample, {.bytes = width}).first.left, magnitude);  // mono
  }
}

TEST(Scan, WindowLevels) {
  std::vector<std::int64_t> alternating, left64;  // +128/-128; stereo 64 (level units) and silence
  for (int k = 0; k < 50; ++k) alternating.push_back(k % 2 != 0 ? -128 : 128);
  for (int k = 0; k < 50; ++k) left64.insert(left64.end(), {64 * 256, 0});
  const Bytes ones = Pack(2, std::vector<std::int64_t>(50, 256)), alt = Pack(2, alternating);
  const std::tuple<Bytes, std::uint32_t, double, std::size_t> cases[] = {
      {ones, 1, 1, 1}, {ones, 1, 0.5, 0}, {alt, 1, 1.99, 0}, {alt, 1, 2, 1}, {Pack(2, left64), 2, 1, 32}};
  for (const auto& [frames, channels, mag, dots] : cases)
    EXPECT_EQ(wb::Scan(frames, {.channels = channels, .mag = mag}).second, "0.03\t" + std::string(dots, '.') + "\n");
}

TEST(Scan, LinePositionsAndTimeColumns) {
  const std::tuple<std::uint32_t, std::uint32_t, std::uint64_t, const char*> cases[] = {
      {44100, 2205, 0, "0.03\t\n"},          // frame 1103
      {48000, 1200, 0, "0.01\t\n"},          // exactly 0.025 s: two decimals
      {48000, 1199, 0, "0.013\t\n"},         // frame 600: 0.0125000002 as a float
      {44100, 441, 0, "0.005\t\n"},          // frame 221
      {48000, 49, 0, "0.001\t\n"},           // frame 25, just over 0.001 s
      {48000, 48, 0, "0.001\t24\t\n"},       // exactly 0.001 s: the frame number too
      {44100, 44, 0, "0.000\t22\t\n"},
      {48000, 47, 1000, "0.021\t1024\t\n"},  // 1000 + 47 - 23
      {1000, 50, 1000, "1.02\t\n"},          // 1025 / 1000 is 1.02499998 as a float
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
  for (const auto& [level, dots] : std::initializer_list<std::pair<double, std::size_t>>{
           {0.999, 0}, {1.0, 1}, {3.7, 3}, {1e300, 32768}})
    EXPECT_EQ(line(0, level, 0.05), "0.00\t" + std::string(dots, '.') + "\n") << level;
  EXPECT_EQ(line(16777219, 0, 0.01), "16777.221\t\n");  // 2^24 + 3 is 2^24 + 4 as a float
}

// The lines and peaks the plain way: frame by frame, doubles summed left
// before right, the time column by printf.
std::pair<ostrel::Peaks, std::string> Reference(const std::vector<double>& v, const wb::Layout& l) {
  std::pair<ostrel::Peaks, std::string> r;
  double g = 0;
  for (std::uint64_t i = l.start, n = 1; i < l.end; ++i, ++n) {
    r.first.left = std::max(r.first.left, std::fabs(v[2 * i]));
    r.first.right = std::max(r.first.right, std::fabs(v[2 * i + 1]));
    g = g + std::fabs(v[2 * i]) + std::fabs(v[2 * i + 1]);
    if (n < l.window) continue;
    const auto position = static_cast<std::int64_t>(i + 1 - l.window / 2);
    const double seconds = static_cast<double>(l.window) / l.rate;
    char column[64];
    std::snprintf(column, sizeof column, seconds >= 0.025 ? "%.2f\t" : seconds > 0.001 ? "%.3f\t" : "%.3f\t%i\t",
                  static_cast<double>(static_cast<float>(position) / static_cast<float>(l.rate)),
                  static_cast<int>(position));
    r.second += column + std::string(static_cast<std::size_t>(g * 0.5 / l.window * l.mag), '.') + "\n";
    g = 0;
    n = 0;
  }
  return r;
}

TEST(Scan, MatchesPlainCalculationAcrossBlocks) {
  // Stereo frames 1234 to 9875 span three 4096-frame blocks; odd windows
  // straddle the block boundaries.
  const std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, double> cases[] = {
      {2, 44100, 441, 3}, {2, 48000, 1, 1},      {3, 44100, 441, 3}, {3, 44100, 2205, 1},
      {3, 48000, 1, 1},   {4, 48000, 33, 5},     {4, 44100, 1103, 20}, {4, 48000, 1, 1}};
  for (const auto& [bytes, rate, window, mag] : cases) {
    std::uint32_t x = 12345;
    std::vector<double> v;
    std::vector<std::int64_t> raw;
    for (int k = 0; k < 2 * 10000; ++k) {
      x = x * 1664525 + 1013904223;
      const std::int32_t s = static_cast<std::int32_t>(x) >> (bytes == 2 ? 16 : 8);
      const float f = std::ldexp(static_cast<float>(s) + 0.5F, -23 + static_cast<int>(x % 4));
      v.push_back(bytes == 4 ? f * 128.0 : s / (bytes == 2 ? 256.0 : 65536.0));
      raw.push_back(bytes == 4 ? std::bit_cast<std::uint32_t>(f) : s);
    }
    const wb::Layout l{.bytes = bytes, .channels = 2, .rate = rate, .window = window,
                       .start = 1234, .end = 9876, .mag = mag, .integer = false};
    EXPECT_EQ(wb::Scan(Pack(static_cast<int>(bytes), raw), l), Reference(v, l)) << bytes << " " << window;
  }
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
  // The same across a block boundary: the window of frames 4080 to 4119
  // reaches 1 - 2^-53 at frame 4095, the last of the first block.
  std::vector<std::int64_t> straddling(4200, 0);
  std::copy(words.begin() + 8, words.end(), straddling.begin() + 4093);
  const std::string text = wb::Scan(Pack(4, straddling), {.bytes = 4, .window = 40, .mag = 40, .integer = false}).second;
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 105);
  EXPECT_EQ(text.find("\t."), std::string::npos) << text;
}

TEST(Scan, ShortReadEndsAtTheFirstMissingFrame) {
  std::vector<std::int64_t> samples(10000, 256);
  samples[4505] = 512;                       // delivered, in the last part-window
  samples[4600] = samples[9000] = 32767;     // in the short block; in one read after it
  // 4510 whole frames and half of the next arrive: the second block is short.
  const auto [peaks, text] = wb::Scan(Pack(2, samples), {.fail_at = 2 * 4510 + 1});
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 4510 / 50);
  EXPECT_EQ(text.substr(text.size() - 8), "\n4.47\t.\n");  // frame 4475: 4.47499990 as a float
  EXPECT_EQ(peaks.left, 2);
}

TEST(FormatFixed, MatchesPrintf) {
  std::string mismatches;
  const auto check = [&](float f) {
    char got[64], want[64];
    for (int d = 0; d <= 3; ++d) {
      *ostrel::FormatFixed(got, f, d) = '\0';
      std::snprintf(want, sizeof want, "%.*f", d, static_cast<double>(f));
      if (std::strcmp(got, want) != 0 && mismatches.size() < 200) mismatches += std::string(got) + "!=" + want + " ";
    }
  };
  for (std::uint64_t w = 0; w < (std::uint64_t{1} << 32); w += 65521) check(std::bit_cast<float>(std::uint32_t(w)));
  for (int k = 0; k < 200000; ++k) check(static_cast<float>(k) / 1024);  // every tie below 195
  EXPECT_EQ(mismatches, "");
}

}  // namespace
