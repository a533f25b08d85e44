// Files over 4 GiB, and inputs and outputs that are not what they seem. The
// odd files run the built tool under a timeout (a hang fails): through bash,
// or on Windows started with the standard handles that each case needs.
#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <filesystem>
#include <fstream>
#include <sstream>

#include "wave_builder.hpp"

namespace {

using wb::kBanner;
const std::string kNoFormat = kBanner + "Can't find format chunk in wave file!\n";

std::string Text(const wb::Bytes& b) { return {b.begin(), b.end()}; }

std::string Fmt(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

TEST(Robustness, ToneBeyondFourGiB) {
  // 16-bit mono at 8192 frames/s, size field all ones: frame 2^31 (262144 s)
  // starts at byte 44 + 2^32. One second of a square tone is written there.
  constexpr std::uint64_t kTone = std::uint64_t{1} << 31;
  constexpr int kA = 12800;  // 50 level units
  const std::string name = wb::Write(wb::Wave{.rate = 8192, .declared = 0xFFFFFFFF}.Build());
  std::error_code error;
  std::filesystem::resize_file(name, (std::uint64_t{1} << 32) + (1 << 20), error);
  ASSERT_FALSE(error) << error.message();
#ifndef _WIN32
  struct stat st {};
  if (::stat(name.c_str(), &st) != 0 || st.st_blocks > 2048) GTEST_SKIP() << "no sparse files here";
#endif
  std::vector<std::int64_t> square;
  for (int i = 0; i < 8192; ++i) square.push_back((i & 2) != 0 ? -kA : kA);
  const std::string tone = Text(wb::Pack(2, square));
  std::fstream(name, std::ios::binary | std::ios::in | std::ios::out).seekp(44 + 2 * kTone).write(tone.data(), 16384);
  // Windows of 4096 frames from half a second before the tone; then windows
  // of 8 frames, under a millisecond, whose lines show the frame number (its
  // low 32 bits, signed) over the tone's first 256 frames.
  struct Scan {
    const char *start, *stop, *window;
    std::uint64_t first, size, count;
  };
  for (const Scan& s : {Scan{"262143.5", "262145", "4096", kTone - 4096, 4096, 3},
                        Scan{"262144", "262144.03125", "8", kTone, 8, 32}}) {
    const std::vector<const char*> args = {name.c_str(), s.start, s.stop, s.window};
    std::string out, want = kBanner;
    ostrel::Output sink(out);
    EXPECT_EQ(ostrel::Run(args, sink), 0);
    for (std::uint64_t k = 1; k <= s.count; ++k) {
      const std::uint64_t middle = s.first + k * s.size - s.size / 2;
      const float t = static_cast<float>(middle) / 8192.0F;
      want += s.size > 8 ? Fmt("%.2f\t", t)
                         : Fmt("%.3f\t", t) + std::to_string(std::int64_t(middle) - (1LL << 32)) + "\t";
      want += std::string(middle < kTone ? 0 : kA / 256, '.') + "\n";
    }
    want += "Showing values above -48 dB\nPeak over interval " +
            Fmt("%.1f", 20 * std::log10(kA / 32768.0)) + " dB\n";
    EXPECT_EQ(out, want) << s.window;
  }
  std::filesystem::resize_file(name, 0, error);
}

TEST(Robustness, OddFilesAndOutputs) {
#ifdef _WIN32
  using wb::Feed;
  const std::string header = Text(wb::Wave{.channels = 2, .rate = 44100, .declared = 4 * 44100}.Build());  // no samples
  const std::string ok = wb::Write({header.begin(), header.end()});
  const std::string dir = std::filesystem::path(ok).parent_path().string();
  const std::string summary = kBanner + "Showing values above -48 dB\nPeaks over interval -inf L -inf R\n";
  // Standard input: NUL, none, the file `ok`, it open for writing only, or
  // a pipe of `piped`.
  struct Row {
    std::string name, file;
    Feed::Kind in;
    int status;
    std::string out, err = {};  // err: the start of its one line, the system's reason after it
    const wb::Bytes* piped = nullptr;
  };
  std::vector<Row> cases = {
      {.name = "a folder", .file = dir, .in = Feed::kNul, .status = 2, .out = kNoFormat,
       .err = "ostrel: cannot read " + dir + ": "},
      {.name = "NUL, a device that ends at once", .file = "NUL", .in = Feed::kNul, .status = 2, .out = kNoFormat},
      {.name = "the file", .file = ok, .in = Feed::kNul, .status = 0, .out = summary},
      {.name = "the file on standard input", .file = "-", .in = Feed::kFile, .status = 0, .out = summary},
      {.name = "no file", .file = dir + "\\missing.wav", .in = Feed::kNul, .status = 2,
       .out = kBanner + "The file called " + dir + "\\missing.wav cannot be found!\n"},
      {.name = "no standard input", .file = "-", .in = Feed::kNone, .status = 2,
       .out = kBanner + "The file called - cannot be found!\n"},
      {.name = "standard input open for writing only", .file = "-", .in = Feed::kWriteOnly, .status = 2,
       .out = kNoFormat, .err = "ostrel: cannot read standard input: "},
  };
  // The header cut at every length, from the empty file on, as a file and
  // through a pipe: the format fields end at byte 36, the data size at 44.
  std::vector<wb::Bytes> cuts;
  for (std::size_t n = 0; n < 44; ++n) cuts.emplace_back(header.begin(), header.begin() + static_cast<std::ptrdiff_t>(n));
  for (std::size_t n = 0; n < 44; ++n) {
    const std::string out = n < 36 ? kNoFormat : kBanner + "Can't find data block in wave file!\n";
    const std::string cut = wb::Write(cuts[n]);
    cases.push_back({.name = "cut at " + std::to_string(n), .file = cut, .in = Feed::kNul, .status = 2, .out = out});
    cases.push_back({.name = "cut at " + std::to_string(n) + ", a pipe", .file = "-", .in = Feed::kPipe, .status = 2,
                     .out = out, .piped = &cuts[n]});
  }
  for (const Row& c : cases) {
    const wb::Result r = wb::RunTool({c.file, "0", "1"}, {.kind = c.in, .file = ok, .bytes = c.piped});
    EXPECT_EQ(std::pair(r.status, r.out), std::pair(c.status, c.out)) << c.name;
    EXPECT_TRUE(c.err.empty() ? r.err.empty() : r.err.starts_with(c.err) && r.err.find('\n') == r.err.size() - 1)
        << c.name << ": " << r.err;
  }
  // A file that another program holds open without sharing it cannot be
  // opened, as one without permission cannot on other systems.
  const HANDLE held = ::CreateFileA(ok.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  EXPECT_EQ(wb::RunTool({ok, "0", "1"}), (wb::Result{2, kBanner + "The file called " + ok + " cannot be found!\n", ""}));
  ::CloseHandle(held);
  // Standard output that cannot be written: a failure, told on one line.
  const auto [status, out, err] = wb::RunTool({ok, "0", "1"}, {}, true);
#else
  const wb::Shell shell;
  auto sh = [&](const std::string& script) {
    const wb::Result r = shell.Run(script);
    return std::tuple(r.status, r.out, r.err);
  };
  const std::string header = Text(wb::Wave{.channels = 2, .rate = 44100, .declared = 4 * 44100}.Build());  // no samples
  std::ofstream(shell.Path("ok.wav"), std::ios::binary) << header;
  const std::string summary = kBanner + "Showing values above -48 dB\nPeaks over interval -inf L -inf R\n";
  const std::string no_read = "ostrel: cannot read standard input: Bad file descriptor\n";
  struct Row {
    std::string script;
    int status;
    std::string out, err = {};
  };
  std::vector<Row> cases = {
      {.script = "\"$0\" . 0 1", .status = 2, .out = kNoFormat, .err = "ostrel: cannot read .: Is a directory\n"},
      {.script = "\"$0\" <(cat ok.wav) 0 1", .status = 0, .out = summary},
      {.script = "cat ok.wav | \"$0\" /dev/stdin 0 1", .status = 0, .out = summary},
      {.script = "\"$0\" /dev/zero 0 1", .status = 2, .out = kNoFormat},
      {.script = "\"$0\" ok.wav 0 1", .status = 0, .out = summary},
      {.script = "\"$0\" - 0 1 <&-", .status = 2, .out = kBanner + "The file called - cannot be found!\n"},
      // Standard input open for writing only: a file, then a pipe.
      {.script = "\"$0\" - 0 1 0>scratch", .status = 2, .out = kNoFormat, .err = no_read},
      {.script = "\"$0\" - 0 1 0> >(cat)", .status = 2, .out = kNoFormat, .err = no_read},
  };
  // The header cut at every length, from the empty file on, as a file and
  // through a pipe: the format fields end at byte 36, the data size at 44.
  for (std::size_t n = 0; n < 44; ++n) {
    const std::string cut = "cut" + std::to_string(n);
    std::ofstream(shell.Path(cut), std::ios::binary) << header.substr(0, n);
    const std::string out = n < 36 ? kNoFormat : kBanner + "Can't find data block in wave file!\n";
    cases.push_back({.script = "\"$0\" " + cut + " 0 1", .status = 2, .out = out});
    cases.push_back({.script = "cat " + cut + " | \"$0\" - 0 1", .status = 2, .out = out});
  }
  for (const Row& c : cases) EXPECT_EQ(sh(c.script), std::tuple(c.status, c.out, c.err)) << c.script;
  // Standard output that cannot be written: a failure, told on one line.
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  const auto [status, out, err] = sh("\"$0\" ok.wav 0 1 >/dev/full");
#endif
  EXPECT_EQ(std::tuple(status, out), std::tuple(2, std::string()));
  EXPECT_TRUE(err.size() > 1 && err.find('\n') == err.size() - 1) << err;
}

}  // namespace
