#include "sample_decode.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "sample_layouts.hpp"

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
  int compared = 0;
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
          ++compared;
        }
      }
    }
  }
  // Every build has the 16-byte loops for 8-bit, 16-bit and 32-bit integers.
  EXPECT_GT(compared, 0);
}

}  // namespace

// Runs long enough for every lane sum to move into 64 bits many times, of
// the sample with the largest magnitude only: the most any lane can take
// between moves, so a lane that could overflow shows here.
TEST(SampleDecode, LaneSumsHoldTheLoudestRuns) {
  constexpr std::size_t kSamples = std::size_t{1} << 19;
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
      const std::size_t frames = kSamples / channels;
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
