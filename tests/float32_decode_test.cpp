#include "float32_decode.hpp"

#include "wave_builder.hpp"

namespace {

using wb::Pack;
using wb::Wave;

double Convert(std::uint32_t w) { return ostrel::Float32Convert(w & 0xFF, (w >> 8) & 0xFF, (w >> 16) & 0xFF, w >> 24); }

TEST(Float, Decodes) {
  for (const auto& [word, value] : std::initializer_list<std::pair<std::uint32_t, double>>{
           {0x3F800000, 128}, {0xBF800000, -128}, {0x3F000000, 64}, {0x40000000, 256},
           {0x00000000, 0x1p-120}, {0x80000000, -0x1p-120}})
    EXPECT_EQ(Convert(word), value) << std::hex << word;
  EXPECT_EQ(ostrel::Float32Convert(0x100, 0x100, 0x180, 0x13F), 128);  // only the low 8 bits count
}

TEST(Float, ConvertMatchesTableArithmetic) {
  std::uint32_t x = 1;
  for (std::uint32_t sign_and_exponent = 0; sign_and_exponent < 512; ++sign_and_exponent) {
    for (int k = 0; k < 300; ++k) {
      x = x * 1664525 + 1013904223;
      const std::uint32_t w = sign_and_exponent << 23 | (k == 0 ? 0 : k == 1 ? 0x7FFFFF : x >> 9);
      ASSERT_EQ(Convert(w), wb::Float32Reference(w)) << std::hex << w;
    }
  }
}

TEST(Float, StereoFrameTakesLeftFromItsFirstFourBytes) {
  // 1.0 left and 0.5 right: level (128 + 64) / 2 in a window of one frame.
  EXPECT_EQ(wb::Scan(Pack(4, {0x3F800000, 0x3F000000}), {.bytes = 4, .channels = 2, .window = 1, .integer = false}),
            std::pair(ostrel::Peaks{128, 64}, "0.001\t1\t" + std::string(96, '.') + "\n"));
}

TEST(Float, InfinityAndNanPatternsFinishWithCappedRows) {
  std::vector<std::int64_t> samples;
  for (int k = 0; k < 255; ++k) samples.insert(samples.end(), {0x7F800000, 0xFFFFFFFF, 0x7FC00000, 0xFF800000});
  // The largest magnitude, (2 - 2^-23) 2^128 of full scale, is 129 * 6.0206 = 776.7 dB.
  const Wave w{.bits = 32, .format = 3, .rate = 1020, .samples = Pack(4, samples)};
  EXPECT_EQ(wb::Run({wb::Write(w.Build()), "0", "1"}).first,
            "Ostrel " OSTREL_VERSION " by Valdrin\n" + wb::Lines(20, 32768) + "Showing values above -48 dB\nPeak over interval 776.7 dB\n");
}

TEST(Float, IntegerPcmFourByteSamplesDecodeAsIntegers) {
  // 0x3F800000 as a float is 1.0 (0.0 dB); as an integer 1065353216 / 2^31
  // = 0.496 of full scale (-6.1 dB).
  for (const auto& [format, subformat, db] : std::initializer_list<std::tuple<int, int, std::string>>{
           {1, 1, "-6.1"}, {0xFFFE, 1, "-6.1"}, {3, 1, "0.0"}, {0xFFFE, 3, "0.0"}, {0xFFFE, 0, "0.0"}}) {
    const Wave w{.bits = 32, .format = format, .subformat = subformat, .samples = Pack(4, {0x3F800000})};
    EXPECT_EQ(wb::Run({wb::Write(w.Build()), "0", "1"}).first,
              "Ostrel " OSTREL_VERSION " by Valdrin\nShowing values above -48 dB\nPeak over interval " + db + " dB\n")
        << format << " " << subformat;
  }
  // The same stereo audio as 16-bit and as 32-bit integers (plain and extensible) gives the same output.
  std::vector<std::int64_t> s16{-32768, 32767}, s32;
  for (std::uint32_t x = 99; s16.size() < 2040;) s16.push_back(static_cast<std::int16_t>((x = x * 1664525 + 1013904223) >> 16));
  for (const std::int64_t v : s16) s32.push_back(v * 65536);
  const auto run = [](const Wave& w) { return wb::Run({wb::Write(w.Build()), "0", "1", "0", "4"}).first; };
  const std::string as16 = run(Wave{.channels = 2, .rate = 1020, .samples = Pack(2, s16)});
  EXPECT_TRUE(as16.ends_with("Peaks over interval 0.0 L -0.0 R\n")) << as16;
  EXPECT_EQ(run(Wave{.channels = 2, .bits = 32, .rate = 1020, .samples = Pack(4, s32)}), as16);
  EXPECT_EQ(run(Wave{.channels = 2, .bits = 32, .format = 0xFFFE, .rate = 1020, .samples = Pack(4, s32)}), as16);
}

}  // namespace
