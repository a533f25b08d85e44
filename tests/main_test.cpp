#include <sys/wait.h>

#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Lines;
using wb::Pack;
using wb::Wave;

// The banner names the version set in the top CMakeLists.txt.
const std::string kBanner = "Ostrel " OSTREL_VERSION " by Valdrin\n";
const std::string kUsage =
    "This program will print a basic waveform image\n"
    "Run with command line argument 1 being the name of the wavefile\n"
    "Arguments 2 and 3 are the start/stop times in seconds to scan within the file.\n"
    "Argument 4 (optional) is resolution in samples.  Default = samplerate / 20 \n"
    "Argument 5 (optional) is magnification: Above 1 magnifies (256 is the max).  Between 0 and 1 zooms out.\n";
const std::string k48 = "Showing values above -48 dB\n";

std::string File(const Wave& w) { return wb::Write(w.Build()); }
Bytes Repeat(std::size_t n, std::int64_t v) { return Pack(2, std::vector<std::int64_t>(n, v)); }

TEST(Driver, MessagesStatusesAndSummaries) {
  // 100 frames of 16-bit mono at 1000 per second, every sample 256: level 1,
  // peak 20 log10(1/128) = -42.1 dB; the default window is 50 frames.
  const std::string one = File(Wave{.samples = Repeat(100, 256)}), missing = testing::TempDir() + "missing";
  const std::string peak = "Peak over interval -42.1 dB\n", two = Lines(2, 1) + k48 + peak;
  const std::string bad_time = "Stop or start time not set correctly\n", none = "Peak over interval -inf dB\n";
  const std::string bad_layout = "Unrecognized bit or channel configuration\n";
  const auto mag = [&](const char* m, int dots, const char* db) {
    return std::pair(std::vector<std::string>{one, "0", "1", "0", m},
                     Lines(2, dots) + "Showing values above " + db + " dB\n" + peak);
  };
  const struct {
    std::pair<std::vector<std::string>, std::string> run;
    int status;
  } cases[] = {
      {{{}, kUsage}, 1}, {{{one}, kUsage}, 1}, {{{one, "0"}, kUsage}, 1},
      {{{missing, "0", "1"}, "The file called " + missing + " cannot be found!\n"}, 2},
      {{{File(Wave{.before_fmt = "x"}), "0", "1"}, "Can't find format chunk in wave file!\n"}, 2},
      {{{File(Wave{.before_data = std::string(15000, 'x')}), "0", "1"}, "Can't find data block in wave file!\n"}, 2},
      {{{one, "0", "1"}, two}, 0}, {{{one, "-0", "0.1"}, two}, 0},
      {{{one, "0", "1e16"}, two}, 0},  // 1e16 * 1000 is still below 2^64
      {{{one, "2", "1"}, bad_time}, 1}, {{{one, "0.05", "0.05"}, bad_time}, 1}, {{{one, "-0.0001", "1"}, bad_time}, 1},
      {{{one, "nan", "1"}, bad_time}, 1}, {{{one, "0", "inf"}, bad_time}, 1}, {{{one, "0", "1e17"}, bad_time}, 1},
      {{{one, "1e17", "1"}, bad_time}, 1}, {{{File(Wave{.rate = 0, .samples = Bytes(400)}), "0", "1"}, bad_time}, 1},
      // 0.7 s at 44,100 per second is frame 30870 in single precision (30869 in double).
      {{{File(Wave{.rate = 44100, .samples = Bytes(62000)}), "0.7", "0.701", "44"}, "0.700\t30892\t\n" + k48 + none}, 0},
      {{{File(Wave{.channels = 3, .bits = 24, .samples = Bytes(900)}), "0", "1"}, bad_layout}, 1},
      {{{File(Wave{.channels = 0, .samples = Bytes(400)}), "0", "1"}, bad_layout}, 1},
      {{{File(Wave{.bits = 4, .samples = Bytes(400)}), "0", "1"}, bad_layout}, 1},
      {{{one, "0", "1", "0"}, two}, 0}, {{{one, "0", "1", "-5"}, two}, 0},
      {{{one, "0", "1", "abc"}, two}, 0}, {{{one, "0", "1", "1001"}, two}, 0},
      {{{File(Wave{.samples = Repeat(2000, 256)}), "0", "2", "1000"}, "0.50\t.\n1.50\t.\n" + k48 + peak}, 0},
      {{{one, "0", "0.1", "20", "2", "x"}, "0.010\t.\n0.030\t.\n0.050\t.\n0.070\t.\n0.090\t.\n" + k48 + peak}, 0},
      {mag("300", 1, "-48"), 0}, {mag("256", 256, "-96"), 0}, {mag("0.5", 0, "-42"), 0}, {mag("2", 2, "-54"), 0},
      {mag("-2", 1, "-48"), 0}, {mag("0", 1, "-48"), 0}, {mag("nan", 1, "-48"), 0},
      {{{one, "5", "6"}, k48 + none}, 0},
      {{{File(Wave{.channels = 2, .samples = Bytes(400)}), "5", "6"}, k48 + "Peaks over interval -inf L -inf R\n"}, 0},
      {{{File(Wave{.channels = 4, .samples = Repeat(400, 256)}), "0", "1"}, Lines(2, 0) + k48}, 0},
      {{{File(Wave{.bits = 8, .samples = Bytes(100, 0x80)}), "0", "1"}, Lines(2, 0) + k48 + none}, 0},
      {{{File(Wave{.samples = Pack(2, {0, 32767, -32767})}), "0", "1"}, k48 + "Peak over interval -0.0 dB\n"}, 0},
      {{{File(Wave{.samples = Pack(2, {0, -32768, 32767})}), "0", "1"}, k48 + "Peak over interval 0.0 dB\n"}, 0},
      {{{File(Wave{.rate = 10, .samples = Repeat(100, 256)}), "0", "10"}, k48 + peak}, 0},  // window 0
      {{{File(Wave{.bits = 32, .format = 3, .samples = Bytes(400)}), "0", "1"},
        Lines(2, 0) + k48 + "Peak over interval -764.6 dB\n"}, 0},
  };
  for (const auto& c : cases)
    EXPECT_EQ(wb::Run(c.run.first), std::pair(kBanner + c.run.second, c.status)) << testing::PrintToString(c.run.first);
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

}  // namespace
