#include "sample_decode.hpp"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "float_sums.hpp"
#include "sample_layouts.hpp"
#include "window_sums.hpp"

namespace {

using ostrel::Variant;

// Every variant this build and processor can run against the plain loop,
// for every layout and every channel count, on random runs of every length
// up to a few vectors' worth and on long runs, with extreme samples (full
// scale, the most negative value, float infinities and NaNs) mixed in.
TEST(SampleDecode, EveryVariantMatchesThePlainLoop) {
  std::mt19937 rng(7);
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 70; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {127, 128, 129, 1000, 4099, 20000});
  std::string narrow_layouts, avx2_layouts;  // those each variant ran
  for (const wave_writer::SampleLayout& layout : wave_writer::kSampleLayouts) {
    const std::uint32_t bytes = layout.bits / 8U;
    for (std::uint32_t channels = 1; channels <= ostrel::kMaxChannels; ++channels) {
      const ostrel::WaveAttributes wa{.bytes_per_sample = bytes, .channels = channels, .encoding = layout.code};
      const ostrel::AddRunFn plain = ostrel::RunOf(wa, Variant::kScalar);
      ASSERT_NE(plain, nullptr) << layout.name;
      for (const std::size_t frames : lengths) {
        std::vector<std::uint8_t> data(frames * bytes * channels + 1);
        for (auto& b : data) b = static_cast<std::uint8_t>(rng());
        for (std::size_t k = 1; k + bytes <= data.size(); k += bytes) {
          if (rng() % 16 != 0) continue;
          // 0x80.. is the most negative integer and -0.0; 0xFF.. is -1 and a
          // NaN; 0x7F.. is full scale and a NaN.
          const std::uint8_t top[] = {0x80, 0xFF, 0x7F, 0x00};
          for (std::uint32_t i = 0; i < bytes; ++i) data[k + i] = i + 1 == bytes ? top[rng() % 4] : 0;
        }
        // Start one byte in, so that no load may assume alignment.
        const std::uint8_t* p = data.data() + 1;
        ostrel::RunMagnitudes want;
        plain(p, frames, channels, want);
        for (const Variant v : {Variant::kPortable, Variant::kAvx2}) {
          const ostrel::AddRunFn run = ostrel::RunOf(wa, v);
          if (run == nullptr) continue;
          ostrel::RunMagnitudes got;
          run(p, frames, channels, got);
          const std::string name = std::string(layout.name) + " variant " + std::to_string(static_cast<int>(v)) +
                                   ", " + std::to_string(channels) + " channels, " + std::to_string(frames) + " frames";
          ASSERT_EQ(got.sum, want.sum) << name;
          ASSERT_EQ(got.top, want.top) << name;
          if (channels == 1 && frames == 0) (v == Variant::kAvx2 ? avx2_layouts : narrow_layouts) += layout.name + std::string(" ");
        }
      }
    }
  }
  // Whatever the compiler: byte shuffles (x86, arm64) give the 24-bit and
  // G.711 layouts 16-byte loops too, and AVX2 the float peaks.
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
  if (ostrel::ProcessorRuns(Variant::kPortable)) {
    EXPECT_EQ(narrow_layouts, "u8 alaw mulaw s16 s24 s32 ");
  }
#else
  EXPECT_EQ(narrow_layouts, "u8 s16 s32 ");
#endif
  if (ostrel::ProcessorRuns(Variant::kAvx2)) {
    EXPECT_EQ(avx2_layouts, "u8 alaw mulaw s16 s24 s32 f32 ");
  }
}

}  // namespace

namespace {

// Feeds `frames` to both sums in stretches of random sizes cut into pieces
// as the scan cuts its blocks (a head that finishes the window in
// progress, whole windows, a tail), and checks that every window's sum is
// the same double. A NaN sum matches any NaN: which NaN's bits a sum keeps
// depends on the order the compiler gives an addition's operands, and
// every NaN prints the same line.
template <class Sums>
void FeedBoth(Sums& plain, Sums& wide, const std::vector<std::uint8_t>& data, std::uint32_t frame_bytes,
              std::uint32_t window, std::mt19937& rng, const std::string& name) {
  const std::size_t frames = data.size() / frame_bytes;
  std::size_t filled = 0;
  for (std::size_t at = 0; at < frames;) {
    const std::size_t block = std::min<std::size_t>(frames - at, 1 + rng() % (3 * window + 40));
    for (std::size_t left = block; left > 0;) {
      ostrel::Pieces pieces{.head = std::min(left, window - filled)};
      pieces.head_ends = pieces.head == window - filled;
      if (pieces.head_ends) {
        pieces.window = window;
        pieces.whole = std::min((left - pieces.head) / window, ostrel::Pieces::kMaxEnded - 1);
        pieces.tail = pieces.whole < ostrel::Pieces::kMaxEnded - 1 ? left - pieces.head - pieces.whole * window : 0;
      }
      plain.Add(data.data() + at * frame_bytes, pieces);
      wide.Add(data.data() + at * frame_bytes, pieces);
      for (std::size_t k = 0; k < pieces.Ended(); ++k) {
        const double want = plain.TakeSum(k), got = wide.TakeSum(k);
        ASSERT_TRUE(std::memcmp(&want, &got, sizeof got) == 0 || (std::isnan(want) && std::isnan(got)))
            << name << ", frame " << at << ": " << got << " for " << want;
      }
      filled = pieces.head_ends ? pieces.tail : filled + pieces.head;
      at += pieces.Frames();
      left -= pieces.Frames();
    }
  }
  ASSERT_EQ(wide.peaks(), plain.peaks()) << name;
}

template <class Layout>
void CompareFloatSums(std::uint32_t bytes, std::mt19937& rng, int& compared) {
  // Extremes: infinities, NaNs of both signs, -0.0, the smallest
  // subnormal, the largest value; the rest of random magnitudes.
  const std::vector<std::uint64_t> extremes =
      bytes == 4 ? std::vector<std::uint64_t>{0x7F800000, 0xFFC00001, 0x7F800001, 0x80000000, 1, 0x7F7FFFFF}
                 : std::vector<std::uint64_t>{0x7FF0000000000000, 0xFFF8000000000001, 0x7FF0000000000001,
                                              0x8000000000000000, 1, 0x7FEFFFFFFFFFFFFF};
  for (std::uint32_t channels = 1; channels <= ostrel::kMaxChannels; ++channels) {
    const ostrel::WaveAttributes wa{.bytes_per_sample = bytes, .channels = channels, .encoding = ostrel::kEncodingFloat};
    for (const std::uint32_t window : {1U, 2U, 3U, 5U, 8U, 37U, 500U, 2400U}) {
      std::vector<std::uint8_t> data(std::size_t{bytes} * channels * (window * 5 + 300));
      for (std::size_t k = 0; k + bytes <= data.size(); k += bytes) {
        // Normal numbers over a range of exponents, so that the sums round.
        const double v = std::ldexp(static_cast<double>(rng() % 1000000), -static_cast<int>(rng() % 40));
        std::uint64_t w = bytes == 4 ? std::bit_cast<std::uint32_t>(static_cast<float>(v)) : std::bit_cast<std::uint64_t>(v);
        if (rng() % 2 != 0) w |= std::uint64_t{1} << (8 * bytes - 1);
        if (rng() % 64 == 0) w = extremes[rng() % extremes.size()];
        for (std::uint32_t b = 0; b < bytes; ++b) data[k + b] = static_cast<std::uint8_t>(w >> (8 * b));
      }
      // Extremes make most sums infinite or NaN: every other window length
      // goes without them.
      if (window % 2 == 0) {
        for (std::size_t k = 0; k + bytes <= data.size(); k += bytes) data[k + bytes - 2] &= 0x7F;
      }
      const ostrel::AddRunFn run = ostrel::RunOf(wa, Variant::kScalar);
      for (const Variant v : {Variant::kPortable, Variant::kAvx2}) {
        const ostrel::FloatSums sums = ostrel::FloatSumsOf(wa, v);
        if (sums.advance == nullptr) continue;
        ostrel::OrderedSums<Layout> plain(channels, run), wide(channels, run, sums);
        FeedBoth(plain, wide, data, bytes * channels, window, rng,
                 std::to_string(bytes * 8) + "-bit variant " + std::to_string(static_cast<int>(v)) + ", " +
                     std::to_string(channels) + " channels, window " + std::to_string(window));
        ++compared;
      }
    }
  }
}

// Every wide float sum against the plain one, window by window, with the
// peaks that it finds in the same pass or leaves to the layout's run.
TEST(SampleDecode, FloatSumsMatchThePlainLoop) {
  std::mt19937 rng(11);
  int compared = 0;
  CompareFloatSums<ostrel::Float32Samples>(4, rng, compared);
  CompareFloatSums<ostrel::Float64Samples>(8, rng, compared);
  // x86 and arm64 have the 16-byte loop, and x86 processors without AVX2
  // are no longer what the tests run on.
#if defined(__x86_64__) || defined(__i386__) || defined(__aarch64__)
  EXPECT_GT(compared, 0);
#endif
}

// Runs long enough for every lane sum to move into 64 bits many times, of
// the sample with the largest magnitude only: the most any lane can take
// between moves, so a lane that could overflow shows here. Byte codes run
// past the point where a lane that never moved would pass 2^32: the G.711
// loops' 32-bit lanes each take the products of 4 of every 32 samples in
// 32-byte vectors, an A-law one at most 63 x 64 = 4,032, so 2^32 after
// 2^35 / 4,032 samples, about 8.5 Mi.
TEST(SampleDecode, LaneSumsHoldTheLoudestRuns) {
  constexpr std::size_t kSamples = std::size_t{1} << 19;
  constexpr std::size_t kCodeSamples = std::size_t{9} << 20;
  int compared = 0;
  for (const wave_writer::SampleLayout& layout : wave_writer::kSampleLayouts) {
    const std::uint32_t bytes = layout.bits / 8U;
    const ostrel::WaveAttributes mono{.bytes_per_sample = bytes, .channels = 1, .encoding = layout.code};
    const ostrel::AddRunFn plain = ostrel::RunOf(mono, Variant::kScalar);
    // The loudest sample: the most negative integer, or for 8-bit codes the
    // one whose magnitude the plain loop finds largest.
    std::vector<std::uint8_t> loudest(bytes, 0);
    loudest.back() = 0x80;
    if (bytes == 1) {
      ostrel::RunMagnitudes best;
      for (unsigned code = 0; code < 256; ++code) {
        const auto c = static_cast<std::uint8_t>(code);
        ostrel::RunMagnitudes one;
        plain(&c, 1, 1, one);
        if (one.top[0] > best.top[0]) {
          best = one;
          loudest[0] = c;
        }
      }
    }
    for (const std::uint32_t channels : {1U, 2U, 6U}) {
      const ostrel::WaveAttributes wa{.bytes_per_sample = bytes, .channels = channels, .encoding = layout.code};
      const std::size_t frames = (bytes == 1 ? kCodeSamples : kSamples) / channels;
      std::vector<std::uint8_t> data;
      for (std::size_t k = 0; k < frames * channels; ++k) data.insert(data.end(), loudest.begin(), loudest.end());
      ostrel::RunMagnitudes want;
      ostrel::RunOf(wa, Variant::kScalar)(data.data(), frames, channels, want);
      for (const Variant v : {Variant::kPortable, Variant::kAvx2}) {
        const ostrel::AddRunFn run = ostrel::RunOf(wa, v);
        if (run == nullptr) continue;
        ostrel::RunMagnitudes got;
        run(data.data(), frames, channels, got);
        EXPECT_EQ(got.sum, want.sum) << layout.name << " variant " << static_cast<int>(v) << ", " << channels;
        EXPECT_EQ(got.top, want.top) << layout.name << " variant " << static_cast<int>(v) << ", " << channels;
        ++compared;
      }
    }
  }
  EXPECT_GT(compared, 0);
}

}  // namespace
