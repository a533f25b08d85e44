#include "input.hpp"
#include "wave_builder.hpp"

namespace {

using wb::Bytes;
using wb::Wave;

ostrel::ProbeResult Probe(const Bytes& file) {
  ostrel::Input input;
  EXPECT_TRUE(input.Open(wb::Write(file)));
  return ostrel::GetAttributes(input);
}

TEST(Assem, LittleEndianFields) {
  EXPECT_EQ(ostrel::Assem2(0xFF, 0xFF), 65535);
  EXPECT_EQ(ostrel::Assem2(0x34, 0x12), 0x1234);
  EXPECT_EQ(ostrel::Assem4(0xFF, 0xFF, 0xFF, 0xFF), -1);
  EXPECT_EQ(ostrel::Assem4(0x00, 0x00, 0x00, 0x80), -2147483648LL);
  EXPECT_EQ(ostrel::Assem4(0xFF, 0xFF, 0xFF, 0x7F), 2147483647);
  EXPECT_EQ(ostrel::Assem4(0x44, 0xAC, 0x00, 0x00), 44100);
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
  const std::tuple<Bytes, ostrel::ProbeOutcome, std::uint64_t, std::uint64_t> cases[] = {
      {canonical, kOk, 44, 20},
      {data_at_0, kOk, 44, 20},
      {Wave{.before_fmt = x(10), .samples = s40}.Build(), kOk, 54, 20},
      {Wave{.before_data = x(100), .samples = s40}.Build(), kOk, 144, 20},
      {Wave{.before_fmt = x(1), .samples = s40}.Build(), kNoFormatChunk, 0, 0},
      {Wave{.before_fmt = data_first, .samples = s40}.Build(), kOk, 20, 3},
      {Wave{.before_fmt = data_first + x(14980), .samples = s40}.Build(), kOk, 20, 3},  // fmt at 15000
      {Wave{.before_fmt = x(14990), .samples = s40}.Build(), kNoFormatChunk, 0, 0},
      {Wave{.before_data = x(14964), .samples = s40}.Build(), kOk, 15008, 20},  // data at 15000
      {Wave{.before_data = x(14966), .samples = s40}.Build(), kNoDataBlock, 0, 0},
      {Wave{.declared = 60, .samples = s40}.Build(), kOk, 44, 20},
      {Wave{.declared = 20, .samples = s40}.Build(), kOk, 44, 10},
      {Wave{.declared = 0xFFFFFFFF, .samples = s40}.Build(), kOk, 44, 20},
      {Wave{.channels = 2, .samples = Bytes(10)}.Build(), kOk, 44, 2},
      {Wave{.channels = 2, .declared = 0xFFFFFFFF, .samples = Bytes(11)}.Build(), kOk, 44, 2},
      {Wave{.channels = 0, .samples = s40}.Build(), kOk, 44, 0},
      // Cut inside the channels, sample rate, bits, data tag and data size.
      {cut(canonical, 23), kNoFormatChunk, 0, 0}, {cut(canonical, 27), kNoFormatChunk, 0, 0},
      {cut(canonical, 35), kNoFormatChunk, 0, 0}, {cut(canonical, 39), kNoDataBlock, 0, 0},
      {cut(canonical, 43), kNoDataBlock, 0, 0}, {cut(canonical, 45), kOk, 44, 0},
  };
  for (int row = 0; const auto& [file, outcome, offset, frames] : cases) {
    const auto r = Probe(file);
    const bool ok = r.outcome == kOk;
    EXPECT_EQ(std::tuple(r.outcome, ok ? r.attributes.data_offset : 0, ok ? r.attributes.frame_count : 0),
              std::tuple(outcome, offset, frames))
        << "row " << row++;
  }
}

}  // namespace
