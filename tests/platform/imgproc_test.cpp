#include "platform/imgproc/imgproc.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

Gray8Image describe(std::vector<std::uint8_t>& px, std::uint32_t w, std::uint32_t h, std::uint32_t stride) {
  Gray8Image img{};
  img.width = w;
  img.height = h;
  img.stride = stride;
  img.pixels = px.data();
  return img;
}

}  // namespace

TEST(ImageProcessor, UniformPictureHasItsOwnValueAsBrightness) {
  ImageProcessor ip;
  for (int v : {0, 1, 25, 128, 255}) {
    std::vector<std::uint8_t> px(30 * 20, static_cast<std::uint8_t>(v));
    ImageHistogram8 h;
    std::memset(&h, 0, sizeof h);
    ASSERT_TRUE(ip.BuildHistogram(describe(px, 30, 20, 30), h));
    EXPECT_EQ(ip.GetBrightness(h, 15, 80), v);
  }
}

TEST(ImageProcessor, BrightnessIgnoresPixelsOutsideThePercentiles) {
  ImageProcessor ip;
  // 10% black, 80% at 40, 10% white: the middle band sees only 40.
  std::vector<std::uint8_t> px(100, 40);
  std::fill(px.begin(), px.begin() + 10, 0);
  std::fill(px.end() - 10, px.end(), 255);
  ImageHistogram8 h;
  ip.BuildHistogram(describe(px, 100, 1, 100), h);
  EXPECT_EQ(ip.GetBrightness(h, 15, 80), 40.0);
  EXPECT_GT(ip.GetBrightness(h, 0, 100), 40.0);
}

TEST(ImageProcessor, BrighteningClipsAtWhiteAndRespectsTheStride) {
  ImageProcessor ip;
  // Two rows of 3 pixels inside a stride of 5; the padding must stay.
  std::vector<std::uint8_t> px = {20, 20, 250, 99, 99, 20, 20, 20, 99, 99};
  Gray8Image img = describe(px, 3, 2, 5);
  BrightenImageParams params{};
  params.targetBrightness = 40;
  BrightenImageParams report{};
  ASSERT_TRUE(ip.BrightenImage(img, params, &report));
  EXPECT_EQ(report.measuredBrightness, 20u);
  EXPECT_EQ(px, (std::vector<std::uint8_t>{40, 40, 255, 99, 99, 40, 40, 40, 99, 99}));
}

TEST(ImageProcessor, RefusesPicturesWithoutPixelsOrWithAShortStride) {
  ImageProcessor ip;
  std::vector<std::uint8_t> px(10);
  ImageHistogram8 h;
  EXPECT_FALSE(ip.BuildHistogram(describe(px, 5, 2, 4), h));
  Gray8Image none{};
  BrightenImageParams params{};
  EXPECT_FALSE(ip.BrightenImage(none, params, nullptr));
}
