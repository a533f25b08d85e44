#include "wave_header.hpp"

#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <limits>

namespace ostrel {
namespace {

// Fields of the format chunk, as offsets from its tag: the chunk's size,
// then its body's format code, channels, sample rate and bits per sample,
// and an extensible format's sub-format (its first two bytes are the code).
constexpr std::uint64_t kFmtChunkSize = 4;
constexpr std::uint64_t kFmtFormatCode = 8;
constexpr std::uint64_t kFmtChannels = 10;
constexpr std::uint64_t kFmtSampleRate = 12;
constexpr std::uint64_t kFmtBitsPerSample = 22;
constexpr std::uint64_t kFmtSubFormat = 32;
// The data chunk's size field, and its first sample, past its tag.
constexpr std::uint64_t kDataChunkSize = 4;
constexpr std::uint64_t kDataFirstSample = 8;

// Tags are looked for at even offsets from 2 up to this one.
constexpr std::uint64_t kLastTagOffset = 15000;
// Every field the probe reads lies within this many bytes of the start:
// the farthest is the first two bytes of an extensible format's sub-format,
// past a format tag found at the last offset.
constexpr std::size_t kHeaderBytes = kLastTagOffset + kFmtSubFormat + 2;

constexpr int kFormatPcm = 1;
constexpr int kFormatExtensible = 0xFFFE;
// An extensible format chunk's body reaches its sub-format's code from
// this size on (the sub-format starts 24 bytes into the body).
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
  if (!head.Has(f + kFmtFormatCode, 2)) return false;
  const int code = head.Field16(f + kFmtFormatCode);
  if (code == kFormatPcm) return true;
  if (code != kFormatExtensible || !head.Has(f + kFmtChunkSize, 4) ||
      !head.Has(f + kFmtSubFormat, 2)) {
    return false;
  }
  const auto body_bytes =
      static_cast<std::uint32_t>(head.Field32(f + kFmtChunkSize));
  return body_bytes >= kBodyBytesToSubFormat &&
         head.Field16(f + kFmtSubFormat) == kFormatPcm;
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

WaveFile::WaveFile(const std::string& name)
    // O_NONBLOCK keeps the open of a FIFO without a writer from waiting
    // forever; it changes nothing for regular files.
    : fd_(::open(name.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)) {}

WaveFile::~WaveFile() {
  if (fd_ >= 0) ::close(fd_);
}

std::uint64_t WaveFile::Length() const {
  const off_t end = ::lseek(fd_, 0, SEEK_END);
  return end < 0 ? 0 : static_cast<std::uint64_t>(end);
}

std::size_t WaveFile::ReadAt(std::uint64_t offset, std::uint8_t* dst,
                             std::size_t n) {
  constexpr auto kMaxOffset =
      static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
  std::size_t done = 0;
  while (done < n && offset + done <= kMaxOffset) {
    const ssize_t r = ::pread(fd_, dst + done, n - done,
                              static_cast<off_t>(offset + done));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) break;  // end of file, or a file that cannot be positioned
    done += static_cast<std::size_t>(r);
  }
  return done;
}

ProbeResult ProbeHeader(ByteSource& source, std::uint64_t file_length) {
  ProbeResult result;
  const Head head(source);

  const std::uint64_t f = head.Find("fmt");
  // A header cut short inside the fields we need is as good as no format.
  if (f == 0 || !head.Has(f + kFmtChannels, 2) ||
      !head.Has(f + kFmtSampleRate, 4) || !head.Has(f + kFmtBitsPerSample, 2)) {
    result.outcome = ProbeOutcome::kNoFormatChunk;
    return result;
  }
  WaveAttributes& wa = result.attributes;
  wa.channels = static_cast<std::uint32_t>(head.Field16(f + kFmtChannels));
  wa.bytes_per_sample =
      static_cast<std::uint32_t>(head.Field16(f + kFmtBitsPerSample) / 8);
  // Widened with its sign: a rate field with the top bit set is huge.
  wa.sample_rate =
      static_cast<std::uint64_t>(head.Field32(f + kFmtSampleRate));
  wa.integer_samples = DeclaresIntegerPcm(head, f);

  const std::uint64_t d = head.Find("data");
  if (d == 0 || !head.Has(d + kDataChunkSize, 4)) {
    result.outcome = ProbeOutcome::kNoDataBlock;
    return result;
  }
  wa.data_offset = d + kDataFirstSample;
  // An all-ones size (a writer that never filled it in) becomes huge and
  // is then limited by the file's length below.
  const auto declared =
      static_cast<std::uint64_t>(head.Field32(d + kDataChunkSize));

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

ProbeResult GetAttributes(const std::string& file_name) {
  WaveFile file(file_name);
  if (!file.is_open()) {
    ProbeResult result;
    result.outcome = ProbeOutcome::kCannotOpen;
    return result;
  }
  return ProbeHeader(file, file.Length());
}

}  // namespace ostrel
