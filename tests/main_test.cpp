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
  // 0x3F800000 is 1.0 as a float (0.0 dB), 1065353216 / 2^31 of full scale
  // as an integer (-6.1 dB): the format code decides.
  const auto word = [](std::int64_t format, std::int64_t subformat, const char* db) {
    return Case{.args = {File(Wave{.bits = 32, .format = format, .subformat = subformat, .samples = Pack(4, {0x3F800000})}),
                         "0", "1"},
                .out = k48 + "Peak over interval " + db + " dB\n", .status = 0};
  };
  // Channel c (from 1) holds c level units: lines of 4.5, peaks 20 log10(c / 128).
  std::vector<std::int64_t> eight;
  for (int frame = 0; frame < 100; ++frame)
    for (std::int64_t c = 1; c <= 8; ++c) eight.push_back(256 * c);
  Check({
      word(1, 1, "-6.1"), word(0xFFFE, 1, "-6.1"), word(3, 1, "0.0"), word(0xFFFE, 3, "0.0"), word(0xFFFE, 0, "0.0"),
      {.args = {File(Wave{.channels = 8, .samples = Pack(2, eight)}), "0", "1"},
       .out = Lines(2, 4) + k48 + "Peaks over interval -42.1 -36.1 -32.6 -30.1 -28.2 -26.6 -25.2 -24.1 dB\n",
       .status = 0},
      // 12 and 20 bits sit left-justified in 2 and 3 bytes.
      {.args = {File(Wave{.bits = 12, .samples = Repeat(100, 256)}), "0", "1"}, .out = kTwo, .status = 0},
      {.args = {File(Wave{.bits = 20, .samples = Pack(3, std::vector<std::int64_t>(100, 65536))}), "0", "1"},
       .out = kTwo, .status = 0},
      // The interval is checked before the layout.
      {.args = {File(Wave{.channels = 9, .samples = Bytes(900)}), "2", "1"}, .out = kBadTime, .status = 1},
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

TEST(Driver, DoubleSumsRoundAtEachStep) {
  // A window's level is a double sum rounded at each step: kept wider (x87
  // registers), it comes out otherwise. The expected sum is worked here
  // through a volatile variable, which every compiler rounds to its type.
  // (A time's product rounded to float: the 0.7 s row of Driver.Times.)
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

}  // namespace
