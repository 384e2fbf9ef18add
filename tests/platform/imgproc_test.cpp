#include "platform/imgproc/imgproc.h"

#include <gtest/gtest.h>

#include <vector>

TEST(ImageProcessor, Contract) {
  ImageProcessor ip;
  // Two rows of 3 pixels inside a stride of 5; the padding must stay untouched.
  std::vector<std::uint8_t> px = {20, 20, 250, 99, 99, 20, 20, 20, 99, 99};
  Gray8Image img{};
  img.width = 3;
  img.height = 2;
  img.stride = 5;
  img.pixels = px.data();
  ImageHistogram8 h{};
  ASSERT_TRUE(ip.BuildHistogram(img, h));
  EXPECT_EQ(ip.GetBrightness(h, 15, 80), 20.0);  // the white pixel is outside the percentiles
  BrightenImageParams params{};
  params.targetBrightness = 40;
  BrightenImageParams report{};
  ASSERT_TRUE(ip.BrightenImage(img, params, &report));
  EXPECT_EQ(report.measuredBrightness, 20u);
  EXPECT_EQ(px, (std::vector<std::uint8_t>{40, 40, 255, 99, 99, 40, 40, 40, 99, 99}));
  img.stride = 2;
  EXPECT_FALSE(ip.BuildHistogram(img, h));
}
