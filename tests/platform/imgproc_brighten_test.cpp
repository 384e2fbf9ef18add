#include "platform/imgproc/imgproc.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

namespace {

// 13 pixels of a 16-byte stride over 7 rows: rows that are neither a
// multiple of four wide nor packed, with padding that must stay as it is.
constexpr std::uint32_t kWidth = 13, kStride = 16, kRows = 7;
constexpr std::uint8_t kPadding = 0xA5;

std::vector<std::uint8_t> darkPicture() {
  std::vector<std::uint8_t> px(kStride * kRows, kPadding);
  for (std::uint32_t r = 0; r < kRows; ++r)
    for (std::uint32_t c = 0; c < kWidth; ++c) px[r * kStride + c] = static_cast<std::uint8_t>(3 + (r * 7 + c * 5) % 40);
  return px;
}

Gray8Image view(std::vector<std::uint8_t>& px) {
  Gray8Image img{};
  img.width = kWidth;
  img.height = kRows;
  img.stride = kStride;
  img.pixels = px.data();
  return img;
}

}  // namespace

TEST(ImageProcessorBrighten, MeasuredHistogramGivesTheOneShotPixelsAndLeavesThePadding) {
  const ImageProcessor ip;
  BrightenImageParams params{};
  params.targetBrightness = 48;
  const std::vector<std::uint8_t> original = darkPicture();

  std::vector<std::uint8_t> oneShot = original;
  Gray8Image a = view(oneShot);
  BrightenImageParams reportA{};
  ASSERT_TRUE(ip.BrightenImage(a, params, &reportA));

  std::vector<std::uint8_t> measured = original;
  Gray8Image b = view(measured);
  ImageHistogram8 h{};
  ASSERT_TRUE(ip.BuildHistogram(b, h));
  BrightenImageParams reportB{};
  ASSERT_TRUE(ip.BrightenImage(b, h, params, &reportB));

  EXPECT_EQ(measured, oneShot);
  EXPECT_EQ(reportB.measuredBrightness, reportA.measuredBrightness);
  const double gain = 48.0 / ip.GetBrightness(h, 15, 80);
  for (std::uint32_t i = 0; i < original.size(); ++i) {
    const bool pixel = i % kStride < kWidth;
    const auto expected = pixel ? static_cast<std::uint8_t>(std::min(255.0, std::floor(original[i] * gain + 0.5)))
                                : kPadding;
    ASSERT_EQ(measured[i], expected) << "byte " << i;
  }

  // A histogram of another picture size is refused, the pixels untouched.
  std::vector<std::uint8_t> other = original;
  Gray8Image c = view(other);
  c.height = kRows - 1;
  EXPECT_FALSE(ip.BrightenImage(c, h, params, nullptr));
  EXPECT_EQ(other, original);
}
