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
  ASSERT_TRUE(ip.BrightenImage(img, h, params, nullptr));
  const double gain = 48.0 / ip.GetBrightness(h, 15, 80);
  for (std::uint32_t i = 0; i < px.size(); ++i) {
    const double want = i % kStride < kWidth ? std::min(255.0, std::floor(original[i] * gain + 0.5)) : 0xA5;
    ASSERT_EQ(px[i], want) << "byte " << i;
  }
}
