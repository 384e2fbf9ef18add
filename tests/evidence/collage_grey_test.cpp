// A grey frame is converted to colour only where its cell shows it; the
// collage must come out byte for byte as from the same frame converted whole.
#include "evidence/collage.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <string>

namespace {

struct GreyCase {
  const char* name;
  cv::Rect crop;  // width 0: the whole frame
  bool fill, caption;
};

// Overlays that reach past the crop and the frame's edges.
void decorate(CollageImage& item, const cv::Rect& crop) {
  item.DrawRect(crop.x - 20, crop.y + 10, crop.width / 2, crop.height / 2, "0000FF", 6);
  item.DrawLine(0, 0, 1279, 719, "00FF00", 3);
  item.drawCrosshair(crop.x + crop.width, crop.y + crop.height / 2, 40, "FF0000", 2);
  item.Rectangle(crop.x + 5, crop.y + 5, crop.width + 400, 30, 1, "FFFF00");
  item.setCoord(1, crop.x + crop.width / 2, crop.y + crop.height / 2);
}

cv::Mat assemble(cv::Mat& frame, const GreyCase& c) {
  CollageImage item(frame);
  decorate(item, c.crop.width > 0 ? c.crop : cv::Rect(0, 0, frame.cols, frame.rows));
  if (c.caption) item.caption = "A123BC77 87 KM/H|LIMIT 60";
  if (c.crop.width > 0) item.Offset(c.crop.x, c.crop.y, c.crop.width, c.crop.height);
  item.fill = c.fill;
  Collage collage(1, 960, 600);
  collage.Place(item, 1);
  collage.Assemble(false);
  return collage.image.clone();
}

class CollageGrey : public ::testing::TestWithParam<GreyCase> {};

}  // namespace

TEST_P(CollageGrey, MatchesTheFrameConvertedWhole) {
  const GreyCase& c = GetParam();
  cv::Mat grey(720, 1280, CV_8UC1);
  cv::randu(grey, 0, 256);
  const cv::Mat before = grey.clone();
  cv::Mat colour;
  cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);

  const cv::Mat fromGrey = assemble(grey, c);
  const cv::Mat fromColour = assemble(colour, c);
  ASSERT_EQ(fromGrey.size(), fromColour.size());
  EXPECT_EQ(cv::countNonZero(fromGrey.reshape(1) != fromColour.reshape(1)), 0);
  EXPECT_EQ(cv::countNonZero(grey != before), 0) << "the grey frame was written";
}

INSTANTIATE_TEST_SUITE_P(
    Crops, CollageGrey,
    ::testing::Values(GreyCase{"vehicle_fill_caption", {470, 300, 360, 300}, true, true},
                      GreyCase{"vehicle_fit", {470, 300, 360, 300}, false, false},
                      GreyCase{"left_edge", {0, 100, 200, 400}, true, true},
                      GreyCase{"bottom_right_edge", {1100, 600, 180, 120}, true, false},
                      GreyCase{"tall_crop", {600, 0, 80, 720}, true, true},
                      GreyCase{"whole_frame_fit", {}, false, true},
                      GreyCase{"whole_frame_fill", {}, true, false}),
    [](const ::testing::TestParamInfo<GreyCase>& p) { return std::string(p.param.name); });
