#include "waveform_line.hpp"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <charconv>
#include <cstring>

namespace ostrel {
namespace {

constexpr std::array<std::uint64_t, 4> kPowersOfTen = {1, 10, 100, 1000};

// Room for the longest time column: a float below 2^64 has at most 20
// integer digits; a point, three decimals, a tab, an int32 and a tab.
constexpr std::size_t kMaxTimeColumn = 48;

}  // namespace

void Output::Write(std::string_view text) {
  while (!text.empty()) {
    char* p = Reserve(1);
    const std::size_t room = kCapacity - used_;
    const std::size_t n = text.size() < room ? text.size() : room;
    std::memcpy(p, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
  }
}

bool Output::Flush() {
  const char* p = buffer_.data();
  std::size_t left = used_;
  used_ = 0;
  if (sink_ != nullptr) {
    sink_->append(p, left);
    return true;
  }
  // After a failure the rest is dropped: the run is failing anyway, and
  // retrying a full disk for every line would only waste time.
  while (left > 0 && error_ == 0) {
    const ssize_t w = ::write(fd_, p, left);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) {
      error_ = w < 0 ? errno : EIO;
      break;
    }
    p += w;
    left -= static_cast<std::size_t>(w);
  }
  return error_ == 0;
}

char* FormatFixed(char* out, float value, int decimals) {
  // The exact value is m * 2^e. Rounding it to `decimals` places the way
  // printf does (to nearest, exact ties to even) needs only integer
  // arithmetic; it is several times cheaper than a general formatter, which
  // matters when every output line carries one.
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t field = (bits >> 23) & 0xFF;
  const bool simple = (bits >> 31) == 0 && field != 0xFF &&
                      value < 18446744073709551616.0F;  // 2^64
  if (!simple) {
    return std::to_chars(out, out + kMaxTimeColumn, static_cast<double>(value),
                         std::chars_format::fixed, decimals)
        .ptr;
  }
  const std::uint64_t scale = kPowersOfTen[static_cast<std::size_t>(decimals)];
  std::uint64_t mantissa = bits & 0x7FFFFF;
  int exponent = -149;  // subnormals: m * 2^-149
  if (field != 0) {
    mantissa |= 0x800000;
    exponent = static_cast<int>(field) - 150;
  }
  std::uint64_t whole = 0;
  std::uint64_t fraction = 0;  // in units of 10^-decimals
  if (exponent >= 0) {
    whole = mantissa << exponent;  // an integer below 2^64
  } else {
    // m * scale < 2^34; beyond a shift of 40 the value rounds to zero.
    const std::uint64_t scaled = mantissa * scale;
    std::uint64_t q = 0;
    if (-exponent < 40) {
      const int shift = -exponent;
      q = scaled >> shift;
      const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
      const std::uint64_t half = std::uint64_t{1} << (shift - 1);
      if (rest > half || (rest == half && (q & 1) != 0)) ++q;
    }
    whole = q / scale;
    fraction = q % scale;
  }
  out = std::to_chars(out, out + kMaxTimeColumn, whole).ptr;
  if (decimals > 0) {
    *out++ = '.';
    for (int d = decimals - 1; d >= 0; --d) {
      out[d] = static_cast<char>('0' + fraction % 10);
      fraction /= 10;
    }
    out += decimals;
  }
  return out;
}

void Waveform(Output& out, std::int64_t position, std::uint32_t rate,
              double level, double window_seconds) {
  const float t = static_cast<float>(position) / static_cast<float>(rate);
  std::uint32_t dots = 0;
  if (level >= kMaxDots) {
    dots = kMaxDots;
  } else if (level >= 1) {
    dots = static_cast<std::uint32_t>(level);
  }
  char* p = out.Reserve(kMaxTimeColumn + dots + 1);
  if (window_seconds >= 0.025) {
    p = FormatFixed(p, t, 2);
    *p++ = '\t';
  } else if (window_seconds > 0.001) {
    p = FormatFixed(p, t, 3);
    *p++ = '\t';
  } else {
    p = FormatFixed(p, t, 3);
    *p++ = '\t';
    p = std::to_chars(p, p + 12, static_cast<std::int32_t>(position)).ptr;
    *p++ = '\t';
  }
  std::memset(p, '.', dots);
  p += dots;
  *p++ = '\n';
  out.Commit(p);
}

}  // namespace ostrel
