#include "interval_scan.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

#include "float32_decode.hpp"

namespace ostrel {
namespace {

constexpr std::size_t kBlockFrames = 4096;
constexpr std::size_t kMaxFrameBytes = 8;

// Signed little-endian integer sample of 2, 3 or 4 bytes.
template <int Bytes>
inline std::int64_t DecodeInteger(const std::uint8_t* p) {
  if constexpr (Bytes == 2) {
    return static_cast<std::int16_t>(p[0] | (p[1] << 8));
  } else if constexpr (Bytes == 3) {
    // The top byte carries the sign; the lower two count 0 to 255.
    return static_cast<std::int8_t>(p[2]) * 65536 + (p[1] << 8) + p[0];
  } else {
    return static_cast<std::int32_t>(
        p[0] | (p[1] << 8) | (p[2] << 16) |
        (static_cast<std::uint32_t>(p[3]) << 24));
  }
}

// Level units per integer step: full scale, 2^(8*Bytes-1), becomes 128.
template <int Bytes>
constexpr double kIntegerScale = 1.0 / static_cast<double>(
                                           std::uint64_t{1} << (8 * (Bytes - 1)));

// Integer samples whose window sum provably stays exact. The sum of
// magnitudes is kept as an integer: each |v| is a whole number of steps of
// kIntegerScale (a power of two), so while every partial sum stays at or
// below 2^53 steps, adding the doubles one by one in frame order is exact
// too and gives the very double we get by scaling the integer sum at the
// end. Being exact, the order of additions is free, which lets the loop
// below vectorise. The caller picks this kernel only when
// window * channels * 2^(8*Bytes-1) <= 2^53.
template <int Bytes, int Channels>
class ExactIntegerKernel {
 public:
  static constexpr std::size_t kFrameBytes = std::size_t{Bytes} * Channels;

  void Add(const std::uint8_t* p, std::size_t frames) {
    std::uint64_t sum = 0;
    std::uint64_t left = max_left_;
    std::uint64_t right = max_right_;
    for (std::size_t k = 0; k < frames; ++k) {
      const std::uint8_t* frame = p + k * kFrameBytes;
      const auto a = static_cast<std::uint64_t>(
          std::abs(DecodeInteger<Bytes>(frame)));
      sum += a;
      left = std::max(left, a);
      if constexpr (Channels == 2) {
        const auto b = static_cast<std::uint64_t>(
            std::abs(DecodeInteger<Bytes>(frame + Bytes)));
        sum += b;
        right = std::max(right, b);
      }
    }
    // Unsigned, so a window that never completes (window 0) may wrap
    // harmlessly: its sum is never read.
    sum_ += sum;
    max_left_ = left;
    max_right_ = right;
  }
  double TakeSum() {
    const double g = static_cast<double>(sum_) * kIntegerScale<Bytes>;
    sum_ = 0;
    return g;
  }
  // The largest magnitude is what CheckPeak would have kept, scaled
  // exactly.
  Peaks peaks() const {
    return {static_cast<double>(max_left_) * kIntegerScale<Bytes>,
            static_cast<double>(max_right_) * kIntegerScale<Bytes>};
  }

 private:
  std::uint64_t sum_ = 0;
  std::uint64_t max_left_ = 0;
  std::uint64_t max_right_ = 0;
};

struct IntegerLevel {
  template <int Bytes>
  static double Decode(const std::uint8_t* p) {
    return static_cast<double>(DecodeInteger<Bytes>(p)) * kIntegerScale<Bytes>;
  }
};

struct FloatLevel {
  template <int Bytes>
  static double Decode(const std::uint8_t* p) {
    return Float32FromWord(p[0] | (p[1] << 8) | (p[2] << 16) |
                           (static_cast<std::uint32_t>(p[3]) << 24));
  }
};

// Samples summed one by one as doubles, in frame order, left before right:
// floats always (their sum is not associative), integers when a window is
// so long that the double sum itself rounds.
template <class Level, int Bytes, int Channels>
class SequentialKernel {
 public:
  static constexpr std::size_t kFrameBytes = std::size_t{Bytes} * Channels;

  void Add(const std::uint8_t* p, std::size_t frames) {
    double g = sum_;
    for (std::size_t k = 0; k < frames; ++k) {
      const std::uint8_t* frame = p + k * kFrameBytes;
      const double v = Level::template Decode<Bytes>(frame);
      CheckPeak(peaks_.left, v);
      g += std::fabs(v);
      if constexpr (Channels == 2) {
        const double w = Level::template Decode<Bytes>(frame + Bytes);
        CheckPeak(peaks_.right, w);
        g += std::fabs(w);
      }
    }
    sum_ = g;
  }
  double TakeSum() {
    const double g = sum_;
    sum_ = 0;
    return g;
  }
  Peaks peaks() const { return peaks_; }

 private:
  double sum_ = 0;
  Peaks peaks_;
};

// Layouts the scan does not decode: frames only count toward windows.
class OpaqueKernel {
 public:
  void Add(const std::uint8_t* /*p*/, std::size_t /*frames*/) {}
  static double TakeSum() { return 0; }
  static Peaks peaks() { return {}; }
};

template <class Kernel>
Peaks Scan(ByteSource& file, const WaveAttributes& wa, const ScanSettings& s,
           Output& out, Kernel kernel) {
  alignas(64) std::array<std::uint8_t, kBlockFrames * kMaxFrameBytes> block;
  const std::uint64_t frame_size = s.frame_size;
  const auto rate = static_cast<std::uint32_t>(wa.sample_rate);
  std::uint64_t i = s.start_frame;
  std::uint32_t n = 0;  // frames in the current window
  while (i < s.end_frame && out.ok()) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(s.end_frame - i, kBlockFrames));
    const std::size_t got =
        file.ReadAt(wa.data_offset + i * frame_size, block.data(),
                    want * frame_size) /
        frame_size;
    const std::uint8_t* p = block.data();
    std::size_t left = got;
    if (s.window == 0) {  // a window of no frames never completes
      kernel.Add(p, left);
      i += left;
      left = 0;
    }
    while (left > 0) {
      const std::size_t take = std::min<std::size_t>(left, s.window - n);
      kernel.Add(p, take);
      p += take * frame_size;
      left -= take;
      i += take;
      n += static_cast<std::uint32_t>(take);
      if (n == s.window) {
        const double g = kernel.TakeSum();
        const double level =
            (wa.channels == 2 ? g * 0.5 : g) / s.window * s.magnification;
        Waveform(out, static_cast<std::int64_t>(i - s.window / 2), rate, level,
                 s.window_seconds);
        n = 0;
      }
    }
    if (got < want) break;  // nothing is invented for frames not delivered
  }
  return kernel.peaks();
}

// Whether an integer window sum of this layout is certain to stay exact
// (see ExactIntegerKernel).
bool SumStaysExact(std::uint32_t window, std::uint32_t channels, int bytes) {
  const int magnitude_bits = 8 * bytes - 1;
  return static_cast<std::uint64_t>(window) * channels <=
         (std::uint64_t{1} << (53 - magnitude_bits));
}

template <int Bytes, int Channels>
Peaks ScanIntegers(ByteSource& file, const WaveAttributes& wa,
                   const ScanSettings& s, Output& out) {
  if (SumStaysExact(s.window, Channels, Bytes)) {
    return Scan(file, wa, s, out, ExactIntegerKernel<Bytes, Channels>{});
  }
  return Scan(file, wa, s, out,
              SequentialKernel<IntegerLevel, Bytes, Channels>{});
}

template <int Channels>
Peaks ScanFourBytes(ByteSource& file, const WaveAttributes& wa,
                    const ScanSettings& s, Output& out) {
  if (wa.integer_samples) return ScanIntegers<4, Channels>(file, wa, s, out);
  return Scan(file, wa, s, out, SequentialKernel<FloatLevel, 4, Channels>{});
}

}  // namespace

Peaks ScanInterval(ByteSource& file, const WaveAttributes& wa,
                   const ScanSettings& s, Output& out) {
  const bool mono = wa.channels == 1;
  const bool stereo = wa.channels == 2;
  switch (wa.bytes_per_sample) {
    case 2:
      if (mono) return ScanIntegers<2, 1>(file, wa, s, out);
      if (stereo) return ScanIntegers<2, 2>(file, wa, s, out);
      break;
    case 3:
      if (mono) return ScanIntegers<3, 1>(file, wa, s, out);
      if (stereo) return ScanIntegers<3, 2>(file, wa, s, out);
      break;
    case 4:
      if (mono) return ScanFourBytes<1>(file, wa, s, out);
      if (stereo) return ScanFourBytes<2>(file, wa, s, out);
      break;
    default:
      break;
  }
  return Scan(file, wa, s, out, OpaqueKernel{});
}

}  // namespace ostrel
