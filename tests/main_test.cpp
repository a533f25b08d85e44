#include <bit>
#include <cmath>

#include "arguments.hpp"
#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Lines;
using wb::Pack;
using wb::Wave;

using wb::kBanner;
const std::string kUsage =
    "This program will print a basic waveform image\n"
    "Run with command line argument 1 being the name of the wavefile\n"
    "Arguments 2 and 3 are the start/stop times in seconds to scan within the file.\n"
    "Argument 4 (optional) is resolution in samples.  Default = samplerate / 20 \n"
    "Argument 5 (optional) is magnification: Above 1 magnifies (256 is the max).  Between 0 and 1 zooms out.\n";
const std::string k48 = "Showing values above -48 dB\n";

std::string File(const Wave& w) { return wb::Write(w.Build()); }
Bytes Repeat(std::size_t n, std::int64_t v) { return Pack(2, std::vector<std::int64_t>(n, v)); }

// 100 frames of 16-bit mono at 1000 per second, every sample 256: level 1,
// peak 20 log10(1/128) = -42.1 dB; the default window is 50 frames.
const std::string kPeak = "Peak over interval -42.1 dB\n", kNone = "Peak over interval -inf dB\n";
const std::string kBadTime = "Stop or start time not set correctly\n";
const std::string kBadLayout = "Unrecognized bit or channel configuration\n";
const std::string& One() {
  static const std::string one = File(Wave{.samples = Repeat(100, 256)});
  return one;
}
const std::string kTwo = Lines(2, 1) + k48 + kPeak;

struct Case {
  std::vector<std::string> args;
  std::string out;
  int status;
};
void Check(std::initializer_list<Case> cases) {
  for (const Case& c : cases)
    EXPECT_EQ(wb::Run(c.args), std::pair(kBanner + c.out, c.status)) << testing::PrintToString(c.args);
}

TEST(Driver, Usage) {
  Check({
      {.args = {}, .out = kUsage, .status = 1},
      {.args = {One()}, .out = kUsage, .status = 1},
      {.args = {One(), "0"}, .out = kUsage, .status = 1},
  });
}

TEST(Driver, FileErrors) {
  const std::string missing = testing::TempDir() + "missing";
  Check({
      {.args = {missing, "0", "1"}, .out = "The file called " + missing + " cannot be found!\n", .status = 2},
      {.args = {File(Wave{.before_fmt = "x"}), "0", "1"}, .out = "Can't find format chunk in wave file!\n", .status = 2},
      {.args = {File(Wave{.before_data = std::string(15000, 'x')}), "0", "1"},
       .out = "Can't find data block in wave file!\n",
       .status = 2},
  });
}

TEST(Driver, Times) {
  Check({
      {.args = {One(), "0", "1"}, .out = kTwo, .status = 0},
      {.args = {One(), "-0", "0.1"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1e16"}, .out = kTwo, .status = 0},  // 1e16 * 1000 is still below 2^64
      {.args = {One(), "2", "1"}, .out = kBadTime, .status = 1},
      {.args = {One(), "0.05", "0.05"}, .out = kBadTime, .status = 1},
      {.args = {One(), "-0.0001", "1"}, .out = kBadTime, .status = 1},
      {.args = {One(), "nan", "1"}, .out = kBadTime, .status = 1},
      {.args = {One(), "0", "inf"}, .out = kBadTime, .status = 1},
      {.args = {One(), "0", "1e17"}, .out = kBadTime, .status = 1},
      {.args = {One(), "1e17", "1"}, .out = kBadTime, .status = 1},
      {.args = {File(Wave{.rate = 0, .samples = Bytes(400)}), "0", "1"}, .out = kBadTime, .status = 1},
      // 0.7 s at 44,100 per second is frame 30870 in single precision (30869 in double).
      {.args = {File(Wave{.rate = 44100, .samples = Bytes(62000)}), "0.7", "0.701", "44"},
       .out = "0.700\t30892\t\n" + k48 + kNone,
       .status = 0},
      {.args = {One(), "5", "6"}, .out = k48 + kNone, .status = 0},
      {.args = {File(Wave{.channels = 2, .samples = Bytes(400)}), "5", "6"},
       .out = k48 + "Peaks over interval -inf L -inf R\n",
       .status = 0},
      // A window longer than the interval: no line.
      {.args = {File(Wave{.rate = 10, .samples = Repeat(100, 256)}), "0", "10"}, .out = k48 + kPeak, .status = 0},
  });
}

TEST(Driver, Layouts) {
  Check({
      {.args = {File(Wave{.channels = 3, .bits = 24, .samples = Bytes(900)}), "0", "1"},
       .out = Lines(2, 0) + k48 + "Peaks over interval -inf -inf -inf dB\n",
       .status = 0},
      {.args = {File(Wave{.channels = 9, .samples = Bytes(900)}), "0", "1"}, .out = kBadLayout, .status = 1},
      {.args = {File(Wave{.bits = 40, .samples = Bytes(500)}), "0", "1"}, .out = kBadLayout, .status = 1},
      {.args = {File(Wave{.bits = 64, .format = 6, .samples = Bytes(800)}), "0", "1"}, .out = kBadLayout, .status = 1},
      {.args = {File(Wave{.channels = 0, .samples = Bytes(400)}), "0", "1"}, .out = kBadLayout, .status = 1},
      {.args = {File(Wave{.bits = 4, .samples = Bytes(400)}), "0", "1"}, .out = kBadLayout, .status = 1},
      {.args = {File(Wave{.channels = 4, .samples = Repeat(400, 256)}), "0", "1"},
       .out = Lines(2, 1) + k48 + "Peaks over interval -42.1 -42.1 -42.1 -42.1 dB\n",
       .status = 0},
      {.args = {File(Wave{.bits = 8, .samples = Bytes(100, 0x80)}), "0", "1"}, .out = Lines(2, 0) + k48 + kNone, .status = 0},
      {.args = {File(Wave{.samples = Pack(2, {0, 32767, -32767})}), "0", "1"},
       .out = k48 + "Peak over interval -0.0 dB\n",
       .status = 0},
      {.args = {File(Wave{.samples = Pack(2, {0, -32768, 32767})}), "0", "1"},
       .out = k48 + "Peak over interval 0.0 dB\n",
       .status = 0},
      // Silent floats: zero reads as 2^-120 of full scale, -764.6 dB.
      {.args = {File(Wave{.bits = 32, .format = 3, .samples = Bytes(400)}), "0", "1"},
       .out = Lines(2, 0) + k48 + "Peak over interval -764.6 dB\n",
       .status = 0},
  });
}

// Times are read as glibc's strtod reads them, whichever C library the
// build has: hexadecimal, infinities and NaNs, values out of range, blanks
// ahead and text after; and no number at all is +0 (mingw-w64's strtod
// gives -0 after a lone sign). Compared bit for bit, so -0 is not +0.
TEST(Arguments, TimesReadAsGlibcReadsThem) {
  const float inf = INFINITY, nan = NAN;
  struct Row {
    const char* text;
    float seconds;
  };
  const Row rows[] = {
      {.text = "0x1.8p1", .seconds = 3},     {.text = "inf", .seconds = inf},
      {.text = "-Infinity", .seconds = -inf}, {.text = "1e400", .seconds = inf},
      {.text = "-1e400", .seconds = -inf},   {.text = "1e-400", .seconds = 0},
      {.text = "-1e-400", .seconds = -0.0F}, {.text = "-0", .seconds = -0.0F},
      {.text = "nan", .seconds = nan},       {.text = "nan(123)", .seconds = nan},
      {.text = " \t1.5", .seconds = 1.5},    {.text = "1,5", .seconds = 1},
      {.text = "2.5abc", .seconds = 2.5},    {.text = "0x", .seconds = 0},
      {.text = "1e+", .seconds = 1},         {.text = "", .seconds = 0},
      {.text = "-", .seconds = 0},           {.text = "-x", .seconds = 0},
      {.text = "+", .seconds = 0},
  };
  for (const Row& r : rows) {
    const std::vector<const char*> args = {"f", r.text, "1"};
    const float got = ostrel::ParseArguments(args)->start_seconds;
    if (std::isnan(r.seconds)) {
      EXPECT_TRUE(std::isnan(got)) << r.text;
    } else {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(got), std::bit_cast<std::uint32_t>(r.seconds)) << '"' << r.text << '"';
    }
  }
}

TEST(Driver, Resolution) {
  Check({
      {.args = {One(), "0", "1", "0"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1", "-5"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1", "abc"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1", "1001"}, .out = kTwo, .status = 0},
      // The resolution is read as a 64-bit number, saturating, and cut to its
      // low 32 bits as a signed int, whatever the size of long: 2^32 + 100
      // and -2^32 + 100 are windows of 100 frames (one line at 0.05 s);
      // 2^63 + 100 saturates to 2^63 - 1, whose low bits are -1, the default.
      {.args = {One(), "0", "1", "4294967396"}, .out = "0.05\t.\n" + k48 + kPeak, .status = 0},
      {.args = {One(), "0", "1", "-4294967196"}, .out = "0.05\t.\n" + k48 + kPeak, .status = 0},
      {.args = {One(), "0", "1", "9223372036854775908"}, .out = kTwo, .status = 0},
      {.args = {File(Wave{.samples = Repeat(2000, 256)}), "0", "2", "1000"}, .out = "0.50\t.\n1.50\t.\n" + k48 + kPeak, .status = 0},
      {.args = {One(), "0", "0.1", "20", "2", "x"},
       .out = "0.010\t.\n0.030\t.\n0.050\t.\n0.070\t.\n0.090\t.\n" + k48 + kPeak,
       .status = 0},
  });
}

TEST(Driver, Magnification) {
  // Level 1 magnified: dots, and the threshold -20 log10(256 m) dB.
  const auto mag = [&](const char* m, int dots, const char* db) {
    return Case{.args = {One(), "0", "1", "0", m},
                .out = Lines(2, dots) + "Showing values above " + db + " dB\n" + kPeak,
                .status = 0};
  };
  Check({mag("300", 1, "-48"), mag("256", 256, "-96"), mag("0.5", 0, "-42"), mag("2", 2, "-54"), mag("-2", 1, "-48"),
         mag("0", 1, "-48"), mag("nan", 1, "-48")});
}

TEST(Driver, SinglePrecisionTimesAndDoubleSums) {
  // A time becomes a frame through a product rounded to float, and a window's
  // level is a double sum rounded at each step. Kept wider (x87 registers),
  // both come out otherwise; the expected values are worked here through
  // volatile variables, which every compiler rounds to their type.
  volatile float seconds = 2.3F, rate = 44100.0F;
  volatile float product = seconds * rate;
  // 2.3F * 44100 is 101429.9979; the nearest float is 101430.
  ASSERT_EQ(static_cast<std::uint64_t>(product), 101430U);
  // Windows of 8 frames (under a millisecond, so the line shows the middle
  // frame) from 2.3 s to 2.3002 s, frame 101438: one window, middle 101434.
  EXPECT_EQ(wb::Run({File(Wave{.rate = 44100, .samples = Bytes(204000)}), "2.3", "2.3002", "8"}),
            std::pair(kBanner + "2.300\t101434\t\n" + k48 + "Peak over interval -inf dB\n", 0));

  // A window of 12 frames of 64-bit floats, magnitudes in level units (x 128)
  // with u = 2^-52: 4 + 4u, then 2u, 4u, 2u, 4u, 2u, then 8 - 24u and five
  // zeros. Added in frame order in double, each 2u is a tie that rounds up
  // to even (4 + 8u, 4 + 16u, 4 + 24u), and the window adds up to exactly 12:
  // level 1, one dot. The exact sum, 12 - 6u, is below 12 even rounded to
  // double, so wider or reordered sums give no dot.
  const double u = std::ldexp(1.0, -52);
  const std::vector<double> magnitudes = {4 + 4 * u, 2 * u, 4 * u, 2 * u, 4 * u, 2 * u, 8 - 24 * u, 0, 0, 0, 0, 0};
  volatile double sum = 0;
  for (const double m : magnitudes) sum = sum + m;
  ASSERT_EQ(sum, 12.0);
  std::vector<std::int64_t> words;
  for (std::size_t k = 0; k < magnitudes.size(); ++k)
    words.push_back(std::bit_cast<std::int64_t>((k % 2 == 0 ? 1 : -1) * magnitudes[k] / 128));
  // The middle frame, 6, is at 0.006 s; 20 log10((8 - 24u) / 128) = -24.08 dB.
  EXPECT_EQ(wb::Run({File(Wave{.bits = 64, .format = 3, .samples = Pack(8, words)}), "0", "0.0125", "12"}),
            std::pair(kBanner + "0.006\t.\n" + k48 + "Peak over interval -24.1 dB\n", 0));
}

// The built tool: its standard output and exit status.
std::pair<std::string, int> Tool(const std::vector<std::string>& args) {
  const wb::Result r = wb::Tool(args);
  return {r.out, r.status};
}

TEST(Binary, UsageAndTypicalRun) {
  EXPECT_EQ(Tool({}), std::pair(kBanner + kUsage, 1));
  // Two seconds of 16-bit stereo at 44,100: left at half scale (level 64),
  // right at minus a quarter (level 32), so every window has level 48.
  std::vector<std::int64_t> frames;
  for (int i = 0; i < 88200; ++i) frames.insert(frames.end(), {16384, -8192});
  const std::string take = File(Wave{.channels = 2, .rate = 44100, .samples = Pack(2, frames)});
  EXPECT_EQ(Tool({take, "0", "2"}), std::pair(kBanner + Lines(40, 48) + k48 + "Peaks over interval -6.0 L -12.0 R\n", 0));
}

TEST(Driver, FloatInfinityAndNanPatternsFinishWithCappedRows) {
  std::vector<std::int64_t> samples;
  for (int k = 0; k < 255; ++k) samples.insert(samples.end(), {0x7F800000, 0xFFFFFFFF, 0x7FC00000, 0xFF800000});
  // The largest magnitude, (2 - 2^-23) 2^128 of full scale, is 129 * 6.0206 = 776.7 dB.
  const Wave w{.bits = 32, .format = 3, .rate = 1020, .samples = Pack(4, samples)};
  EXPECT_EQ(wb::Run({wb::Write(w.Build()), "0", "1"}).first,
            kBanner + wb::Lines(20, 32768) + "Showing values above -48 dB\nPeak over interval 776.7 dB\n");
}

TEST(Driver, FloatIntegerPcmFourByteSamplesDecodeAsIntegers) {
  // 0x3F800000 as a float is 1.0 (0.0 dB); as an integer 1065353216 / 2^31
  // = 0.496 of full scale (-6.1 dB).
  struct Case {
    int format, subformat;
    const char* db;
  };
  for (const auto& [format, subformat, db] :
       {Case{.format = 1, .subformat = 1, .db = "-6.1"}, Case{.format = 0xFFFE, .subformat = 1, .db = "-6.1"},
        Case{.format = 3, .subformat = 1, .db = "0.0"}, Case{.format = 0xFFFE, .subformat = 3, .db = "0.0"},
        Case{.format = 0xFFFE, .subformat = 0, .db = "0.0"}}) {
    const Wave w{.bits = 32, .format = format, .subformat = subformat, .samples = Pack(4, {0x3F800000})};
    EXPECT_EQ(wb::Run({wb::Write(w.Build()), "0", "1"}).first,
              kBanner + "Showing values above -48 dB\nPeak over interval " + std::string(db) + " dB\n")
        << format << " " << subformat;
  }
  // The same stereo audio as 16-bit and as 32-bit integers (plain and extensible) gives the same output.
  std::vector<std::int64_t> s16{-32768, 32767}, s32;
  for (std::uint32_t x = 99; s16.size() < 2040;) s16.push_back(static_cast<std::int16_t>((x = x * 1664525 + 1013904223) >> 16));
  for (const std::int64_t v : s16) s32.push_back(v * 65536);
  const auto run = [](const Wave& w) { return wb::Run({wb::Write(w.Build()), "0", "1", "0", "4"}).first; };
  const std::string as16 = run(Wave{.channels = 2, .rate = 1020, .samples = Pack(2, s16)});
  EXPECT_TRUE(as16.ends_with("Peaks over interval 0.0 L -0.0 R\n")) << as16;
  EXPECT_EQ(run(Wave{.channels = 2, .bits = 32, .rate = 1020, .samples = Pack(4, s32)}), as16);
  EXPECT_EQ(run(Wave{.channels = 2, .bits = 32, .format = 0xFFFE, .rate = 1020, .samples = Pack(4, s32)}), as16);
}

TEST(Driver, ThreeToEightChannels) {
  // 16-bit, channel c (from 0) holding 256 (c + 1) throughout: c + 1 level
  // units. A line's level is the mean over the channels, (C + 1) / 2; each
  // channel's peak is 20 log10((c + 1) / 128) dB.
  for (std::int64_t channels = 3; channels <= 8; ++channels) {
    std::vector<std::int64_t> samples;
    for (int frame = 0; frame < 100; ++frame)
      for (std::int64_t c = 0; c < channels; ++c) samples.push_back(256 * (c + 1));
    std::string peaks = "Peaks over interval";
    for (std::int64_t c = 0; c < channels; ++c) {
      char db[16];
      std::snprintf(db, sizeof db, " %.1f", static_cast<double>(static_cast<float>(20 * std::log10((c + 1) / 128.0))));
      peaks += db;
    }
    EXPECT_EQ(wb::Run({File(Wave{.channels = channels, .samples = Pack(2, samples)}), "0", "1"}),
              std::pair(kBanner + Lines(2, static_cast<int>(channels + 1) / 2) + k48 + peaks + " dB\n", 0))
        << channels;
  }
}

TEST(Driver, OddWidthsSitLeftJustifiedInTheNextWholeByte) {
  // 100 frames at 1000 per second: two windows of 50. The samples alternate
  // 96 and -32 level units (a 12-bit 1536 and -512, a 20-bit 0x60000 and
  // -0x20000, shifted up by the 4 unused low bits), so every line has 64
  // dots and the peak is 20 log10(96 / 128) = -2.5 dB. A second channel
  // holding -64 units has its peak at 20 log10(64 / 128) = -6.0 dB.
  std::vector<std::int64_t> mono12, stereo12, mono20;
  for (int frame = 0; frame < 100; ++frame) {
    const bool even = frame % 2 == 0;
    mono12.push_back((even ? 1536 : -512) * 16);
    stereo12.insert(stereo12.end(), {(even ? 1536 : -512) * 16, -1024 * 16});
    // The lowest used bit set too: it weighs 1/4096 of a unit, no dot.
    mono20.push_back((even ? 0x60001 : -0x20000) * 16);
  }
  struct Case {
    const char* name;
    Wave wave;
    std::string out;
    int status;
  };
  const std::string mono_peak = "Peak over interval -2.5 dB\n";
  const Case cases[] = {
      {.name = "12-bit mono", .wave = {.bits = 12, .samples = Pack(2, mono12)}, .out = Lines(2, 64) + k48 + mono_peak,
       .status = 0},
      {.name = "12-bit stereo",
       .wave = {.channels = 2, .bits = 12, .samples = Pack(2, stereo12)},
       .out = Lines(2, 64) + k48 + "Peaks over interval -2.5 L -6.0 R\n",
       .status = 0},
      {.name = "20-bit mono", .wave = {.bits = 20, .samples = Pack(3, mono20)}, .out = Lines(2, 64) + k48 + mono_peak,
       .status = 0},
      // 5 and 9 bytes a sample: no such layout.
      {.name = "33-bit", .wave = {.bits = 33, .samples = Bytes(500)}, .out = "Unrecognized bit or channel configuration\n",
       .status = 1},
      {.name = "70-bit", .wave = {.bits = 70, .samples = Bytes(900)}, .out = "Unrecognized bit or channel configuration\n",
       .status = 1},
  };
  for (const Case& c : cases) EXPECT_EQ(wb::Run({File(c.wave), "0", "1"}), std::pair(kBanner + c.out, c.status)) << c.name;
}

// The argument rules on their own, without a file: what each argument
// gives, the order of the checks, and what the scan is handed.
TEST(Arguments, SettleTheScan) {
  using enum ostrel::Verdict;
  // 16-bit mono, 44,100 frames a second, 100,000 frames (2.27 s).
  const ostrel::WaveAttributes kMono{.sample_rate = 44100, .bytes_per_sample = 2, .channels = 1,
                                     .data_offset = 44, .frame_count = 100000, .encoding = 1};
  // 40-bit samples: refused.
  const ostrel::WaveAttributes kRefused{.sample_rate = 44100, .bytes_per_sample = 5, .channels = 1,
                                        .data_offset = 44, .frame_count = 100000, .encoding = 1};
  struct Row {
    std::vector<const char*> args;
    const ostrel::WaveAttributes& wa;
    ostrel::Verdict verdict;
    std::uint64_t start = 0, end = 0;
    std::uint32_t window = 0;
    float magnification = 1;
  };
  const Row rows[] = {
      // 0.7 s is frame 30870 in single precision (30869.999... in double).
      {.args = {"f", "0.7", "1"}, .wa = kMono, .verdict = kScan, .start = 30870, .end = 44100, .window = 2205,
       .magnification = 1},
      {.args = {"f", "0", "99"}, .wa = kMono, .verdict = kScan, .start = 0, .end = 100000, .window = 2205,
       .magnification = 1},
      {.args = {"f", "abc", "1", "441", "2"}, .wa = kMono, .verdict = kScan, .start = 0, .end = 44100, .window = 441,
       .magnification = 2},
      {.args = {"f", "0", "1", "44101", "0.5"}, .wa = kMono, .verdict = kScan, .start = 0, .end = 44100,
       .window = 2205, .magnification = 0.5F},
      {.args = {"f", "0", "1", "-5", "300"}, .wa = kMono, .verdict = kScan, .start = 0, .end = 44100, .window = 2205,
       .magnification = 1},
      {.args = {"f", "0", "1", "44100", "2", "x"}, .wa = kMono, .verdict = kScan, .start = 0, .end = 44100,
       .window = 44100, .magnification = 1},
      // 2^32 + 100 wraps to 100.
      {.args = {"f", "0", "1", "4294967396"}, .wa = kMono, .verdict = kScan, .start = 0, .end = 44100, .window = 100,
       .magnification = 1},
      {.args = {"f", "3", "4"}, .wa = kMono, .verdict = kScan, .start = 132300, .end = 100000, .window = 2205,
       .magnification = 1},
      {.args = {"f", "1", "1"}, .wa = kMono, .verdict = kBadInterval},
      {.args = {"f", "-1", "1"}, .wa = kMono, .verdict = kBadInterval},
      // The interval is checked before the layout.
      {.args = {"f", "2", "1"}, .wa = kRefused, .verdict = kBadInterval},
      {.args = {"f", "0", "1"}, .wa = kRefused, .verdict = kBadLayout},
  };
  for (const Row& r : rows) {
    const auto parsed = ostrel::ParseArguments(r.args);
    ASSERT_TRUE(parsed.has_value());
    const ostrel::Settled s = ostrel::SettleScan(*parsed, r.wa);
    const auto& t = s.settings;
    EXPECT_EQ(s.verdict, r.verdict) << testing::PrintToString(r.args);
    if (r.verdict != kScan) continue;
    EXPECT_EQ(std::tuple(t.start_frame, t.end_frame, t.window, t.frame_size, s.magnification),
              std::tuple(r.start, r.end, r.window, 2U, r.magnification))
        << testing::PrintToString(r.args);
    EXPECT_EQ(t.window_seconds, r.window / 44100.0) << testing::PrintToString(r.args);
  }
  EXPECT_FALSE(ostrel::ParseArguments(std::vector<const char*>{"f", "0"}).has_value());
}

}  // namespace
