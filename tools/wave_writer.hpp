// Writes RIFF/WAVE headers for the programs that make recordings: the
// tests' wave builder, the fuzzer's seeds, the benchmark and the demo. It
// writes the plain 44-byte header, the extensible format chunk, extra
// chunks before the format and data chunks, the 64-bit form (a ds64 chunk
// holding the sizes) and declared sizes that differ from the truth, and it
// can write a header alone, for samples the caller streams after it.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace wave_writer {

using Bytes = std::vector<std::uint8_t>;

// Format codes.
inline constexpr std::uint16_t kPcm = 1;
inline constexpr std::uint16_t kFloat = 3;
inline constexpr std::uint16_t kALaw = 6;
inline constexpr std::uint16_t kMuLaw = 7;
inline constexpr std::uint16_t kExtensible = 0xFFFE;

// v as n little-endian bytes (a negative value in two's complement).
inline void Put(Bytes& out, std::uint64_t v, int n) {
  for (int k = 0; k < n; ++k) out.push_back(static_cast<std::uint8_t>(v >> (8 * k)));
}

// Text as it is: a chunk id, or the words of a LIST chunk.
inline void PutText(Bytes& out, std::string_view text) {
  for (const char c : text) out.push_back(static_cast<std::uint8_t>(c));
}

struct Format {
  std::uint16_t code = kPcm;
  std::uint16_t channels = 2;
  std::uint32_t rate = 44100;
  std::uint16_t bits = 16;
  // Extensible format only: the format code its sub-format stands for (the
  // first two bytes of the sub-format) and the speaker mask.
  std::uint16_t sub_format = kPcm;
  std::uint32_t channel_mask = 0;
};

// The format chunk's body: 16 bytes, or 40 for the extensible format. The
// frame size is channels x bits / 8, the byte rate the rate times that.
inline Bytes FormatBody(const Format& f) {
  const auto block_align = static_cast<std::uint32_t>(f.channels * f.bits / 8);
  Bytes b;
  Put(b, f.code, 2);
  Put(b, f.channels, 2);
  Put(b, f.rate, 4);
  Put(b, f.rate * block_align, 4);
  Put(b, block_align, 2);
  Put(b, f.bits, 2);
  if (f.code == kExtensible) {
    Put(b, 22, 2);      // bytes that follow
    Put(b, f.bits, 2);  // valid bits
    Put(b, f.channel_mask, 4);
    Put(b, f.sub_format, 2);  // the sub-format: the code, then the rest of the standard GUID
    for (const std::uint8_t x : {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71})
      b.push_back(x);
  }
  return b;
}

struct Chunk {
  std::string id = {};  // four characters
  Bytes body = {};
  // The size field, where it should say something other than the body's size.
  std::optional<std::uint32_t> size = std::nullopt;
  // Only the body, as it is: no id, size or pad byte (to misplace what follows).
  bool raw = false;
};

// Bytes put in as they are.
inline Chunk Raw(std::string_view bytes) {
  Chunk c{.raw = true};
  PutText(c.body, bytes);
  return c;
}

// A LIST chunk of INFO texts, each zero-terminated: {{"INAM", "title"}, ...}.
inline Chunk ListInfo(std::initializer_list<std::pair<std::string_view, std::string_view>> texts) {
  Chunk c{.id = "LIST"};
  PutText(c.body, "INFO");
  for (const auto& [id, text] : texts) {
    PutText(c.body, id);
    Put(c.body, text.size() + 1, 4);
    PutText(c.body, text);
    c.body.push_back(0);
    if (text.size() % 2 == 0) c.body.push_back(0);  // the text's odd size padded
  }
  return c;
}

// Id, size field and body, and a pad byte when the body's size is odd.
inline void PutChunk(Bytes& out, const Chunk& c) {
  if (!c.raw) {
    PutText(out, c.id);
    Put(out, c.size.value_or(static_cast<std::uint32_t>(c.body.size())), 4);
  }
  out.insert(out.end(), c.body.begin(), c.body.end());
  if (!c.raw && c.body.size() % 2 != 0) out.push_back(0);
}

// A RIFF/WAVE file holding just these chunks, in this order.
inline Bytes Riff(const std::vector<Chunk>& chunks) {
  Bytes body;
  PutText(body, "WAVE");
  for (const Chunk& c : chunks) PutChunk(body, c);
  Bytes b;
  PutText(b, "RIFF");
  Put(b, body.size(), 4);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

struct Header {
  std::string riff_id = "RIFF";  // "RF64" or "BW64" for the 64-bit form
  Format format = {};
  std::vector<Chunk> before_fmt = {}, before_data = {};
  std::uint64_t data_bytes = 0;        // the samples that follow the header
  std::uint64_t after_data_bytes = 0;  // what follows the samples, for the RIFF size
  // The data chunk's size field, where it should not say data_bytes: all
  // ones, 0x7FFFF000 or 0 as writers that cannot seek leave it, say.
  std::optional<std::uint32_t> data_size = std::nullopt;
  std::optional<std::uint32_t> riff_size = std::nullopt;  // likewise the RIFF size
  // A ds64 chunk first, holding the 64-bit RIFF and data sizes, the frame
  // count and no table; the RIFF and data size fields then say all ones.
  bool ds64 = false;
  std::optional<std::uint64_t> ds64_data_size = std::nullopt;  // other than data_bytes
};

// Everything ahead of the first sample.
inline Bytes HeaderBytes(const Header& h) {
  Bytes chunks;  // from the form type on
  PutText(chunks, "WAVE");
  std::size_t ds64_at = 0;
  if (h.ds64) {
    ds64_at = chunks.size();
    PutChunk(chunks, {.id = "ds64", .body = Bytes(28)});
  }
  for (const Chunk& c : h.before_fmt) PutChunk(chunks, c);
  PutChunk(chunks, {.id = "fmt ", .body = FormatBody(h.format)});
  for (const Chunk& c : h.before_data) PutChunk(chunks, c);
  PutText(chunks, "data");
  constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;
  Put(chunks, h.data_size.value_or(h.ds64 ? kAllOnes : static_cast<std::uint32_t>(h.data_bytes)), 4);

  const std::uint64_t riff_size = chunks.size() + h.data_bytes + h.after_data_bytes;
  if (h.ds64) {
    Bytes sizes;
    const std::uint32_t frame_bytes = h.format.channels * h.format.bits / 8U;
    Put(sizes, riff_size, 8);
    Put(sizes, h.ds64_data_size.value_or(h.data_bytes), 8);
    Put(sizes, frame_bytes == 0 ? 0 : h.data_bytes / frame_bytes, 8);
    std::copy(sizes.begin(), sizes.end(), chunks.begin() + static_cast<std::ptrdiff_t>(ds64_at + 8));
  }
  Bytes b;
  PutText(b, h.riff_id);
  Put(b, h.riff_size.value_or(h.ds64 ? kAllOnes : static_cast<std::uint32_t>(riff_size)), 4);
  b.insert(b.end(), chunks.begin(), chunks.end());
  return b;
}

// A whole file: the header, the samples (never padded: the data chunk's
// size may be odd on purpose), then any chunks that follow, after a pad
// byte where the samples' size is odd.
inline Bytes File(Header h, const Bytes& samples, const std::vector<Chunk>& after_data = {}) {
  Bytes after;
  if (!after_data.empty() && samples.size() % 2 != 0) after.push_back(0);
  for (const Chunk& c : after_data) PutChunk(after, c);
  h.data_bytes = samples.size();
  h.after_data_bytes = after.size();
  Bytes b = HeaderBytes(h);
  b.insert(b.end(), samples.begin(), samples.end());
  b.insert(b.end(), after.begin(), after.end());
  return b;
}

}  // namespace wave_writer
