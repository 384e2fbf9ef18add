#include "platform/imgproc/imgproc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

// Rows of 13 pixels in a stride of 16: the four-at-a-time loop, its tail and
// padding that must stay as it was.
TEST(ImageProcessorBrighten, EveryPixelTakesTheGainAndThePaddingStays) {
  constexpr std::uint32_t kWidth = 13, kStride = 16, kRows = 7;
  std::vector<std::uint8_t> original(kStride * kRows, 0xA5);
  for (std::uint32_t i = 0; i < original.size(); ++i)
    if (i % kStride < kWidth) original[i] = static_cast<std::uint8_t>(3 + (i * 7) % 40);
  std::vector<std::uint8_t> px = original;
  Gray8Image img{kWidth, kRows, kStride, 0, px.data()};
  const ImageProcessor ip;
  ImageHistogram8 h{};
  ASSERT_TRUE(ip.BuildHistogram(img, h));
  BrightenImageParams params{};
  params.targetBrightness = 48;
  img.height = kRows - 1;  // a histogram of another picture is refused
  EXPECT_FALSE(ip.BrightenImage(img, h, params, nullptr));
  EXPECT_EQ(px, original);
  img.height = kRows;
  const double measured = ip.GetBrightness(h, 15, 80);
  ASSERT_TRUE(ip.BrightenImage(img, h, params, nullptr));
  const double gain = 48.0 / measured;
  for (std::uint32_t i = 0; i < px.size(); ++i) {
    const double want = i % kStride < kWidth ? std::min(255.0, std::floor(original[i] * gain + 0.5)) : 0xA5;
    ASSERT_EQ(px[i], want) << "byte " << i;
  }
  // The one-call form measures for itself and reports what it measured.
  px = original;
  BrightenImageParams report{};
  ASSERT_TRUE(ip.BrightenImage(img, params, &report));
  EXPECT_EQ(report.measuredBrightness, static_cast<std::uint32_t>(measured));
  img.stride = kWidth - 1;  // rows overlapping each other
  EXPECT_FALSE(ip.BuildHistogram(img, h));

  // The brightness is measured between percentiles: a white pixel does not count.
  std::vector<std::uint8_t> few = {20, 20, 250, 20, 20, 20};
  ASSERT_TRUE(ip.BuildHistogram({3, 2, 3, 0, few.data()}, h));
  EXPECT_EQ(ip.GetBrightness(h, 15, 80), 20.0);
}
