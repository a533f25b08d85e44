// Recordings past 2 and 4 GiB, as sparse files that cost no disk space:
// 16-bit mono at 8000 frames a second, silent but for a tone in the last
// second, and a LIST chunk of text after the samples, whose bytes read as
// audio would be far louder than the tone. The data chunk's size field is
// an unsigned count, and a file past 4 GiB whose 32-bit size wrapped is
// read to the end of its samples, not into the text.
#include <filesystem>
#include <fstream>

#include "wave_builder.hpp"

namespace {

constexpr std::uint64_t kGiB = std::uint64_t{1} << 30;
constexpr std::uint32_t kRate = 8000;

struct Recording {
  const char* name;
  std::uint64_t data_bytes;
  // The 32-bit size field; by default the data's size taken modulo 2^32,
  // as a writer that wraps it leaves it.
  std::optional<std::uint32_t> size_field;
  bool rf64;  // the size in a ds64 chunk, the field all ones
  std::int16_t tone;  // amplitude of the last second's tone; 0: silence
  const char* start;
  const char* stop;
  std::size_t lines;
  std::string peak;
  bool text = true;  // the LIST chunk after the samples
  // Bytes put among the samples, at an offset from the first.
  std::string in_samples = {};
  std::uint64_t in_samples_at = 0;
};

// Writes the header, the tone's second at the end of the samples and the
// text after them into a file whose other bytes are holes, read as zeros.
void WriteSparse(const std::string& path, const Recording& r) {
  const wave_writer::Chunk text = wave_writer::ListInfo(
      {{"INAM", "zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz"}, {"ISFT", "~~~~~~~~~~~~~~~~~~~~~"}});
  wave_writer::Bytes after;
  if (r.text) wave_writer::PutChunk(after, text);
  const wave_writer::Bytes header = wave_writer::HeaderBytes(
      {.riff_id = r.rf64 ? "RF64" : "RIFF",
       .format = {.channels = 1, .rate = kRate, .bits = 16},
       .data_bytes = r.data_bytes,
       .after_data_bytes = after.size(),
       .data_size = r.size_field,
       .ds64 = r.rf64});
  std::vector<std::int64_t> second(kRate);
  for (std::size_t i = 0; i < second.size(); ++i) second[i] = i % 2 == 0 ? r.tone : -r.tone;
  const wave_writer::Bytes tone = wb::Pack(2, second);
  const std::uint64_t end = header.size() + r.data_bytes;
  {
    std::ofstream create(path, std::ios::binary);
  }
  std::filesystem::resize_file(path, end + after.size());
  std::fstream f(path, std::ios::binary | std::ios::in | std::ios::out);
  const auto put = [&f](std::uint64_t at, const wave_writer::Bytes& b) {
    f.seekp(static_cast<std::streamoff>(at));
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  };
  put(0, header);
  put(end - tone.size(), tone);
  put(end, after);
  put(header.size() + r.in_samples_at, wave_writer::Bytes(r.in_samples.begin(), r.in_samples.end()));
  ASSERT_TRUE(f.good()) << path;
}

TEST(LargeFile, SizesPastTwoAndFourGiB) {
  // Start and stop times are multiples of 4 s, so that their frames are
  // exact in single precision (a multiple of 256 frames); each interval
  // ends past the samples, so its last window is cut short. The tone's
  // peak is 20 log10(A / 32768) dB.
  const Recording kCases[] = {
      // 1,610,612,736 frames (201,326.592 s); the interval from frame
      // 1,610,560,000 holds 52,736 of them: 6 whole windows.
      {.name = "3 GiB of silence, its size above 2^31",
       .data_bytes = 3 * kGiB, .size_field = std::nullopt, .rf64 = false, .tone = 0,
       .start = "201320", .stop = "201340", .lines = 6, .peak = "-inf"},
      // 1,342,177,280 frames (167,772.16 s); from frame 1,342,160,000:
      // 17,280 frames, 2 windows.
      {.name = "2.5 GiB, a tone at -6 dB at its end",
       .data_bytes = 5 * kGiB / 2, .size_field = std::nullopt, .rf64 = false, .tone = 16384,
       .start = "167770", .stop = "167780", .lines = 2, .peak = "-6.0"},
      // 5.25 GiB wraps to a field of 1.25 GiB. 2,818,572,288 frames
      // (352,321.536 s); from frame 2,818,560,000: 12,288 frames, 1 window.
      {.name = "5.25 GiB, its size wrapped, a tone at -12 dB past 5 GiB",
       .data_bytes = 21 * kGiB / 4, .size_field = std::nullopt, .rf64 = false, .tone = 8192,
       .start = "352320", .stop = "352340", .lines = 1, .peak = "-12.0"},
      // A ds64 size is the truth, however much follows the samples.
      {.name = "RF64 of 4.5 GiB, a tone at -12 dB",
       .data_bytes = 9 * kGiB / 2, .size_field = std::nullopt, .rf64 = true, .tone = 8192,
       .start = "301988", .stop = "302000", .lines = 1, .peak = "-12.0"},
      // All ones: unknown, so the file's end limits it, and the text is
      // read as samples. Its loudest are the pairs "~~", 0x7E7E: 20
      // log10(32382 / 32768) = -0.10 dB.
      {.name = "size all ones: read to the end of the file",
       .data_bytes = 5 * kGiB / 2, .size_field = 0xFFFFFFFF, .rf64 = false, .tone = 16384,
       .start = "167770", .stop = "167780", .lines = 2, .peak = "-0.1"},
      // A copy, cut short, of a recording whose size wrapped to 2000: its
      // samples end nowhere near 2000 + 4 GiB, and at 2000 they spell a
      // chunk id that nothing sensible follows, so it is read to its end.
      // 2,147,484,148 frames (268,435.5185 s); from frame 2,147,456,000:
      // 28,148 frames, 3 windows. The tone: 20 log10(23197 / 32768) dB.
      {.name = "4 GiB + 1000 bytes, its size 2000, printable bytes at 2000",
       .data_bytes = 4 * kGiB + 1000, .size_field = 2000, .rf64 = false, .tone = 23197,
       .start = "268432", .stop = "268440", .lines = 3, .peak = "-3.0", .text = false,
       .in_samples = "abcd", .in_samples_at = 2000},
  };
  const std::string dir = testing::TempDir();
  for (const Recording& r : kCases) {
    const std::string path = dir + "ostrel_large.wav";
    WriteSparse(path, r);
    const auto [out, status] = wb::Run({path, r.start, r.stop, "8000"});
    std::filesystem::remove(path);
    EXPECT_EQ(status, 0) << r.name;
    const std::string threshold = "Showing values above -48 dB\n";
    const std::size_t at = out.find(threshold);
    ASSERT_NE(at, std::string::npos) << r.name << ":\n" << out;
    const std::string lines = out.substr(wb::kBanner.size(), at - wb::kBanner.size());
    EXPECT_EQ(static_cast<std::size_t>(std::count(lines.begin(), lines.end(), '\n')), r.lines)
        << r.name << ":\n" << out;
    const std::string peak = out.substr(at + threshold.size());
    EXPECT_EQ(peak, "Peak over interval " + r.peak + " dB\n") << r.name;
  }
}

}  // namespace
