// Streams: pipes, a FIFO and standard input. The built tool runs through
// bash under a timeout (a hang fails); on Windows it is started with a pipe,
// a named pipe or a file as its input. Every stream's output must equal the
// tool's output on the same bytes stored in a file.
#include <bit>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#include "input.hpp"
#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Result;
using wb::WriteInPieces;
#ifdef _WIN32
using wb::Feed;
using wb::RunTool;

// The words of an interval's arguments.
std::vector<std::string> Words(const std::string& text) {
  std::istringstream in(text);
  return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
}
std::vector<std::string> Args(const std::string& first, const std::string& rest) {
  std::vector<std::string> args = Words(rest);
  args.insert(args.begin(), first);
  return args;
}
#else
using wb::Shell;
#endif

std::size_t LineCount(const std::string& s) { return static_cast<std::size_t>(std::count(s.begin(), s.end(), '\n')); }

// Three seconds at 8000 frames per second (24,000 frames; windows of 400)
// of a tone that swells and fades, on a 16-bit grid that every layout and
// sox's own 32-bit samples hold exactly.
struct Layout {
  wave_writer::SampleLayout sample;
  int channels;
  std::string name() const { return std::string(sample.name) + " x" + std::to_string(channels); }
};
constexpr Layout kLayouts[] = {
    {.sample = wave_writer::kS16, .channels = 1},    {.sample = wave_writer::kS16, .channels = 2},
    {.sample = wave_writer::kS24, .channels = 1},    {.sample = wave_writer::kS24, .channels = 2},
    {.sample = wave_writer::kS32, .channels = 1},    {.sample = wave_writer::kS32, .channels = 2},
    {.sample = wave_writer::kF32, .channels = 1},    {.sample = wave_writer::kF32, .channels = 2},
    {.sample = wave_writer::kU8, .channels = 2},     {.sample = wave_writer::kALaw8, .channels = 1},
    {.sample = wave_writer::kMuLaw8, .channels = 2}, {.sample = wave_writer::kS64, .channels = 1},
    {.sample = wave_writer::kF64, .channels = 2},    {.sample = wave_writer::kS16, .channels = 6},
};
constexpr std::int64_t kFrames = 24000;

wb::Wave Take(const Layout& l, std::int64_t declared = -1) {
  std::vector<std::int64_t> values;
  for (std::int64_t i = 0; i < kFrames; ++i) {
    for (int c = 0; c < l.channels; ++c) {
      const double swell = std::sin(static_cast<double>(i) / 7640);  // 0 to 1 and back over 3 s
      const auto v = static_cast<std::int64_t>(32767 * swell * std::sin(0.05 * static_cast<double>(i) + c));
      if (l.sample.code == 3 && l.sample.bits == 64) {
        values.push_back(std::bit_cast<std::int64_t>(static_cast<double>(v) / 32768));
      } else if (l.sample.code == 3) {
        values.push_back(std::bit_cast<std::uint32_t>(static_cast<float>(v) / 32768));
      } else if (l.sample.bits == 8) {
        values.push_back((v >> 8) + 128);  // unsigned PCM; any byte is a G.711 code too
      } else if (l.sample.bits == 64) {
        values.push_back(v * (std::int64_t{1} << 48) + (i & 0xFF));
      } else {
        values.push_back(l.sample.bits == 16 ? v : v * (std::int64_t{1} << (l.sample.bits - 16)) + (i & 0xFF));
      }
    }
  }
  return {.channels = l.channels, .bits = l.sample.bits, .format = l.sample.code, .rate = 8000, .declared = declared,
          .samples = wb::Pack(l.sample.bits / 8, values)};
}

// Intervals with their numbers of waveform lines: the whole take with the
// stop beyond its end, an inner part, the end with a part-window, a start
// beyond the end, and windows of 7 frames.
struct Interval {
  const char* args;
  std::size_t lines;
};
constexpr Interval kIntervals[] = {
    {.args = "0 9", .lines = 60},      {.args = "0.5 1.7", .lines = 24}, {.args = "2.83 4", .lines = 3},
    {.args = "4 5", .lines = 0},       {.args = "1 2 7", .lines = 8000 / 7},
};

TEST(Stream, EveryLayoutThroughAPipeAsOnTheFileFromCatAndSox) {
#ifdef _WIN32
  for (const Layout& l : kLayouts) {
    const Bytes take = Take(l).Build();
    const std::string path = wb::Write(take);
    for (const Interval& t : kIntervals) {
      const Result file = RunTool(Args(path, t.args));
      EXPECT_EQ(std::pair(file.status, LineCount(file.out)), std::pair(0, t.lines + 3)) << l.name() << " " << t.args;
      EXPECT_EQ(RunTool(Args("-", t.args), {.kind = Feed::kPipe, .bytes = &take}), file) << l.name() << " " << t.args;
    }
  }
#else
  // sox, a real peer, writes the take into the pipe too, where it is
  // installed: with the exact size where it knows the length, 0x7FFFF000
  // where it does not (raw samples from a pipe). It has no 64-bit integers.
  const bool sox = std::system("command -v sox >/dev/null") == 0;
  if (!sox) std::puts("sox is not installed: the takes go through cat only");
  const Shell sh;
  for (const Layout& l : kLayouts) {
    sh.Put("take.wav", Take(l).Build());
    std::vector<std::string> writers = {"cat take.wav"};
    if (sox && !(l.sample.bits == 64 && l.sample.code == 1)) {
      const std::string raw = " -V1 -t raw -r 8000 -c " + std::to_string(l.channels) + " -b " +
                              std::to_string(l.sample.bits) + " -e " +
                              (l.sample.code == 3   ? "floating-point"
                               : l.sample.code == 6 ? "a-law"
                               : l.sample.code == 7 ? "u-law"
                               : l.sample.bits == 8 ? "unsigned"
                                                    : "signed");
      writers.insert(writers.end(), {"sox -V1 take.wav -t wav -", "sox -V1 take.wav -t raw - | sox" + raw + " - -t wav -"});
    }
    for (const Interval& t : kIntervals) {
      const Result file = sh.Run("\"$0\" take.wav " + std::string(t.args));
      EXPECT_EQ(std::pair(file.status, LineCount(file.out)), std::pair(0, t.lines + 3)) << l.name() << " " << t.args;
      for (const std::string& w : writers) {
        EXPECT_EQ(sh.Run(w + " | \"$0\" - " + t.args), file) << l.name() << " " << t.args << ": " << w;
      }
    }
  }
#endif
}

TEST(Stream, DeclaredSizesCutsSlowWritersFifosAndStandardInput) {
  const Layout& stereo = kLayouts[1];
  const Bytes take = Take(stereo).Build();
  Bytes cut_in_data = take;
  cut_in_data.resize(44 + 50001);  // 12,500 frames and a byte
  const struct {
    const char* name;
    Bytes bytes;
    int status;
    std::size_t lines;      // all of them: banner, waveform lines, summary
    bool refused = false;  // by a stream, which no longer holds the frames
  } files[] = {
      {.name = "all ones", .bytes = Take(stereo, 0xFFFFFFFF).Build(), .status = 0, .lines = 63},
      {.name = "0x7FFFF000", .bytes = Take(stereo, 0x7FFFF000).Build(), .status = 0, .lines = 63},
      {.name = "exact", .bytes = take, .status = 0, .lines = 63},
      {.name = "half", .bytes = Take(stereo, kFrames * 2).Build(), .status = 0, .lines = 33},
      {.name = "zero", .bytes = Take(stereo, 0).Build(), .status = 0, .lines = 3},
      {.name = "cut in data", .bytes = cut_in_data, .status = 0, .lines = 34},
      {.name = "cut in header", .bytes = Bytes(take.begin(), take.begin() + 40), .status = 2, .lines = 2},
      // Taken to their ends before the tag search, streams hold their first
      // 15,034 bytes and their last 64: the 8 frames at 108 wherever they
      // end, but the frames of a size of all ones only up to 15,098 bytes.
      {.name = "broken at 15,034", .bytes = wb::BrokenAtTheEnd(15034, 16), .status = 0, .lines = 3},
      {.name = "broken at 15,036", .bytes = wb::BrokenAtTheEnd(15036, 16), .status = 0, .lines = 3},
      {.name = "broken at 40,000", .bytes = wb::BrokenAtTheEnd(40000, 16), .status = 0, .lines = 3},
      // 7,495 frames: 18 windows of 400.
      {.name = "broken at 15,098, all ones", .bytes = wb::BrokenAtTheEnd(15098, 0xFFFFFFFF), .status = 0, .lines = 21},
      {.name = "broken at 15,099, all ones", .bytes = wb::BrokenAtTheEnd(15099, 0xFFFFFFFF), .status = 0, .lines = 21,
       .refused = true},
  };
  const Result refused{.status = 2, .out = wb::kBanner + "Can't find data block in wave file!\n", .err = ""};
#ifdef _WIN32
  // A pipe, fast and slow; a file called "-"; a named pipe that the tool
  // opens by its name, as a FIFO; a file on standard input, its position
  // moved, read from its start.
  for (const auto& f : files) {
    const std::string path = wb::Write(f.bytes);
    const std::string dash = (std::filesystem::path(path).parent_path() / "-").string();
    std::ofstream(dash, std::ios::binary).write(reinterpret_cast<const char*>(f.bytes.data()), f.bytes.size());
    const Result file = RunTool({path, "0", "9"});
    const Result& stream = f.refused ? refused : file;
    EXPECT_EQ(std::pair(file.status, LineCount(file.out)), std::pair(f.status, f.lines)) << f.name;
    EXPECT_EQ(RunTool({"-", "0", "9"}, {.kind = Feed::kPipe, .bytes = &f.bytes}), stream) << f.name << ": pipe";
    EXPECT_EQ(RunTool({"-", "0", "9"}, {.kind = Feed::kPipe, .bytes = &f.bytes, .slow = true}), stream)
        << f.name << ": slow pipe";
    EXPECT_EQ(RunTool({"-", "0", "9"}, {.kind = Feed::kMessages, .bytes = &f.bytes}), stream)
        << f.name << ": one message";
    EXPECT_EQ(RunTool({"-", "0", "9"}, {.kind = Feed::kMessages, .bytes = &f.bytes, .slow = true}), stream)
        << f.name << ": messages";
    EXPECT_EQ(RunTool({dash, "0", "9"}), file) << f.name << ": a file called -";
    wb::Pipe named;
    std::thread writer([&] {
      named.Write(f.bytes.data(), f.bytes.size());
      named.CloseWriter();
    });
    EXPECT_EQ(RunTool({named.name(), "0", "9"}), stream) << f.name << ": named pipe";
    writer.join();
    EXPECT_EQ(RunTool({"-", "0", "9"}, {.kind = Feed::kFile, .file = path, .skip = 1001}), file)
        << f.name << ": standard input";
    std::filesystem::remove(dash);
  }
  // Standard output missing while the stream is being read, or a pipe
  // whose reader has gone (Windows has no SIGPIPE): windows of one frame
  // fill the output buffer long before the stream ends. (No device here is
  // always full, as /dev/full is.)
  const Result closed = RunTool({"-", "0", "9", "1"}, {.kind = Feed::kPipe, .bytes = &take}, true);
  HANDLE gone, out;
  ASSERT_TRUE(::CreatePipe(&gone, &out, &wb::kInherited, 0));
  ::CloseHandle(gone);
  const wb::Capture err;
  const HANDLE process = wb::StartTool({wb::Write(take), "0", "9", "1"}, nullptr, out, err.handle);
  ::CloseHandle(out);
  const Result reader_gone{process == nullptr ? -1 : wb::ExitCode(process), "", err.Text()};
  for (const Result& r : {closed, reader_gone}) {
    EXPECT_EQ(std::pair(r.status, r.out), std::pair(2, std::string()));
    EXPECT_TRUE(r.err.starts_with("ostrel: cannot write standard output: ") && r.err.find('\n') == r.err.size() - 1)
        << r.err;
  }
#else
  const Shell sh;
  for (const auto& f : files) {
    sh.Put("take.wav", f.bytes);
    sh.Put("-", f.bytes);
    const Result file = sh.Run("\"$0\" take.wav 0 9");
    const Result& stream = f.refused ? refused : file;
    EXPECT_EQ(std::pair(file.status, LineCount(file.out)), std::pair(f.status, f.lines)) << f.name;
    const struct {
      std::string script;
      const Result& result;
    } runs[] = {
        {"cat take.wav | \"$0\" - 0 9", stream},
        {"cat take.wav | \"$0\" /dev/stdin 0 9", stream},
        {"\"$0\" ./- 0 9", file},
        {"\"$0\" - 0 9", stream},  // fed by a slow writer
        {"rm -f fifo; mkfifo fifo; \"$0\" fifo 0 9 & sleep 0.2; cat take.wav >fifo; wait $!", stream},
        // A file on standard input is read from its start.
        {"{ dd bs=1001 count=1 of=/dev/null 2>/dev/null; \"$0\" - 0 9; } <take.wav", file},
    };
    for (const auto& [script, result] : runs) {
      EXPECT_EQ(sh.Run(script, script == "\"$0\" - 0 9" ? &f.bytes : nullptr), result) << f.name << ": " << script;
    }
  }
  // Standard output closed, a pipe whose reader has gone, or full, while
  // the input is being read: windows of one frame fill the output buffer,
  // and the pipe, long before the input ends. A reader that goes away
  // ends the tool by SIGPIPE, quietly, as it ends any filter (a shell says
  // 141); only where SIGPIPE is ignored does the write fail.
  sh.Put("take.wav", take);
  const auto cannot_write = [](int error) {
    return Result{.status = 2, .out = "",
                  .err = "ostrel: cannot write standard output: " + std::string(std::strerror(error)) + "\n"};
  };
  const struct {
    const char* script;
    Result result;
  } outputs[] = {
      {.script = "cat take.wav | \"$0\" - 0 9 1 >&-", .result = cannot_write(EBADF)},
      {.script = "\"$0\" take.wav 0 9 1 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
       .result = {.status = 128 + SIGPIPE, .out = "", .err = ""}},
      {.script = "trap \"\" PIPE; \"$0\" take.wav 0 9 1 | head -c 1 >/dev/null; exit ${PIPESTATUS[0]}",
       .result = cannot_write(EPIPE)},
  };
  for (const auto& o : outputs) EXPECT_EQ(sh.Run(o.script), o.result) << o.script;
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full here";
  EXPECT_EQ(sh.Run("cat take.wav | \"$0\" - 0 9 1 >/dev/full"), cannot_write(ENOSPC));
#endif
}

// The stream source itself, on a pipe that a slow writer fills: every read
// is checked against the bytes written, and what CanServe said of it.
TEST(Stream, ServesTheHeadTheLookbackAndReadsOn) {
  Bytes bytes(40000);
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 131 % 251);
  wb::Pipe pipe;
  std::thread writer([&] {
    WriteInPieces(bytes, [&](const std::uint8_t* p, std::size_t n) { return pipe.Write(p, n); });
    pipe.CloseWriter();
  });
  ostrel::Input input;
  ASSERT_TRUE(input.Open(pipe.name()));
  EXPECT_TRUE(input.Sequential());
  constexpr std::uint64_t kHead = ostrel::kHeadBytes, kBack = ostrel::Input::kLookback;
  const struct {
    std::uint64_t offset;
    std::size_t n, got;
  } reads[] = {
      {.offset = 100, .n = 10, .got = 10},  // the head is kept as far as bytes are taken
      {.offset = 0, .n = kHead, .got = kHead},
      {.offset = kHead - 34, .n = 100, .got = 100},  // on past the head: 66 bytes more taken
      {.offset = kHead + 66 - kBack, .n = kBack, .got = kBack},
      {.offset = kHead + 65 - kBack, .n = 1, .got = 0},  // one byte too far back
      {.offset = kHead - 4, .n = 10, .got = 4},        // the head, then a gap
      {.offset = kHead + 50, .n = 100, .got = 100},    // the lookback, then on
      {.offset = 20000, .n = 5, .got = 5},             // skipping
      {.offset = 19990, .n = 15, .got = 15},         // older and newer bytes kept
      {.offset = 39990, .n = 100, .got = 10},  // the end of the stream
      {.offset = 39995, .n = 5, .got = 5},
      {.offset = 40000, .n = 1, .got = 0},
      {.offset = 50000, .n = 1, .got = 0},
  };
  for (const auto& r : reads) {
    // Beforehand, the input knows whether the read gets all there is.
    const std::uint64_t there = bytes.size() - std::min<std::uint64_t>(r.offset, bytes.size());
    EXPECT_EQ(input.CanServe(r.offset, r.n), r.got == std::min<std::uint64_t>(r.n, there)) << r.offset;
    Bytes dst(r.n);
    EXPECT_EQ(input.ReadAt(r.offset, dst.data(), r.n), r.got) << r.offset;
    EXPECT_TRUE(std::equal(dst.begin(), dst.begin() + static_cast<std::ptrdiff_t>(r.got),
                           bytes.begin() + static_cast<std::ptrdiff_t>(r.offset)))
        << r.offset;
  }
  EXPECT_EQ(input.read_error(), 0);
  writer.join();
}

}  // namespace
