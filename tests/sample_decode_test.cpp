#include "sample_decode.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

using ostrel::Variant;

// Every variant this build and processor can run against the plain loop, on
// random runs of every length up to a few vectors' worth and on long runs,
// with extreme samples (full scale, the most negative value, float
// infinities and NaNs) mixed in.
template <class Layout, int Channels>
void CheckVariants(std::mt19937& rng) {
  const std::size_t frame_bytes = std::size_t{Layout::kBytes} * Channels;
  std::vector<std::size_t> lengths;
  for (std::size_t n = 0; n <= 150; ++n) lengths.push_back(n);
  lengths.insert(lengths.end(), {1000, 4099, 20000});
  for (const std::size_t frames : lengths) {
    std::vector<std::uint8_t> bytes(frames * frame_bytes + 1);
    for (auto& b : bytes) b = static_cast<std::uint8_t>(rng());
    for (std::size_t k = 0; k + Layout::kBytes <= bytes.size() - 1; k += Layout::kBytes) {
      if (rng() % 16 != 0) continue;
      // 0x80.. is the most negative integer and -0.0; 0xFF.. is -1 and a NaN;
      // 0x7F.. is full scale and a NaN.
      const std::uint8_t top[] = {0x80, 0xFF, 0x7F, 0x00};
      for (int i = 0; i < Layout::kBytes; ++i) bytes[k + i] = i + 1 == Layout::kBytes ? top[rng() % 4] : 0;
    }
    // Start one byte in, so that no load may assume alignment.
    const std::uint8_t* p = bytes.data() + 1;
    ostrel::RunMagnitudes<Channels> want;
    ostrel::AddRunScalar<Layout, Channels>(p, frames, want);
    for (const Variant v : {Variant::kPortable, Variant::kAvx2}) {
      if (!ostrel::CanRun<Layout>(v)) continue;
      ostrel::RunMagnitudes<Channels> got;
      ostrel::AddRun<Layout, Channels>(v, p, frames, got);
      ASSERT_EQ(got.sum, want.sum) << static_cast<int>(v) << " " << frames;
      ASSERT_EQ(got.top, want.top) << static_cast<int>(v) << " " << frames;
    }
  }
}

TEST(SampleDecode, EveryVariantMatchesThePlainLoop) {
  std::mt19937 rng(7);
  CheckVariants<ostrel::Unsigned8Samples, 1>(rng);
  CheckVariants<ostrel::Unsigned8Samples, 2>(rng);
  CheckVariants<ostrel::Unsigned8Samples, 3>(rng);
  CheckVariants<ostrel::Unsigned8Samples, 6>(rng);
  CheckVariants<ostrel::Unsigned8Samples, 8>(rng);
  CheckVariants<ostrel::ALawSamples, 1>(rng);
  CheckVariants<ostrel::ALawSamples, 2>(rng);
  CheckVariants<ostrel::MuLawSamples, 1>(rng);
  CheckVariants<ostrel::MuLawSamples, 3>(rng);
  CheckVariants<ostrel::IntegerSamples<2>, 1>(rng);
  CheckVariants<ostrel::IntegerSamples<2>, 3>(rng);
  CheckVariants<ostrel::IntegerSamples<2>, 5>(rng);
  CheckVariants<ostrel::IntegerSamples<2>, 6>(rng);
  CheckVariants<ostrel::IntegerSamples<2>, 7>(rng);
  CheckVariants<ostrel::IntegerSamples<3>, 3>(rng);
  CheckVariants<ostrel::IntegerSamples<4>, 6>(rng);
  CheckVariants<ostrel::Float32Samples, 5>(rng);
  CheckVariants<ostrel::IntegerSamples<2>, 2>(rng);
  CheckVariants<ostrel::IntegerSamples<3>, 1>(rng);
  CheckVariants<ostrel::IntegerSamples<3>, 2>(rng);
  CheckVariants<ostrel::IntegerSamples<4>, 1>(rng);
  CheckVariants<ostrel::IntegerSamples<4>, 2>(rng);
  CheckVariants<ostrel::Float32Samples, 1>(rng);
  CheckVariants<ostrel::Float32Samples, 2>(rng);
}

TEST(SampleDecode, PlainLoopMagnitudes) {
  // Hand-worked keys: steps of the least significant bit for integers, the
  // low 31 bits of the word for floats; the largest per channel, and for
  // integers their sum.
  struct Row {
    std::vector<std::uint8_t> frame;  // one stereo frame
    std::uint32_t left, right;
  };
  const Row rows16[] = {
      {.frame = {0x00, 0x80, 0xFF, 0x7F}, .left = 32768, .right = 32767},
      {.frame = {0xFF, 0xFF, 0x00, 0x01}, .left = 1, .right = 256},
  };
  for (const Row& r : rows16) {
    ostrel::RunMagnitudes<2> m;
    ostrel::AddRunScalar<ostrel::IntegerSamples<2>, 2>(r.frame.data(), 1, m);
    EXPECT_EQ(m.top, (std::array<std::uint64_t, 2>{r.left, r.right}));
    EXPECT_EQ(m.sum, std::uint64_t{r.left} + r.right);
  }
  const std::vector<std::uint8_t> s24 = {0x00, 0x00, 0x80, 0x80, 0x80, 0xFF};  // -2^23; -32640
  ostrel::RunMagnitudes<2> m24;
  ostrel::AddRunScalar<ostrel::IntegerSamples<3>, 2>(s24.data(), 1, m24);
  EXPECT_EQ(m24.top, (std::array<std::uint64_t, 2>{8388608, 32640}));
  const std::vector<std::uint8_t> f32 = {0x00, 0x00, 0x80, 0xBF};  // -1.0
  ostrel::RunMagnitudes<1> mf;
  ostrel::AddRunScalar<ostrel::Float32Samples, 1>(f32.data(), 1, mf);
  EXPECT_EQ(mf.top[0], 0x3F800000U);
  EXPECT_EQ(ostrel::Float32Samples::KeyMagnitude(mf.top[0]), 128);
}

}  // namespace
