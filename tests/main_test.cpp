#include <sys/wait.h>

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

TEST(Driver, Resolution) {
  Check({
      {.args = {One(), "0", "1", "0"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1", "-5"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1", "abc"}, .out = kTwo, .status = 0},
      {.args = {One(), "0", "1", "1001"}, .out = kTwo, .status = 0},
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

// The built tool run by the shell: its standard output and exit status.
std::pair<std::string, int> Shell(const std::string& args) {
  FILE* pipe = popen((OSTREL_BINARY " " + args).c_str(), "r");
  std::string out;
  for (int c; (c = std::fgetc(pipe)) != EOF;) out += static_cast<char>(c);
  const int status = pclose(pipe);
  return {out, WIFEXITED(status) ? WEXITSTATUS(status) : -1};
}

TEST(Binary, UsageAndTypicalRun) {
  EXPECT_EQ(Shell(""), std::pair(kBanner + kUsage, 1));
  // Two seconds of 16-bit stereo at 44,100: left at half scale (level 64),
  // right at minus a quarter (level 32), so every window has level 48.
  std::vector<std::int64_t> frames;
  for (int i = 0; i < 88200; ++i) frames.insert(frames.end(), {16384, -8192});
  const std::string take = File(Wave{.channels = 2, .rate = 44100, .samples = Pack(2, frames)});
  EXPECT_EQ(Shell(take + " 0 2"), std::pair(kBanner + Lines(40, 48) + k48 + "Peaks over interval -6.0 L -12.0 R\n", 0));
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

}  // namespace
