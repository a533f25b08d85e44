#include "waveform_line.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>

namespace ostrel {
namespace {

constexpr std::array<std::uint64_t, 4> kPowersOfTen = {1, 10, 100, 1000};

// Room for the longest time column: a float below 2^64 has at most 20
// integer digits; a point, three decimals, a tab, an int32 and a tab.
constexpr std::size_t kMaxTimeColumn = 48;

// The line is built in room that Reserve has already made, so the fixed-size
// copies below are within bounds by construction. With _FORTIFY_SOURCE at
// level 3 every memcpy into the output buffer would become a call to a
// checking function, a third of the cost of a short line; these go straight
// to the compiler's own copy, which is one load and one store.
inline void Copy(void* to, const void* from, std::size_t n) {
  __builtin_memcpy(to, from, n);
}

// "00", "01", ... "99": two digits per table look-up halves the divisions.
constexpr std::array<char, 200> kDigitPairs = [] {
  std::array<char, 200> pairs{};
  for (std::size_t i = 0; i < 100; ++i) {
    pairs[2 * i] = static_cast<char>('0' + i / 10);
    pairs[2 * i + 1] = static_cast<char>('0' + i % 10);
  }
  return pairs;
}();

inline void PutPair(char* out, std::uint32_t two_digits) {
  Copy(out, &kDigitPairs[std::size_t{2} * two_digits], 2);
}

// Numbers are written backwards, from their last digit, into the end of a
// small scratch area, and then moved to the line in one copy of a fixed 16
// bytes: that saves counting the digits first, and a copy of a fixed size
// is a single load and store. Every text moved this way is at most 16
// characters long.
constexpr std::size_t kMoveBytes = 16;
struct Scratch {
  std::array<char, 2 * kMoveBytes> bytes{};
  char* end() { return bytes.data() + kMoveBytes; }
};

// Writes v's digits so that they end just before `end`; returns the first.
inline char* DigitsBefore(char* end, std::uint32_t v) {
  while (v >= 100) {
    end -= 2;
    PutPair(end, v % 100);
    v /= 100;
  }
  if (v >= 10) {
    end -= 2;
    PutPair(end, v);
  } else {
    *--end = static_cast<char>('0' + v);
  }
  return end;
}

// Moves what lies from `first` to the scratch area's end to out.
inline char* MoveOut(char* out, const char* first, Scratch& scratch) {
  Copy(out, first, kMoveBytes);
  return out + (scratch.end() - first);
}

// The eight decimal digits of v (below 10^8), leading zeros included, one
// per byte of a word, the first digit in the lowest byte. Each step splits
// every lane of the word in two at once, with a multiplication and a shift
// standing in for the division (x * 10486 >> 20 is x / 100 for x below
// 43,699, x * 103 >> 10 is x / 10 for x below 179, and no lane's product
// reaches the next lane): 4 + 4 digits in 32-bit lanes, then 2 + 2 in
// 16-bit lanes, then 1 + 1 in bytes. The digits are still numbers 0 to 9,
// so the lowest byte that is not 0 holds the first significant digit.
inline std::uint64_t EightDigits(std::uint32_t v) {
  std::uint64_t x = v / 10000 | (std::uint64_t{v % 10000} << 32);
  std::uint64_t q = ((x * 10486) >> 20) & 0x0000007F0000007FU;  // x / 100
  x = q | ((x - q * 100) << 16);
  q = ((x * 103) >> 10) & 0x000F000F000F000FU;  // x / 10
  return q | ((x - q * 10) << 8);
}

// Writes v in decimal and returns the end; needs room for 16 characters.
// Every line with a frame number in it pays for one, and this costs about
// half of what a loop over digit pairs does.
char* PutDecimal(char* out, std::uint32_t v) {
  // The words below hold their text in little-endian byte order.
  if constexpr (std::endian::native != std::endian::little) {
    return std::to_chars(out, out + 16, v).ptr;
  }
  constexpr std::uint32_t kEightDigits = 100000000;
  constexpr std::uint64_t kZeros = 0x3030303030303030U;  // '0' in each byte
  if (v >= kEightDigits) {  // the leading one or two digits, then eight
    Scratch scratch;
    out = MoveOut(out, DigitsBefore(scratch.end(), v / kEightDigits),
                  scratch);
    v %= kEightDigits;
    const std::uint64_t digits = EightDigits(v) | kZeros;
    Copy(out, &digits, 8);
    return out + 8;
  }
  const std::uint64_t digits = EightDigits(v);
  // Bytes, and so digits, to drop: the leading zeros, but never the last
  // digit (its byte's lowest bit is bit 56), so that 0 prints as "0".
  const int zeros =
      std::countr_zero(digits | (std::uint64_t{1} << 56)) / 8;
  const std::uint64_t text = (digits | kZeros) >> (8 * zeros);
  Copy(out, &text, 8);
  return out + (8 - zeros);
}

// FormatFixed with the number of decimals known when compiling, so that
// scaling, dividing and splitting off the fraction are multiplications;
// every output line of the waveform pays for one.
template <int Decimals>
char* FormatFixedAt(char* out, float value) {
  // The exact value is m * 2^e. Rounding it to `Decimals` places the way
  // printf does (to nearest, exact ties to even) needs only integer
  // arithmetic.
  const auto bits = std::bit_cast<std::uint32_t>(value);
  const std::uint32_t field = (bits >> 23) & 0xFF;
  // Positive and below 2^64 (biased exponent 127 + 64): one comparison of
  // the bits, as the sign is their top bit.
  const bool simple = bits < (std::uint32_t{127 + 64} << 23);
  if (!simple) {
    return std::to_chars(out, out + kMaxTimeColumn, static_cast<double>(value),
                         std::chars_format::fixed, Decimals)
        .ptr;
  }
  constexpr std::uint64_t kScale = kPowersOfTen[Decimals];
  std::uint64_t mantissa = bits & 0x7FFFFF;
  int exponent = -149;  // subnormals: m * 2^-149
  if (field != 0) {
    mantissa |= 0x800000;
    exponent = static_cast<int>(field) - 150;
  }
  if (exponent >= 0) {
    // A whole number (below 2^64): rare enough for the general writer.
    out = std::to_chars(out, out + kMaxTimeColumn, mantissa << exponent).ptr;
    if constexpr (Decimals > 0) {
      *out++ = '.';
      out = std::fill_n(out, Decimals, '0');
    }
    return out;
  }
  // m * scale < 2^34; beyond a shift of 40 the value rounds to zero.
  const std::uint64_t scaled = mantissa * kScale;
  std::uint64_t q = 0;
  if (-exponent < 40) {
    const int shift = -exponent;
    q = scaled >> shift;
    const std::uint64_t rest = scaled & ((std::uint64_t{1} << shift) - 1);
    const std::uint64_t half = std::uint64_t{1} << (shift - 1);
    // Up when above half, and on an exact half when that makes q even.
    if (rest + (q & 1) > half) ++q;
  }
  // Below 2^24 before rounding, so at most 2^24 after it.
  const auto whole = static_cast<std::uint32_t>(q / kScale);
  const auto fraction = static_cast<std::uint32_t>(q % kScale);
  Scratch scratch;
  char* first = scratch.end() - Decimals;
  if constexpr (Decimals == 1) {
    *first = static_cast<char>('0' + fraction);
  } else if constexpr (Decimals == 2) {
    PutPair(first, fraction);
  } else if constexpr (Decimals == 3) {
    *first = static_cast<char>('0' + fraction / 100);
    PutPair(first + 1, fraction % 100);
  }
  if constexpr (Decimals > 0) *--first = '.';
  return MoveOut(out, DigitsBefore(first, whole), scratch);
}

// Short rows of dots are copied from here in one fixed-size move, which
// costs less than a call to memset; the line's room covers the overrun.
constexpr std::size_t kDotRun = 64;
constexpr std::array<char, kDotRun> kDots = [] {
  std::array<char, kDotRun> dots{};
  dots.fill('.');
  return dots;
}();

}  // namespace

char* FormatFixed(char* out, float value, int decimals) {
  switch (decimals) {
    case 0:
      return FormatFixedAt<0>(out, value);
    case 1:
      return FormatFixedAt<1>(out, value);
    case 2:
      return FormatFixedAt<2>(out, value);
    default:
      return FormatFixedAt<3>(out, value);
  }
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
  char* p = out.Reserve(kMaxTimeColumn + kDotRun + dots + 1);
  if (window_seconds >= 0.025) {
    p = FormatFixedAt<2>(p, t);
    *p++ = '\t';
  } else if (window_seconds > 0.001) {
    p = FormatFixedAt<3>(p, t);
    *p++ = '\t';
  } else {
    p = FormatFixedAt<3>(p, t);
    *p++ = '\t';
    // The low 32 bits, signed; widened again so that negating is safe.
    const std::int64_t low = static_cast<std::int32_t>(position);
    if (low < 0) *p++ = '-';
    p = PutDecimal(p, static_cast<std::uint32_t>(low < 0 ? -low : low));
    *p++ = '\t';
  }
  if (dots <= kDotRun) {
    Copy(p, kDots.data(), kDotRun);
  } else {
    std::memset(p, '.', dots);
  }
  p += dots;
  *p++ = '\n';
  out.Commit(p);
}

namespace {

void PutNumber(Output& out, float value, int decimals) {
  char* p = out.Reserve(64);
  out.Commit(std::to_chars(p, p + 64, static_cast<double>(value),
                           std::chars_format::fixed, decimals)
                 .ptr);
}

// A peak in level units as dB relative to full scale (128).
float PeakDecibels(double peak) {
  return static_cast<float>(20 * std::log10(peak * 0.0078125));
}

}  // namespace

void SummaryLines(Output& out, float magnification,
                  std::span<const double> peaks) {
  // The product is a float; the logarithm is taken in double precision.
  const float product = 256 * magnification;
  const auto threshold =
      static_cast<float>(-20 * std::log10(static_cast<double>(product)));
  out.Write("Showing values above ");
  PutNumber(out, threshold, 0);
  out.Write(" dB\n");
  if (peaks.size() == 1) {
    out.Write("Peak over interval ");
    PutNumber(out, PeakDecibels(peaks[0]), 1);
    out.Write(" dB\n");
  } else if (peaks.size() == 2) {
    out.Write("Peaks over interval ");
    PutNumber(out, PeakDecibels(peaks[0]), 1);
    out.Write(" L ");
    PutNumber(out, PeakDecibels(peaks[1]), 1);
    out.Write(" R\n");
  } else {
    out.Write("Peaks over interval");
    for (const double peak : peaks) {
      out.Write(" ");
      PutNumber(out, PeakDecibels(peak), 1);
    }
    out.Write(" dB\n");
  }
}

}  // namespace ostrel
