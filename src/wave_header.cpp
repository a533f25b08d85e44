#include "wave_header.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "little_endian.hpp"

namespace ostrel {
namespace {

// A chunk is a 4-byte id, a 4-byte little-endian size, the body, and a pad
// byte when the size is odd. The list starts past "RIFF", its size and
// "WAVE".
constexpr std::uint64_t kChunkSize = 4;
constexpr std::uint64_t kChunkHeaderBytes = 8;
constexpr std::uint64_t kFirstChunk = 12;
// A list longer than this, or broken, is left to the tag search.
constexpr int kMaxChunkHeaders = 4096;

// Fields of the format chunk, as offsets from its tag: the chunk's size,
// then its body's format code, channels, sample rate and bits per sample,
// and an extensible format's sub-format (its first two bytes are the code).
constexpr std::uint64_t kFmtChunkSize = kChunkSize;
constexpr std::uint64_t kFmtFormatCode = 8;
constexpr std::uint64_t kFmtChannels = 10;
constexpr std::uint64_t kFmtSampleRate = 12;
constexpr std::uint64_t kFmtBitsPerSample = 22;
constexpr std::uint64_t kFmtSubFormat = 32;
// Every field above lies within this many bytes of the tag.
constexpr std::size_t kFmtFieldBytes = kFmtSubFormat + 2;
// The data chunk's size field, and its first sample, past its tag.
constexpr std::uint64_t kDataChunkSize = kChunkSize;
constexpr std::uint64_t kDataFirstSample = kChunkHeaderBytes;
// A ds64 chunk's 64-bit data size (its body's bytes 8 to 15), past its tag,
// and the least size of a body that holds it.
constexpr std::uint64_t kDs64DataSize = 16;
constexpr std::uint32_t kDs64BodyBytes = 16;

// Tags are looked for at even offsets from 2 up to this one; the head holds
// every field read past a tag found there.
constexpr std::uint64_t kLastTagOffset = 15000;
static_assert(kHeadBytes == kLastTagOffset + kFmtFieldBytes);

constexpr int kFormatExtensible = 0xFFFE;
// An extensible format chunk's body reaches its sub-format's code from
// this size on (the sub-format starts 24 bytes into the body).
constexpr std::uint32_t kBodyBytesToSubFormat = 26;
constexpr std::uint32_t kAllOnes = 0xFFFFFFFF;

// Bytes copied from the file at some offset; a field counts as present
// only if all of its bytes arrived, so a file cut short inside it lacks it.
template <std::size_t N>
struct Copy {
  std::array<std::uint8_t, N> bytes{};
  std::size_t got = 0;

  bool Has(std::uint64_t offset, std::size_t n) const {
    return offset <= got && n <= got - offset;
  }
  bool Is(const char* tag) const {
    return Has(0, 4) && std::memcmp(bytes.data(), tag, 4) == 0;
  }
  // A 16-bit field, 0 to 65535.
  int Field16(std::uint64_t offset) const {
    return LoadLe<std::uint16_t>(bytes.data() + offset);
  }
  // A 32-bit field, 0 to 2^32 - 1.
  std::uint32_t Field32u(std::uint64_t offset) const {
    return LoadLe<std::uint32_t>(bytes.data() + offset);
  }
  // A 32-bit field read as a signed number: a field with its top bit set
  // comes out negative.
  std::int64_t Field32(std::uint64_t offset) const {
    return static_cast<std::int32_t>(
        LoadLe<std::uint32_t>(bytes.data() + offset));
  }
};

// The head of the file, as far as the probe has needed it. A file's comes
// in one read. A stream's comes only as far as the reads ask, so that a
// live capture is not kept waiting for bytes the chunk walk does not need;
// the tag search asks for all of it. Reads past the head go to the source
// at the offsets asked for, which a chunk walk asks in increasing order,
// so a source read once in order can serve them too.
class Head {
 public:
  explicit Head(ByteSource& source) : source_(source) {}

  // n bytes at offset into dst, from the head as far as it holds them;
  // returns how many arrived.
  std::size_t Read(std::uint64_t offset, std::uint8_t* dst, std::size_t n) {
    Extend(offset + n);
    std::size_t done = 0;
    if (offset < size_) {
      done = std::min<std::size_t>(n, size_ - offset);
      std::memcpy(dst, bytes_.data() + offset, done);
    }
    // A head that came up short ended at the end of the source.
    if (done < n && size_ == kHeadBytes) {
      done += source_.ReadAt(offset + done, dst + done, n - done);
    }
    return done;
  }
  template <std::size_t N>
  Copy<N> Read(std::uint64_t offset) {
    Copy<N> copy;
    copy.got = Read(offset, copy.bytes.data(), N);
    return copy;
  }

  bool Matches(std::uint64_t offset, const char* tag) {
    const std::size_t n = std::strlen(tag);
    Extend(offset + n);
    return offset <= size_ && n <= size_ - offset &&
           std::memcmp(bytes_.data() + offset, tag, n) == 0;
  }
  // First even offset from 2 where the tag stands, or 0 if none does.
  std::uint64_t Find(const char* tag) {
    Extend(kHeadBytes);
    for (std::uint64_t offset = 2; offset <= kLastTagOffset; offset += 2) {
      if (Matches(offset, tag)) return offset;
    }
    return 0;
  }

 private:
  // Makes the head hold the source's first `end` bytes, or as many of
  // them as it has.
  void Extend(std::uint64_t end) {
    if (ended_ || end <= size_ || size_ == kHeadBytes) return;
    const std::size_t want =
        source_.Sequential() ? static_cast<std::size_t>(std::min<std::uint64_t>(end, kHeadBytes))
                             : kHeadBytes;
    const std::size_t got = source_.ReadAt(size_, bytes_.data() + size_, want - size_);
    ended_ = got < want - size_;
    size_ += got;
  }

  ByteSource& source_;
  std::array<std::uint8_t, kHeadBytes> bytes_{};
  std::size_t size_ = 0;
  bool ended_ = false;
};

// Where the format and data chunks are (0: not found), and the bytes read
// of them, copied as they were passed.
struct Chunks {
  std::uint64_t f = 0;
  std::uint64_t d = 0;
  Copy<kFmtFieldBytes> fmt;
  Copy<kChunkHeaderBytes> data;
  std::uint64_t ds64_data_size = 0;  // 0: none
};

// Walks the chunk list of a RIFF, RF64 or BW64 WAVE file up to its first
// data chunk; true when it got there past a format chunk. It stops without
// one where a chunk header is not wholly in the file and after
// kMaxChunkHeaders headers, data and format chunks counted.
bool WalkChunks(Head& head, Chunks& found) {
  if ((!head.Matches(0, "RIFF") && !head.Matches(0, "RF64") &&
       !head.Matches(0, "BW64")) ||
      !head.Matches(8, "WAVE")) {
    return false;
  }
  std::uint64_t offset = kFirstChunk;
  for (int n = 1; n <= kMaxChunkHeaders; ++n) {
    const auto header = head.Read<kChunkHeaderBytes>(offset);
    if (header.got < kChunkHeaderBytes) return false;
    if (header.Is("data")) {
      found.d = offset;
      found.data = header;
      return found.f != 0;
    }
    const auto size = header.Field32u(kChunkSize);
    if (found.f == 0 && header.Is("fmt ")) {
      found.f = offset;
      std::memcpy(found.fmt.bytes.data(), header.bytes.data(), header.got);
      // The fields up to the bits per sample, and the sub-format only
      // where the chunk is long enough to hold it: a stream is read no
      // further than the walk needs.
      const std::size_t body = size >= kBodyBytesToSubFormat
                                   ? kFmtFieldBytes - kChunkHeaderBytes
                                   : kFmtBitsPerSample + 2 - kChunkHeaderBytes;
      found.fmt.got =
          header.got + head.Read(offset + kChunkHeaderBytes,
                                 found.fmt.bytes.data() + kChunkHeaderBytes,
                                 body);
    }
    if (n == 1 && header.Is("ds64") && size >= kDs64BodyBytes) {
      const auto ds64 = head.Read<8>(offset + kDs64DataSize);
      if (ds64.got == 8) {
        found.ds64_data_size = LoadLe<std::uint64_t>(ds64.bytes.data());
      }
    }
    offset += kChunkHeaderBytes + size + (size & 1);
  }
  return false;
}

// The format code; for the extensible format, the sub-format's code where
// the chunk declares it and the file holds it.
std::uint32_t EncodingCode(const Copy<kFmtFieldBytes>& fmt) {
  const int code = fmt.Field16(kFmtFormatCode);
  if (code == kFormatExtensible && fmt.Has(kFmtSubFormat, 2) &&
      fmt.Field32u(kFmtChunkSize) >=
          kBodyBytesToSubFormat) {
    return static_cast<std::uint32_t>(fmt.Field16(kFmtSubFormat));
  }
  return static_cast<std::uint32_t>(code);
}

// A width that is not a whole number of bytes is stored left-justified in
// the next whole byte (12 bits in 2 bytes, 20 in 3), as writers of such
// files do; below 8 bits there is no byte to hold them and the layout is
// refused.
std::uint32_t BytesPerSample(int bits) {
  const auto b = static_cast<std::uint32_t>(bits);
  return b < 8 ? 0 : (b + 7) / 8;
}

// Whether the bytes from `offset` to the end of the file at `end` are
// chunks, one after another up to the end: each one's whole header in the
// file, its id four printable bytes, its body within what is left (a last
// odd body may go without its pad byte). A list longer than
// kMaxChunkHeaders counts as chunks, wherever it ends.
bool ChunksToTheEnd(ByteSource& source, std::uint64_t offset,
                    std::uint64_t end) {
  for (int n = 0; n < kMaxChunkHeaders && offset < end; ++n) {
    if (end - offset < kChunkHeaderBytes) return false;
    Copy<kChunkHeaderBytes> header;
    header.got = source.ReadAt(offset, header.bytes.data(), kChunkHeaderBytes);
    if (header.got < kChunkHeaderBytes ||
        !std::all_of(header.bytes.begin(), header.bytes.begin() + kChunkSize,
                     [](std::uint8_t c) { return c >= ' ' && c <= '~'; })) {
      return false;
    }
    const std::uint64_t size = header.Field32u(kChunkSize);
    if (size > end - offset - kChunkHeaderBytes) return false;
    offset += kChunkHeaderBytes + size + (size & 1);
  }
  return true;
}

// The true size of a data chunk whose 32-bit size wrapped, with
// `available` bytes from its first sample to the end of the file: the
// field plus as many times 2^32 as fit, where the samples end there exactly
// or chunks (metadata) follow them to the end; otherwise, as for a copy cut
// short, all that the file holds. In such a copy the samples go on where
// the size points, and four of their bytes may well be printable, so one
// header that looks right is not enough: the whole rest must be chunks.
std::uint64_t UnwrappedSize(ByteSource& source, std::uint64_t data_offset,
                            std::uint32_t size_field, std::uint64_t available) {
  constexpr std::uint64_t kWrap = std::uint64_t{1} << 32;
  const std::uint64_t size =
      size_field + (available - size_field) / kWrap * kWrap;
  const std::uint64_t next = size + (size & 1);  // past the pad byte
  if (next >= available) return size;
  return ChunksToTheEnd(source, data_offset + next, data_offset + available)
             ? size
             : available;
}

}  // namespace

ProbeResult ProbeHeader(ByteSource& source, std::uint64_t file_length) {
  ProbeResult result;
  Head head(source);
  Chunks found;
  // The chunk list where it leads to a data chunk past a format chunk;
  // otherwise the tag search decides both, as if there were no list.
  result.tag_search = !WalkChunks(head, found);
  if (result.tag_search) {
    found = Chunks{};  // nothing the walk saw counts, a ds64 size included
    found.f = head.Find("fmt");
    if (found.f != 0) found.fmt = head.Read<kFmtFieldBytes>(found.f);
    found.d = head.Find("data");
    if (found.d != 0) found.data = head.Read<kChunkHeaderBytes>(found.d);
  }

  const Copy<kFmtFieldBytes>& fmt = found.fmt;
  // A header cut short inside the fields we need is as good as no format.
  if (found.f == 0 || !fmt.Has(kFmtChannels, 2) ||
      !fmt.Has(kFmtSampleRate, 4) || !fmt.Has(kFmtBitsPerSample, 2)) {
    result.outcome = ProbeOutcome::kNoFormatChunk;
    return result;
  }
  WaveAttributes& wa = result.attributes;
  wa.channels = static_cast<std::uint32_t>(fmt.Field16(kFmtChannels));
  wa.bytes_per_sample = BytesPerSample(fmt.Field16(kFmtBitsPerSample));
  // Widened with its sign: a rate field with the top bit set is huge.
  wa.sample_rate = static_cast<std::uint64_t>(fmt.Field32(kFmtSampleRate));
  wa.encoding = EncodingCode(fmt);

  if (found.d == 0 || !found.data.Has(kDataChunkSize, 4)) {
    result.outcome = ProbeOutcome::kNoDataBlock;
    return result;
  }
  wa.data_offset = found.d + kDataFirstSample;
  const std::uint64_t available =
      file_length > wa.data_offset ? file_length - wa.data_offset : 0;
  // The size is an unsigned 32-bit count. All ones is a writer that never
  // filled it in: the true size is in a ds64 chunk at the head of the
  // list, or else unknown, and the input's length limits it below. A file
  // with more bytes after the data offset than 32 bits can count was
  // written past 4 GiB without RF64, its size wrapped. A stream's length
  // is unknown, so there the declared count holds.
  const std::uint32_t size_field = found.data.Field32u(kDataChunkSize);
  std::uint64_t declared = size_field;
  if (size_field == kAllOnes) {
    declared = found.ds64_data_size != 0 ? found.ds64_data_size
                                         : std::numeric_limits<std::uint64_t>::max();
  } else if (file_length != kUnknownLength && available > kAllOnes) {
    declared = UnwrappedSize(source, wa.data_offset, size_field, available);
  }

  const std::uint32_t frame_size = wa.channels * wa.bytes_per_sample;
  if (frame_size == 0) {
    wa.frame_count = 0;  // the driver rejects this layout
    return result;
  }
  wa.frame_count = declared / frame_size;
  if (available < wa.frame_count * frame_size) {
    wa.frame_count = available / frame_size;
  }
  // A stream that the walk took past its head before it gave up has lost
  // the bytes between its head and its last few: where the frames the tag
  // search points at lie among them, the data is gone. Only the input
  // knows what it still holds.
  if (!source.CanServe(wa.data_offset, wa.frame_count * frame_size)) {
    result.outcome = ProbeOutcome::kNoDataBlock;
  }
  return result;
}

ProbeResult GetAttributes(ByteSource& input) {
  return ProbeHeader(input, input.Length());
}

}  // namespace ostrel
