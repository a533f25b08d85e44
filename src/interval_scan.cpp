#include "interval_scan.hpp"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstring>

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

// Magnitudes of a run of samples, in steps of the layout's least
// significant bit: their sum, and the largest of the samples at even and at
// odd places in the run. A run always starts on a frame, so for stereo the
// even places are the left channel and the odd ones the right; for mono
// both hold the one channel.
struct Magnitudes {
  std::uint64_t sum = 0;
  std::uint32_t even = 0;
  std::uint32_t odd = 0;
};

template <int Bytes>
inline std::uint32_t Magnitude(const std::uint8_t* p) {
  const std::int64_t v = DecodeInteger<Bytes>(p);
  return static_cast<std::uint32_t>(v < 0 ? -v : v);
}

// Frame by frame, for short runs and for what the wide loops leave over.
template <int Bytes, int Channels>
inline void AddFrames(const std::uint8_t* p, std::size_t frames,
                      Magnitudes& m) {
  for (std::size_t k = 0; k < frames; ++k) {
    const std::uint8_t* frame = p + k * Bytes * Channels;
    const std::uint32_t a = Magnitude<Bytes>(frame);
    m.sum += a;
    m.even = std::max(m.even, a);
    if constexpr (Channels == 2) {
      const std::uint32_t b = Magnitude<Bytes>(frame + Bytes);
      m.sum += b;
      m.odd = std::max(m.odd, b);
    }
  }
}

// The wide loops below are written with GCC's vector types, so that one
// source serves every x86-64: the "default" clone keeps to SSE2, the "avx2"
// clone uses 32-byte registers, and the program picks one when it starts.
// All of them compute integer maxima and sums, so every clone gives the same
// numbers. Each lane of a vector keeps its own running maximum; as vectors
// hold an even number of samples, a lane always sees the same channel.
using U8x16 = std::uint8_t __attribute__((vector_size(16)));
using U8x32 = std::uint8_t __attribute__((vector_size(32)));
using I16x16 = std::int16_t __attribute__((vector_size(32)));
using U16x16 = std::uint16_t __attribute__((vector_size(32)));
using I32x8 = std::int32_t __attribute__((vector_size(32)));
using U32x8 = std::uint32_t __attribute__((vector_size(32)));

// Folds per-lane maxima into the even and odd places.
template <class Vector>
inline void FoldMaxima(const Vector& top, Magnitudes& m) {
  constexpr int kLanes = sizeof(Vector) / sizeof(top[0]);
  for (int i = 0; i < kLanes; i += 2) {
    m.even = std::max<std::uint32_t>(m.even, top[i]);
    m.odd = std::max<std::uint32_t>(m.odd, top[i + 1]);
  }
}

// Adds up the lanes of a vector of sums.
inline std::uint64_t LaneTotal(const U32x8& sum) {
  std::uint64_t total = 0;
  for (int i = 0; i < 8; ++i) total += sum[i];
  return total;
}

// 16-bit samples, 16 at a time; returns how many it took (a multiple of
// 16). Magnitudes (at most 2^15) are summed in 32-bit lanes, a pair of
// neighbouring samples per lane: a call sees at most 8,192 samples, so a
// lane's sum stays below 2^28 and never wraps.
__attribute__((target_clones("avx2", "default"))) std::size_t WideMagnitudes16(
    const std::uint8_t* p, std::size_t samples, Magnitudes& m) {
  constexpr std::size_t kStep = 16;
  U16x16 top = {};
  U32x8 sum = {};
  std::size_t k = 0;
  for (; k + kStep <= samples; k += kStep) {
    U16x16 v;
    std::memcpy(&v, p + 2 * k, sizeof v);
    // All ones in the lanes of negative samples.
    const auto sign = reinterpret_cast<U16x16>(reinterpret_cast<I16x16>(v) < 0);
    const U16x16 mag = (v ^ sign) - sign;  // -32768 becomes 32768
    top = mag > top ? mag : top;
    const auto pairs = reinterpret_cast<U32x8>(mag);
    sum += (pairs & 0xFFFF) + (pairs >> 16);
  }
  m.sum += LaneTotal(sum);
  FoldMaxima(top, m);
  return k;
}

// 24-bit samples, 8 at a time; returns how many it took (a multiple of 8).
// Each half of the register takes four samples (12 bytes) and spreads them
// into the top three bytes of 32-bit lanes, where an arithmetic shift
// right by 8 restores the sign. The second half is loaded from 8 bytes into
// the group, so no load reaches past the group's 24 bytes. A magnitude is
// at most 2^23, so a 32-bit lane sums 256 of them at most before its sum
// moves into 64 bits.
__attribute__((target_clones("avx2", "default"))) std::size_t WideMagnitudes24(
    const std::uint8_t* p, std::size_t samples, Magnitudes& m) {
  constexpr std::size_t kStep = 8;
  constexpr std::size_t kStepsPerSum = 256;
  U32x8 top = {};
  std::size_t k = 0;
  while (k + kStep <= samples) {
    const std::size_t steps =
        std::min((samples - k) / kStep, kStepsPerSum);
    U32x8 sum = {};
    for (std::size_t s = 0; s < steps; ++s, k += kStep) {
      U8x16 low;
      U8x16 high;
      std::memcpy(&low, p + 3 * k, sizeof low);
      std::memcpy(&high, p + 3 * k + 8, sizeof high);
      // Byte 0 of each lane is shifted out; any byte will do there.
      const U8x32 spread = __builtin_shufflevector(
          low, high, 0, 0, 1, 2, 0, 3, 4, 5, 0, 6, 7, 8, 0, 9, 10, 11,  //
          16, 20, 21, 22, 16, 23, 24, 25, 16, 26, 27, 28, 16, 29, 30, 31);
      const I32x8 v = reinterpret_cast<I32x8>(spread) >> 8;
      const auto sign = reinterpret_cast<U32x8>(v < 0);
      const U32x8 mag = (reinterpret_cast<U32x8>(v) ^ sign) - sign;
      top = mag > top ? mag : top;
      sum += mag;
    }
    m.sum += LaneTotal(sum);
  }
  FoldMaxima(top, m);
  return k;
}

// Integer samples whose window sum provably stays exact. The sum of
// magnitudes is kept as an integer: each |v| is a whole number of steps of
// kIntegerScale (a power of two), so while every partial sum stays at or
// below 2^53 steps, adding the doubles one by one in frame order is exact
// too and gives the very double we get by scaling the integer sum at the
// end. Being exact, the order of additions is free, which lets the wide
// loops above sum in lanes. The caller picks this kernel only when
// window * channels * 2^(8*Bytes-1) <= 2^53.
template <int Bytes, int Channels>
class ExactIntegerKernel {
 public:
  static constexpr std::size_t kFrameBytes = std::size_t{Bytes} * Channels;

  void Add(const std::uint8_t* p, std::size_t frames) {
    if (frames == 1) {
      // A window of one frame gives a line per frame: the cheapest path.
      const std::uint32_t a = Magnitude<Bytes>(p);
      sum_ += a;
      max_left_ = std::max(max_left_, a);
      if constexpr (Channels == 2) {
        const std::uint32_t b = Magnitude<Bytes>(p + Bytes);
        sum_ += b;
        max_right_ = std::max(max_right_, b);
      }
      return;
    }
    const Magnitudes m = RunMagnitudes(p, frames);
    // Unsigned, so a window that never completes (window 0) may wrap
    // harmlessly: its sum is never read.
    sum_ += m.sum;
    if constexpr (Channels == 2) {
      max_left_ = std::max(max_left_, m.even);
      max_right_ = std::max(max_right_, m.odd);
    } else {
      max_left_ = std::max({max_left_, m.even, m.odd});
    }
  }
  double TakeSum() {
    // At most 2^53 here, so the signed conversion (one instruction, where
    // the unsigned one is several) is exact.
    const double g =
        static_cast<double>(static_cast<std::int64_t>(sum_)) *
        kIntegerScale<Bytes>;
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
  // Kept out of line, and off the kernel's own values, so that the scan's
  // loop, which runs once per frame for a window of one frame, can keep
  // them in registers.
  [[gnu::noinline]] static Magnitudes RunMagnitudes(const std::uint8_t* p,
                                                    std::size_t frames) {
    Magnitudes m;
    std::size_t done = 0;
    // Short runs (windows of a few frames) skip the call into a clone.
    if (frames >= kWideFrames) {
      const std::size_t samples = frames * Channels;
      if constexpr (Bytes == 2) {
        done = WideMagnitudes16(p, samples, m) / Channels;
      } else if constexpr (Bytes == 3) {
        done = WideMagnitudes24(p, samples, m) / Channels;
      }
    }
    AddFrames<Bytes, Channels>(p + done * kFrameBytes, frames - done, m);
    return m;
  }

  static constexpr std::size_t kWideFrames = 32;
  std::uint64_t sum_ = 0;
  std::uint32_t max_left_ = 0;
  std::uint32_t max_right_ = 0;
};

// The magnitude of a float sample's word, decoded: Float32FromWord without
// the sign. Exponent field and mantissa lie side by side in the word's low
// 31 bits, so moving those up by 29 and adding the exponent's new bias
// (1023 - 120) gives the double's bits in one step. It grows with those 31
// bits, so the largest of them is the largest magnitude.
inline double FloatMagnitude(std::uint32_t word) {
  constexpr std::uint64_t kBias = std::uint64_t{1023 - 120} << 52;
  return std::bit_cast<double>(
      (std::uint64_t{word & 0x7FFFFFFFU} << 29) + kBias);
}

// The largest magnitude words of float samples, 8 at a time; returns how
// many samples it took (a multiple of 8). The magnitude's double grows with
// the word's low 31 bits (see FloatMagnitude), so integer maxima of those
// bits pick the peaks.
__attribute__((target_clones("avx2", "default"))) std::size_t WideFloatMaxima(
    const std::uint8_t* p, std::size_t samples, Magnitudes& m) {
  constexpr std::size_t kStep = 8;
  U32x8 top = {};
  std::size_t k = 0;
  for (; k + kStep <= samples; k += kStep) {
    U32x8 words;
    std::memcpy(&words, p + 4 * k, sizeof words);
    const U32x8 mag = words & 0x7FFFFFFFU;
    top = mag > top ? mag : top;
  }
  FoldMaxima(top, m);
  return k;
}

// Advances K window sums by `frames` frames each, sum c over the frames
// from at[c] on. Within a sum the additions stay one at a time in frame
// order, left before right: a float sum rounds at every step, so its order
// is part of its value. The K sums are separate windows, though, and
// independent of each other, so interleaving them lets the processor
// overlap the latencies of K additions instead of waiting out each one.
template <std::size_t K, int Channels>
inline void AdvanceSums(const std::array<const std::uint8_t*, K>& at,
                        std::size_t frames, std::array<double, K>& sums) {
  constexpr std::size_t kFrameBytes = std::size_t{4} * Channels;
  std::array<double, K> g = sums;
  for (std::size_t t = 0; t < frames; ++t) {
    for (std::size_t c = 0; c < K; ++c) {
      const std::uint8_t* frame = at[c] + t * kFrameBytes;
      std::uint32_t word = 0;
      std::memcpy(&word, frame, 4);
      g[c] += FloatMagnitude(word);
      if constexpr (Channels == 2) {
        std::memcpy(&word, frame + 4, 4);
        g[c] += FloatMagnitude(word);
      }
    }
  }
  sums = g;
}

// Advances the sums of the K pieces listed in `live` by `step` frames,
// from `done` frames into each piece.
template <std::size_t K, int Channels, std::size_t N>
inline void AdvancePieces(const std::array<std::size_t, N>& live,
                          const std::array<const std::uint8_t*, N>& start,
                          std::size_t done, std::size_t step,
                          std::array<double, N>& piece_sums) {
  constexpr std::size_t kFrameBytes = std::size_t{4} * Channels;
  std::array<const std::uint8_t*, K> at{};
  std::array<double, K> sums{};
  for (std::size_t j = 0; j < K; ++j) {
    at[j] = start[live[j]] + done * kFrameBytes;
    sums[j] = piece_sums[live[j]];
  }
  AdvanceSums<K, Channels>(at, step, sums);
  for (std::size_t j = 0; j < K; ++j) piece_sums[live[j]] = sums[j];
}

// Float samples. The scan hands this kernel a few pieces of a block at a
// time, each within one window (the rest of the window in progress, then
// new windows), so that their sums can advance together (AdvanceSums).
template <int Channels>
class FloatKernel {
 public:
  static constexpr std::size_t kFrameBytes = std::size_t{4} * Channels;
  static constexpr std::size_t kPieces = 4;
  using Takes = std::array<std::size_t, kPieces>;

  // Pieces of consecutive frames from p on: takes[0] frames, then
  // takes[1], ..., `count` pieces. The first continues the window in
  // progress; each of the others starts a window.
  void AddPieces(const std::uint8_t* p, const Takes& takes,
                 std::size_t count) {
    std::array<const std::uint8_t*, kPieces> start{};
    std::size_t frames = 0;
    for (std::size_t c = 0; c < count; ++c) {
      start[c] = p + frames * kFrameBytes;
      frames += takes[c];
      sums_[c] = 0;
    }
    sums_[0] = sum_;
    // In rounds: the pieces that still have frames advance together, by as
    // many frames as the shortest of them has left.
    std::size_t done = 0;
    for (;;) {
      std::array<std::size_t, kPieces> live{};
      std::size_t n = 0;
      std::size_t step = 0;
      for (std::size_t c = 0; c < count; ++c) {
        if (takes[c] > done) {
          const std::size_t rest = takes[c] - done;
          step = n == 0 ? rest : std::min(step, rest);
          live[n++] = c;
        }
      }
      if (n == 0) break;
      switch (n) {
        case 1:
          AdvancePieces<1, Channels>(live, start, done, step, sums_);
          break;
        case 2:
          AdvancePieces<2, Channels>(live, start, done, step, sums_);
          break;
        case 3:
          AdvancePieces<3, Channels>(live, start, done, step, sums_);
          break;
        default:
          AdvancePieces<4, Channels>(live, start, done, step, sums_);
          break;
      }
      done += step;
    }
    last_ = count - 1;
    sum_ = sums_[last_];  // the last piece's window may go on

    Magnitudes m;
    const std::size_t samples = frames * Channels;
    const std::size_t wide = samples >= 16 ? WideFloatMaxima(p, samples, m) : 0;
    for (std::size_t k = wide; k < samples; ++k) {
      std::uint32_t word = 0;
      std::memcpy(&word, p + 4 * k, 4);
      word &= 0x7FFFFFFFU;
      if (k % 2 == 0) {
        m.even = std::max(m.even, word);
      } else {
        m.odd = std::max(m.odd, word);
      }
    }
    if (frames == 0) return;  // a short read may deliver nothing
    // Every decoded magnitude is above 0, so CheckPeak takes the largest
    // one whether or not the peak is still at its start value 0.
    if constexpr (Channels == 2) {
      CheckPeak(peaks_.left, FloatMagnitude(m.even));
      CheckPeak(peaks_.right, FloatMagnitude(m.odd));
    } else {
      CheckPeak(peaks_.left, FloatMagnitude(std::max(m.even, m.odd)));
    }
  }
  // The sum of piece c, once its window is complete.
  double TakeSum(std::size_t c) {
    if (c == last_) sum_ = 0;
    return sums_[c];
  }
  Peaks peaks() const { return peaks_; }

 private:
  double sum_ = 0;  // the window in progress
  std::array<double, kPieces> sums_{};
  std::size_t last_ = 0;
  Peaks peaks_;
};

// Integer samples summed one by one as doubles, in frame order, left
// before right, when a window is so long that the double sum itself rounds.
template <int Bytes, int Channels>
class SequentialIntegerKernel {
 public:
  static constexpr std::size_t kFrameBytes = std::size_t{Bytes} * Channels;

  void Add(const std::uint8_t* p, std::size_t frames) {
    double g = sum_;
    for (std::size_t k = 0; k < frames; ++k) {
      const std::uint8_t* frame = p + k * kFrameBytes;
      const double v = Level(frame);
      CheckPeak(peaks_.left, v);
      g += std::fabs(v);
      if constexpr (Channels == 2) {
        const double w = Level(frame + Bytes);
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
  static double Level(const std::uint8_t* p) {
    return static_cast<double>(DecodeInteger<Bytes>(p)) * kIntegerScale<Bytes>;
  }

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
  // Local copies: the compiler must assume that printing a line could
  // change anything reached through a reference, and would reload them for
  // every line of a short window.
  const std::uint64_t frame_size = s.frame_size;
  const std::uint64_t end_frame = s.end_frame;
  const std::uint64_t data_offset = wa.data_offset;
  const std::uint32_t window = s.window;
  const bool stereo = wa.channels == 2;
  const double magnification = s.magnification;
  const double window_seconds = s.window_seconds;
  const auto rate = static_cast<std::uint32_t>(wa.sample_rate);
  std::uint64_t i = s.start_frame;
  std::uint32_t n = 0;  // frames in the current window
  // The line of the window that ends just before frame i.
  const auto print_line = [&](double g) {
    const double level = (stereo ? g * 0.5 : g) / window * magnification;
    Waveform(out, static_cast<std::int64_t>(i - window / 2), rate, level,
             window_seconds);
  };
  while (i < end_frame && out.ok()) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(end_frame - i, kBlockFrames));
    const std::size_t got =
        file.ReadAt(data_offset + i * frame_size, block.data(),
                    want * frame_size) /
        frame_size;
    const std::uint8_t* p = block.data();
    std::size_t left = got;
    if (window == 0) {  // a window of no frames never completes
      if constexpr (requires { Kernel::kPieces; }) {
        kernel.AddPieces(p, {left}, 1);
      } else {
        kernel.Add(p, left);
      }
      i += left;
      left = 0;
    }
    if constexpr (requires { Kernel::kPieces; }) {
      while (left > 0) {
        // The next few pieces of the block, each within one window: the
        // rest of the window in progress, then whole windows, the last one
        // perhaps cut short by the block's end.
        typename Kernel::Takes takes{};
        std::size_t count = 0;
        std::size_t used = 0;
        for (std::uint32_t filled = n; count < takes.size() && used < left;
             filled = 0) {
          takes[count] = std::min<std::size_t>(left - used, window - filled);
          used += takes[count++];
        }
        kernel.AddPieces(p, takes, count);
        for (std::size_t c = 0; c < count; ++c) {
          p += takes[c] * frame_size;
          left -= takes[c];
          i += takes[c];
          n += static_cast<std::uint32_t>(takes[c]);
          if (n == window) {
            print_line(kernel.TakeSum(c));
            n = 0;
          }
        }
      }
    } else {
      while (left > 0) {
        const std::size_t take = std::min<std::size_t>(left, window - n);
        kernel.Add(p, take);
        p += take * frame_size;
        left -= take;
        i += take;
        n += static_cast<std::uint32_t>(take);
        if (n == window) {
          print_line(kernel.TakeSum());
          n = 0;
        }
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
              SequentialIntegerKernel<Bytes, Channels>{});
}

template <int Channels>
Peaks ScanFourBytes(ByteSource& file, const WaveAttributes& wa,
                    const ScanSettings& s, Output& out) {
  if (wa.integer_samples) return ScanIntegers<4, Channels>(file, wa, s, out);
  return Scan(file, wa, s, out, FloatKernel<Channels>{});
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
