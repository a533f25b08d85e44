#include "wave_header.hpp"

#include <array>
#include <cstring>

#include "input.hpp"

namespace ostrel {
namespace {

// Tags are looked for at even offsets from 2 up to this one.
constexpr std::uint64_t kLastTagOffset = 15000;
// The farthest field the search reads ends 34 bytes past the last offset.
static_assert(kHeaderBytes == kLastTagOffset + 34);

constexpr int kFormatPcm = 1;
constexpr int kFormatExtensible = 0xFFFE;
// An extensible format chunk's sub-format starts 24 bytes into its body.
constexpr std::uint32_t kBodyBytesToSubFormat = 26;

// The head of the file, read once; a field counts as present only if all
// of its bytes arrived, so a file cut short inside a field lacks it.
class Head {
 public:
  explicit Head(ByteSource& source)
      : got_(source.ReadAt(0, bytes_.data(), bytes_.size())) {}

  bool Has(std::uint64_t offset, std::size_t n) const {
    return offset <= got_ && n <= got_ - offset;
  }
  const std::uint8_t* At(std::uint64_t offset) const {
    return bytes_.data() + offset;
  }
  bool Matches(std::uint64_t offset, const char* tag) const {
    const std::size_t n = std::strlen(tag);
    return Has(offset, n) && std::memcmp(At(offset), tag, n) == 0;
  }
  // First even offset from 2 where the tag stands, or 0 if none does.
  std::uint64_t Find(const char* tag) const {
    for (std::uint64_t offset = 2; offset <= kLastTagOffset; offset += 2) {
      if (Matches(offset, tag)) return offset;
    }
    return 0;
  }
  int Field16(std::uint64_t offset) const {
    return Assem2(At(offset)[0], At(offset)[1]);
  }
  std::int64_t Field32(std::uint64_t offset) const {
    const std::uint8_t* p = At(offset);
    return Assem4(p[0], p[1], p[2], p[3]);
  }

 private:
  std::array<std::uint8_t, kHeaderBytes> bytes_{};
  std::size_t got_;
};

// Whether the format chunk at f declares integer PCM: plainly, or as an
// extensible format whose sub-format is PCM. Anything unreadable is "no".
bool DeclaresIntegerPcm(const Head& head, std::uint64_t f) {
  if (!head.Has(f + 8, 2)) return false;
  const int code = head.Field16(f + 8);
  if (code == kFormatPcm) return true;
  if (code != kFormatExtensible || !head.Has(f + 4, 4) ||
      !head.Has(f + 32, 2)) {
    return false;
  }
  const auto body_bytes = static_cast<std::uint32_t>(head.Field32(f + 4));
  return body_bytes >= kBodyBytesToSubFormat &&
         head.Field16(f + 32) == kFormatPcm;
}

}  // namespace

int Assem2(std::uint8_t b0, std::uint8_t b1) { return b0 + 256 * b1; }

std::int64_t Assem4(std::uint8_t b0, std::uint8_t b1, std::uint8_t b2,
                    std::uint8_t b3) {
  const std::uint32_t bits = b0 | (std::uint32_t{b1} << 8) |
                             (std::uint32_t{b2} << 16) |
                             (std::uint32_t{b3} << 24);
  return static_cast<std::int32_t>(bits);
}

ProbeResult ProbeHeader(ByteSource& source, std::uint64_t file_length) {
  ProbeResult result;
  const Head head(source);

  const std::uint64_t f = head.Find("fmt");
  // A header cut short inside the fields we need is as good as no format.
  if (f == 0 || !head.Has(f + 10, 2) || !head.Has(f + 12, 4) ||
      !head.Has(f + 22, 2)) {
    result.outcome = ProbeOutcome::kNoFormatChunk;
    return result;
  }
  WaveAttributes& wa = result.attributes;
  wa.channels = static_cast<std::uint32_t>(head.Field16(f + 10));
  wa.bytes_per_sample = static_cast<std::uint32_t>(head.Field16(f + 22) / 8);
  // Widened with its sign: a rate field with the top bit set is huge.
  wa.sample_rate = static_cast<std::uint64_t>(head.Field32(f + 12));
  wa.integer_samples = DeclaresIntegerPcm(head, f);

  const std::uint64_t d = head.Find("data");
  if (d == 0 || !head.Has(d + 4, 4)) {
    result.outcome = ProbeOutcome::kNoDataBlock;
    return result;
  }
  wa.data_offset = d + 8;
  // An all-ones size (a writer that never filled it in) becomes huge and
  // is then limited by the file's length below.
  const auto declared = static_cast<std::uint64_t>(head.Field32(d + 4));

  const std::uint32_t frame_size = wa.channels * wa.bytes_per_sample;
  if (frame_size == 0) {
    wa.frame_count = 0;  // the driver rejects this layout
    return result;
  }
  wa.frame_count = declared / frame_size;
  const std::uint64_t available =
      file_length > wa.data_offset ? file_length - wa.data_offset : 0;
  if (available < wa.frame_count * frame_size) {
    wa.frame_count = available / frame_size;
  }
  return result;
}

ProbeResult GetAttributes(Input& input) {
  return ProbeHeader(input, input.Length());
}

}  // namespace ostrel
