#include "input.hpp"
#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Pack;
using wb::Wave;

ostrel::ProbeResult Probe(const Bytes& file) {
  ostrel::Input input;
  EXPECT_TRUE(input.Open(wb::Write(file)));
  return ostrel::GetAttributes(input);
}

TEST(Probe, CanonicalFields) {
  const auto r = Probe(Wave{.channels = 2, .rate = 0x8000AC44, .samples = Bytes(40)}.Build());
  const ostrel::WaveAttributes& a = r.attributes;  // the rate field's top bit set: widened with its sign
  EXPECT_EQ(std::tuple(r.outcome, a.channels, a.bytes_per_sample, a.sample_rate, a.data_offset, a.frame_count),
            std::tuple(ostrel::ProbeOutcome::kOk, 2U, 2U, 0xFFFFFFFF8000AC44U, 44U, 10U));
}

TEST(Probe, ChunkPlacementSizesAndTruncation) {
  const auto x = [](std::size_t n) { return std::string(n, 'x'); };
  const auto cut = [](Bytes b, std::size_t n) { return b.resize(n), b; };
  const std::string data_first("data\x06\0\0\0", 8);  // a 6-byte data chunk ahead of fmt
  const Bytes s40(40), canonical = Wave{.samples = s40}.Build();  // 16-bit mono: 20 frames
  Bytes data_at_0 = canonical;                                   // offset 0 is never probed
  std::copy_n("data", 4, data_at_0.begin());
  using enum ostrel::ProbeOutcome;
  struct Case {
    Bytes file;
    ostrel::ProbeOutcome outcome;
    std::uint64_t offset, frames;
  };
  const Case cases[] = {
      {.file = canonical, .outcome = kOk, .offset = 44, .frames = 20},
      {.file = data_at_0, .outcome = kOk, .offset = 44, .frames = 20},
      {.file = Wave{.before_fmt = x(10), .samples = s40}.Build(), .outcome = kOk, .offset = 54, .frames = 20},
      {.file = Wave{.before_data = x(100), .samples = s40}.Build(), .outcome = kOk, .offset = 144, .frames = 20},
      {.file = Wave{.before_fmt = x(1), .samples = s40}.Build(), .outcome = kNoFormatChunk, .offset = 0, .frames = 0},
      {.file = Wave{.before_fmt = data_first, .samples = s40}.Build(), .outcome = kOk, .offset = 20, .frames = 3},
      {.file = Wave{.before_fmt = data_first + x(14980), .samples = s40}.Build(), .outcome = kOk, .offset = 20, .frames = 3},  // fmt at 15000
      {.file = Wave{.before_fmt = x(14990), .samples = s40}.Build(), .outcome = kNoFormatChunk, .offset = 0, .frames = 0},
      {.file = Wave{.before_data = x(14964), .samples = s40}.Build(), .outcome = kOk, .offset = 15008, .frames = 20},  // data at 15000
      {.file = Wave{.before_data = x(14966), .samples = s40}.Build(), .outcome = kNoDataBlock, .offset = 0, .frames = 0},
      {.file = Wave{.declared = 60, .samples = s40}.Build(), .outcome = kOk, .offset = 44, .frames = 20},
      {.file = Wave{.declared = 20, .samples = s40}.Build(), .outcome = kOk, .offset = 44, .frames = 10},
      {.file = Wave{.declared = 0xFFFFFFFF, .samples = s40}.Build(), .outcome = kOk, .offset = 44, .frames = 20},
      {.file = Wave{.channels = 2, .samples = Bytes(10)}.Build(), .outcome = kOk, .offset = 44, .frames = 2},
      {.file = Wave{.channels = 2, .declared = 0xFFFFFFFF, .samples = Bytes(11)}.Build(), .outcome = kOk, .offset = 44, .frames = 2},
      {.file = Wave{.channels = 0, .samples = s40}.Build(), .outcome = kOk, .offset = 44, .frames = 0},
      // Cut inside the channels, sample rate, bits, data tag and data size.
      {.file = cut(canonical, 23), .outcome = kNoFormatChunk, .offset = 0, .frames = 0}, {.file = cut(canonical, 27), .outcome = kNoFormatChunk, .offset = 0, .frames = 0},
      {.file = cut(canonical, 35), .outcome = kNoFormatChunk, .offset = 0, .frames = 0}, {.file = cut(canonical, 39), .outcome = kNoDataBlock, .offset = 0, .frames = 0},
      {.file = cut(canonical, 43), .outcome = kNoDataBlock, .offset = 0, .frames = 0}, {.file = cut(canonical, 45), .outcome = kOk, .offset = 44, .frames = 0},
  };
  for (int row = 0; const auto& [file, outcome, offset, frames] : cases) {
    const auto r = Probe(file);
    const bool ok = r.outcome == kOk;
    EXPECT_EQ(std::tuple(r.outcome, ok ? r.attributes.data_offset : 0, ok ? r.attributes.frame_count : 0),
              std::tuple(outcome, offset, frames))
        << "row " << row++;
  }
}

TEST(Probe, ChunkList) {
  using wave_writer::Chunk;
  using enum ostrel::ProbeOutcome;
  const Bytes s40(40);  // 16-bit: 20 mono or 10 stereo frames
  const std::vector<Chunk> trailing = {{.id = "LIST", .body = Bytes(30)}};
  const std::vector<Chunk> broken = {{.id = "JUNK", .body = Bytes(4), .size = 0x10000}};  // runs past the end
  // A LIST at 36 whose text holds "data" and a size at 64, then at 20044,
  // past the head, a chunk that runs past the end; 40 bytes of samples
  // after it end the file at 20104.
  const auto broken_past_head = [&](const char* size) {
    Bytes text(20000);
    std::memcpy(text.data() + 20, "data", 4);
    std::memcpy(text.data() + 24, size, 4);
    return Wave{.samples = s40, .chunks_before_data = {{.id = "LIST", .body = text}, broken[0]}}.Build();
  };
  const std::vector<Chunk> tiny4094(4094, Chunk{.id = "tiny"}), tiny4095(4095, Chunk{.id = "tiny"});
  // An RF64 file: ds64 at 12, fmt at 48, data at 72, 40 bytes of samples
  // at 80, then 38 bytes of LIST: 78 bytes past the data offset.
  const auto rf64 = [&](std::int64_t ds64_size, std::int64_t declared = -1) {
    return Wave{.declared = declared, .samples = s40, .chunks_after_data = trailing, .riff_id = "RF64", .ds64 = true,
                .ds64_size = ds64_size}
        .Build();
  };
  struct Row {
    const char* name;
    Bytes file;
    ostrel::ProbeOutcome outcome = kOk;
    std::uint64_t offset = 0, frames = 0;
    bool tag_search = false;
    bool refused = false;  // by a stream, which no longer holds the frames
  };
  const Row rows[] = {
      // LIST at 36 holds "data" at 56; the data chunk is at 62.
      {.name = "data in a LIST text",
       .file = Wave{.channels = 2, .samples = s40, .chunks_before_data = {wave_writer::ListInfo({{"INAM", "data"}})}}
                   .Build(),
       .offset = 70, .frames = 10},
      // A "fmtx" chunk at 12 (its fields all ones): fmt at 36, data at 60.
      {.name = "fmt tag exactly",
       .file = Wave{.samples = s40, .chunks_before_fmt = {{.id = "fmtx", .body = Bytes(16, 0xFF)}}}.Build(),
       .offset = 68, .frames = 20},
      // JUNK at 12 (3 bytes and a pad byte), fmt at 24, data at 48.
      {.name = "odd size padded",
       .file = Wave{.samples = s40, .chunks_before_fmt = {{.id = "JUNK", .body = Bytes(3)}}}.Build(),
       .offset = 56, .frames = 20},
      // fmt at 12 + 8 + 20000, data at 20044 + 8 + 20000.
      {.name = "20,000 bytes before fmt and before data",
       .file = Wave{.channels = 2, .samples = s40, .chunks_before_fmt = {{.id = "LIST", .body = Bytes(20000, 'x')}},
                    .chunks_before_data = {{.id = "JUNK", .body = Bytes(20000)}}}
                   .Build(),
       .offset = 40060, .frames = 10},
      {.name = "ds64 size 24 of 78 bytes", .file = rf64(24), .offset = 80, .frames = 12},
      {.name = "ds64 size 0: all ones", .file = rf64(0), .offset = 80, .frames = 39},
      {.name = "ds64 size past the end", .file = rf64(1000), .offset = 80, .frames = 39},
      {.name = "ds64 but a data size of 30", .file = rf64(24, 30), .offset = 80, .frames = 15},
      {.name = "ds64 in a RIFF file",
       .file = Wave{.declared = 0xFFFFFFFF, .samples = s40, .ds64 = true, .ds64_size = 24}.Build(),
       .offset = 80, .frames = 12},
      // JUNK at 12, a ds64 body (data size 24) at 24, fmt at 56, data at 80.
      {.name = "ds64 not first",
       .file = Wave{.declared = 0xFFFFFFFF, .samples = s40,
                    .chunks_before_fmt = {{.id = "JUNK", .body = Bytes(4)},
                                          {.id = "ds64", .body = Pack(8, {0, 24, 0})}}}
                   .Build(),
       .offset = 88, .frames = 20},
      // ds64 at 12, holding the data size 24 but for its last byte.
      {.name = "ds64 of 15 bytes",
       .file = Wave{.declared = 0xFFFFFFFF, .samples = s40,
                    .chunks_before_fmt = {{.id = "ds64", .body = Bytes{0, 0, 0, 0, 0, 0, 0, 0, 24, 0, 0, 0, 0, 0, 0}}}}
                   .Build(),
       .offset = 68, .frames = 20},
      // fmt at 12, JUNK at 36, data at 48.
      {.name = "broken list", .file = Wave{.samples = s40, .chunks_before_data = broken}.Build(),
       .offset = 56, .frames = 20, .tag_search = true},
      // ds64 at 12, fmt at 48, JUNK at 72, data at 84, 78 bytes past 92.
      {.name = "broken list: no ds64",
       .file = Wave{.samples = s40, .chunks_before_data = broken, .chunks_after_data = trailing, .riff_id = "RF64",
                    .ds64 = true, .ds64_size = 24}
                   .Build(),
       .offset = 92, .frames = 39, .tag_search = true},
      // fmt, 4094 headers of 8 bytes from 36, data as the 4096th at 32788.
      {.name = "data the 4096th header", .file = Wave{.samples = s40, .chunks_before_data = tiny4094}.Build(),
       .offset = 32796, .frames = 20},
      {.name = "data the 4097th header", .file = Wave{.samples = s40, .chunks_before_data = tiny4095}.Build(),
       .outcome = kNoDataBlock, .tag_search = true},
      // A stream taken past its head still holds the frames at 72 to 80, but
      // not those of a size of all ones, which run on to the end.
      {.name = "broken past the head", .file = broken_past_head("\x08\0\0\0"), .offset = 72, .frames = 4,
       .tag_search = true},
      {.name = "broken past the head, all ones", .file = broken_past_head("\xFF\xFF\xFF\xFF"), .offset = 72,
       .frames = (20104 - 72) / 2, .tag_search = true, .refused = true},
      // fmt at 12 with a 2-byte body, data at 22: bits per sample at 34, past the end.
      {.name = "fields cut short",
       .file = wave_writer::Riff({{.id = "fmt ", .body = Bytes(2)}, {.id = "data"}}),
       .outcome = kNoFormatChunk},
      // The walk wants a header at 15,030, 6 bytes before the end: a stream
      // taken past its head, which still holds the frames.
      {.name = "broken at the end", .file = wb::BrokenAtTheEnd(15036, 16), .offset = 108, .frames = 8,
       .tag_search = true},
  };
  const auto summary = [](const ostrel::ProbeResult& p) {
    const bool ok = p.outcome == kOk;
    return std::tuple(p.outcome, ok ? p.attributes.data_offset : 0, ok ? p.attributes.frame_count : 0, p.tag_search);
  };
  for (const Row& r : rows) {
    const auto from_file = Probe(r.file);
    EXPECT_EQ(summary(from_file), std::tuple(r.outcome, r.offset, r.frames, r.tag_search)) << r.name;
    // A stream gets what the file gets, wherever it still holds the frames.
    wb::FakeSource in_order(r.file, UINT64_MAX, true);
    const auto from_stream =
        r.refused ? std::tuple(kNoDataBlock, std::uint64_t{0}, std::uint64_t{0}, true) : summary(from_file);
    EXPECT_EQ(summary(ostrel::ProbeHeader(in_order, r.file.size())), from_stream) << r.name << ", in order";
  }
}

// A file of any length that holds only its 44-byte header and, at one
// offset, a few bytes: the rest reads as zeros, as a sparse file's holes.
struct SparseSource final : ostrel::ByteSource {
  Bytes header;
  std::uint64_t length, mark_at;
  std::string mark;
  std::size_t ReadAt(std::uint64_t offset, std::uint8_t* dst, std::size_t n) override {
    if (offset >= length) return 0;
    n = static_cast<std::size_t>(std::min<std::uint64_t>(n, length - offset));
    for (std::size_t k = 0; k < n; ++k) {
      const std::uint64_t at = offset + k;
      dst[k] = at < header.size()                            ? header[at]
               : at >= mark_at && at - mark_at < mark.size() ? static_cast<std::uint8_t>(mark[at - mark_at])
                                                             : 0;
    }
    return n;
  }
};

TEST(Probe, DataSizeIsUnsignedAndAWrappedOneIsUnwrapped) {
  constexpr std::uint64_t kGiB = std::uint64_t{1} << 30, kUnknown = ostrel::kUnknownLength;
  // A chunk header: its id, then its size in four little-endian bytes.
  const auto header = [](const char* id, std::uint32_t size) {
    std::string h = id;
    for (int k = 0; k < 4; ++k) h += static_cast<char>(size >> (8 * k));
    return h;
  };
  const std::string list = header("LIST", 68);  // with its body of zeros, 76 bytes
  const struct {
    const char* name;
    std::uint32_t field;
    std::uint64_t after_header;  // bytes from the first sample to the end; kUnknown: a stream
    std::uint64_t mark_at;       // where `mark` stands, counted from the first sample
    std::string mark = {};       // bytes of the file, all others zeros
    std::uint64_t frames;        // 16-bit mono
    bool rf64 = false;
  } rows[] = {
      {.name = "3 GiB, a chunk after it", .field = 0xC0000000, .after_header = 3 * kGiB + 76, .mark_at = 3 * kGiB,
       .mark = list, .frames = 3 * kGiB / 2},
      {.name = "above 2^31, the file shorter", .field = 0x80000000, .after_header = 1000, .mark_at = 0,
       .frames = 500},
      {.name = "all ones: the file's length", .field = 0xFFFFFFFF, .after_header = 3 * kGiB + 76, .mark_at = 3 * kGiB,
       .mark = list, .frames = (3 * kGiB + 76) / 2},
      {.name = "5 GiB wrapped to 1 GiB, the samples to the end", .field = 0x40000000, .after_header = 5 * kGiB,
       .mark_at = 0, .frames = 5 * kGiB / 2},
      {.name = "5 GiB wrapped to 1 GiB, a chunk after it", .field = 0x40000000, .after_header = 5 * kGiB + 76,
       .mark_at = 5 * kGiB, .mark = list, .frames = 5 * kGiB / 2},
      {.name = "9 GiB wrapped to 1 GiB, a chunk after it", .field = 0x40000000, .after_header = 9 * kGiB + 76,
       .mark_at = 9 * kGiB, .mark = list, .frames = 9 * kGiB / 2},
      // 8 + 4 and 8 + 3 bytes, the last chunk without its pad byte.
      {.name = "wrapped, two chunks to the end", .field = 0x40000000, .after_header = 5 * kGiB + 23,
       .mark_at = 5 * kGiB, .mark = header("LIST", 4) + "INFO" + header("id3 ", 3) + "abc", .frames = 5 * kGiB / 2},
      // 1 GiB + 4 GiB does not fit; what follows 1 GiB is no chunk.
      {.name = "wrapped, the copy cut short", .field = 0x40000000, .after_header = 4 * kGiB + 100,
       .mark_at = 0, .frames = (4 * kGiB + 100) / 2},
      {.name = "wrapped, nothing after 1 GiB is a chunk", .field = 0x40000000, .after_header = 5 * kGiB + 76,
       .mark_at = 0, .frames = (5 * kGiB + 76) / 2},
      // Samples that happen to be printable where the size points: the
      // "header" there is followed by zeros, which are no chunk.
      {.name = "wrapped, cut short, printable samples where the size ends", .field = 2000,
       .after_header = 4 * kGiB + 1000, .mark_at = 2000, .mark = "abcd", .frames = (4 * kGiB + 1000) / 2},
      {.name = "wrapped, a chunk longer than the rest", .field = 0x40000000, .after_header = 5 * kGiB + 76,
       .mark_at = 5 * kGiB, .mark = header("LIST", 69), .frames = (5 * kGiB + 76) / 2},
      {.name = "wrapped, a chunk header cut by the end", .field = 0x40000000, .after_header = 5 * kGiB + 14,
       .mark_at = 5 * kGiB, .mark = header("LIST", 0) + "JUNK\x02", .frames = (5 * kGiB + 14) / 2},
      {.name = "a stream: the declared count", .field = 0xC0000000, .after_header = kUnknown, .mark_at = 0,
       .frames = 3 * kGiB / 2},
      // Bounded only by the largest offset.
      {.name = "a stream, all ones: to its end", .field = 0xFFFFFFFF, .after_header = kUnknown, .mark_at = 0,
       .frames = (kUnknown - 44) / 2},
      // ds64 at 12, fmt at 48, the samples at 80; its size is the truth.
      {.name = "RF64 of 4.5 GiB, a chunk after it", .field = 0xFFFFFFFF, .after_header = 9 * kGiB / 2 + 76,
       .mark_at = 9 * kGiB / 2, .mark = list, .frames = 9 * kGiB / 4, .rf64 = true},
  };
  for (const auto& r : rows) {
    SparseSource source;
    source.header = r.rf64 ? Wave{.riff_id = "RF64", .ds64 = true, .ds64_size = 9 * std::int64_t{kGiB} / 2}.Build()
                           : Wave{.declared = r.field}.Build();
    const std::uint64_t start = source.header.size();
    source.length = r.after_header == kUnknown ? kUnknown : start + r.after_header;
    source.mark_at = r.mark_at == 0 ? kUnknown : start + r.mark_at;
    source.mark = r.mark;
    const auto p = ostrel::ProbeHeader(source, source.length);
    EXPECT_EQ(std::tuple(p.outcome, p.attributes.data_offset, p.attributes.frame_count),
              std::tuple(ostrel::ProbeOutcome::kOk, start, r.frames))
        << r.name;
  }
}

// A live capture's first line must not wait for bytes the probe does not
// need: a stream is read through the data chunk's size field, and only a
// walk that fails reads the whole head for the tag search.
TEST(Probe, AStreamIsReadOnlyAsFarAsTheWalkNeeds) {
  const Bytes s40(40);
  const struct {
    const char* name;
    Bytes file;
    std::uint64_t reached;
  } rows[] = {
      {.name = "canonical", .file = Wave{.samples = s40}.Build(), .reached = 44},
      {.name = "a LIST of 100 bytes ahead of the data", .file = Wave{.samples = s40, .chunks_before_data = {{.id = "LIST", .body = Bytes(100)}}}.Build(),
       .reached = 152},
      // fmt's 40-byte body at 20, data at 60.
      {.name = "extensible", .file = Wave{.bits = 24, .format = 0xFFFE, .samples = s40}.Build(), .reached = 68},
      // ds64 at 12 (36 bytes), fmt at 48, data at 72.
      {.name = "RF64", .file = Wave{.samples = s40, .riff_id = "RF64", .ds64 = true}.Build(), .reached = 80},
      {.name = "no chunk list: the tag search", .file = Wave{.samples = Bytes(20000), .riff_id = "RIFX"}.Build(),
       .reached = ostrel::kHeadBytes},
  };
  for (const auto& r : rows) {
    wb::FakeSource stream(r.file, UINT64_MAX, true);
    EXPECT_EQ(ostrel::ProbeHeader(stream, ostrel::kUnknownLength).outcome, ostrel::ProbeOutcome::kOk) << r.name;
    EXPECT_EQ(stream.reached, r.reached) << r.name;
  }
}

TEST(Probe, EncodingCode) {
  const auto ext = [](std::size_t fmt_bytes, std::uint16_t sub_format) {
    Bytes b = wave_writer::FormatBody(
        {.code = wave_writer::kExtensible, .channels = 1, .rate = 1000, .bits = 32, .sub_format = sub_format});
    return b.resize(fmt_bytes), b;
  };
  const auto riff = [](Bytes fmt) {
    return wave_writer::Riff({{.id = "fmt ", .body = std::move(fmt)}, {.id = "data"}});
  };
  // data at 12, fmt at 20: the sub-format's code at 52 and 53.
  const auto cut_after_data = [&](std::size_t n) {
    Bytes b = wave_writer::Riff({{.id = "data"}, {.id = "fmt ", .body = ext(40, 3)}});
    return b.resize(n), b;
  };
  const struct {
    const char* name;
    Bytes file;
    std::uint32_t encoding;
  } rows[] = {
      {.name = "PCM", .file = Wave{}.Build(), .encoding = 1},
      {.name = "float", .file = Wave{.bits = 32, .format = 3}.Build(), .encoding = 3},
      {.name = "A-law", .file = Wave{.bits = 8, .format = 6}.Build(), .encoding = 6},
      {.name = "mu-law", .file = Wave{.bits = 8, .format = 7}.Build(), .encoding = 7},
      {.name = "extensible float", .file = Wave{.bits = 32, .format = 0xFFFE, .subformat = 3}.Build(), .encoding = 3},
      {.name = "extensible PCM", .file = Wave{.bits = 32, .format = 0xFFFE, .subformat = 1}.Build(), .encoding = 1},
      {.name = "fmt of 26 bytes", .file = riff(ext(26, 3)), .encoding = 3},
      // Past the chunk, 1 (the cut sub-format's first byte and the pad) or 0 (the data size's high bytes).
      {.name = "fmt of 25 bytes", .file = riff(ext(25, 1)), .encoding = 0xFFFE},
      {.name = "fmt of 18 bytes", .file = riff(ext(18, 1)), .encoding = 0xFFFE},
      {.name = "file ends at F+33", .file = cut_after_data(53), .encoding = 0xFFFE},
      {.name = "file ends past F+33", .file = cut_after_data(54), .encoding = 3},
  };
  for (const auto& r : rows) {
    const auto p = Probe(r.file);
    EXPECT_EQ(std::tuple(p.outcome, p.attributes.encoding), std::tuple(ostrel::ProbeOutcome::kOk, r.encoding))
        << r.name;
  }
}

}  // namespace
