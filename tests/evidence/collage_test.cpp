#include "evidence/collage.h"
#include "evidence/embedded.h"

#include <gtest/gtest.h>
#include <opencv2/imgproc.hpp>

#include <stdexcept>
#include <string>

namespace {

// Centroid of the bright pixels of a collage: where a white dot ended up.
cv::Point2d brightCentroid(const cv::Mat& bgr) {
  cv::Mat grey;
  cv::cvtColor(bgr, grey, cv::COLOR_BGR2GRAY);
  const cv::Moments m = cv::moments(grey > 127, true);
  return m.m00 > 0 ? cv::Point2d(m.m10 / m.m00, m.m01 / m.m00) : cv::Point2d(-1, -1);
}

cv::Mat frameWithDot(int w, int h, cv::Point p, int half) {
  cv::Mat frame(h, w, CV_8UC1, cv::Scalar(0));
  cv::rectangle(frame, cv::Rect(p.x - half, p.y - half, 2 * half + 1, 2 * half + 1), cv::Scalar(255), cv::FILLED);
  return frame;
}

}  // namespace

TEST(EmbeddedFiles, CollageLayoutsAreCompiledInWithTheirExactSize) {
  std::size_t size = 0;
  const char* cfg = find_embedded_file("collage.cfg", &size);
  ASSERT_NE(cfg, nullptr);
  EXPECT_EQ(cfg[size], '\0');
  EXPECT_EQ(find_embedded_file("collage.json"), nullptr);
  for (int type = 1; type <= 4; ++type) EXPECT_NO_THROW(Collage(type, 960, 600)) << type;
}

TEST(Collage, LayoutsGiveTheWorkedCells) {
  const Collage one(1, 960, 600);
  ASSERT_EQ(one.cells.size(), 2u);
  EXPECT_EQ(one.cells[0], cv::Rect(1, 1, 959, 599));
  EXPECT_EQ(one.cells[1], cv::Rect(0, 0, 960, 600));
  const Collage two(2, 1200, 600);
  EXPECT_EQ(std::vector<cv::Rect>(two.cells.begin() + 1, two.cells.end()),
            (std::vector<cv::Rect>{{0, 0, 399, 240}, {399, 0, 399, 240}, {799, 0, 399, 240}, {0, 240, 600, 360},
                                   {600, 240, 600, 360}}));
  const Collage three(3, 1200, 600);
  EXPECT_EQ(std::vector<cv::Rect>(three.cells.begin() + 1, three.cells.end()),
            (std::vector<cv::Rect>{{0, 0, 600, 300}, {600, 0, 600, 300}, {0, 300, 600, 300}, {600, 300, 600, 300}}));
  const Collage four(4, 1200, 600);
  EXPECT_EQ(std::vector<cv::Rect>(four.cells.begin() + 1, four.cells.end()),
            (std::vector<cv::Rect>{{0, 0, 888, 600}, {888, 0, 312, 300}, {888, 300, 312, 300}}));
}

TEST(Collage, UnknownTypesAndBadSizesThrow) {
  EXPECT_THROW(Collage(5, 960, 600), std::out_of_range);
  EXPECT_THROW(Collage(1, 0, 600), std::out_of_range);
}

TEST(Collage, PlacementFollowsOnAndRefusesPositionsOutsideTheCells) {
  Collage c(4, 400, 200);
  cv::Mat red(10, 10, CV_8UC3, cv::Scalar(0, 0, 255)), green(10, 10, CV_8UC3, cv::Scalar(0, 255, 0)),
      blue(10, 10, CV_8UC3, cv::Scalar(255, 0, 0)), white(10, 10, CV_8UC3, cv::Scalar::all(255));
  CollageImage a(red), b(green), d(blue), e(white);
  a.fill = b.fill = d.fill = true;
  c.Place(a);
  c.Place(b);
  c.Place(d);
  c.Place(e, 4);   // type 4 has cells 0..3
  c.Place(e, -1);  // never a valid cell
  c.Assemble(false);
  EXPECT_EQ(c.image.at<cv::Vec3b>(100, 100), cv::Vec3b(0, 0, 255));  // cell 1
  EXPECT_EQ(c.image.at<cv::Vec3b>(50, 350), cv::Vec3b(0, 255, 0));   // cell 2
  EXPECT_EQ(c.image.at<cv::Vec3b>(150, 350), cv::Vec3b(255, 0, 0));  // cell 3
}

TEST(Collage, GridOutlinesEveryCellInRed) {
  Collage c(1, 100, 50);
  c.Assemble(true);
  EXPECT_EQ(c.image.at<cv::Vec3b>(0, 0), cv::Vec3b(0, 0, 255));    // cell 1 from (0, 0)
  EXPECT_EQ(c.image.at<cv::Vec3b>(1, 1), cv::Vec3b(0, 0, 255));    // cell 0 from (1, 1)
  EXPECT_EQ(c.image.at<cv::Vec3b>(25, 50), cv::Vec3b(0, 0, 0));
}

TEST(CollageImage, FitAndFillOfAWideFrameIntoAWideCell) {
  cv::Mat frame(1536, 2048, CV_8UC3);
  for (int r = 0; r < frame.rows; ++r) frame.row(r).setTo(cv::Scalar::all(r * 255 / 1535));
  cv::Scalar black(0, 0, 0);

  CollageImage fit(frame);
  const cv::Mat fitted = fit.ScaleImage(frame, 1200, 600, black);
  ASSERT_EQ(fitted.size(), cv::Size(1200, 600));
  // 600 / 1536: an 800-column picture with 200-column black bands.
  EXPECT_EQ(fitted.at<cv::Vec3b>(300, 199), cv::Vec3b(0, 0, 0));
  EXPECT_NE(fitted.at<cv::Vec3b>(300, 200), cv::Vec3b(0, 0, 0));
  EXPECT_NE(fitted.at<cv::Vec3b>(300, 999), cv::Vec3b(0, 0, 0));
  EXPECT_EQ(fitted.at<cv::Vec3b>(300, 1000), cv::Vec3b(0, 0, 0));
  EXPECT_NEAR(fitted.at<cv::Vec3b>(599, 600)[0], 255, 2);

  CollageImage cover(frame);
  cover.fill = true;
  const cv::Mat filled = cover.ScaleImage(frame, 1200, 600, black);
  // 1200 / 2048: 900 rows of which the middle 600 are kept; source row 256 on top.
  EXPECT_NEAR(filled.at<cv::Vec3b>(0, 0)[0], 256 * 255 / 1535, 2);
  EXPECT_NEAR(filled.at<cv::Vec3b>(599, 1199)[0], 1279 * 255 / 1535, 2);
}

// A bright dot at a marked point must be found where getCoord says, for
// every way a picture reaches its cell.
struct MappingCase {
  const char* what;
  cv::Size frame;
  cv::Point dot;
  bool fill;
  cv::Rect crop;
};

void PrintTo(const MappingCase& c, std::ostream* os) { *os << c.what; }

class CollageMapping : public testing::TestWithParam<MappingCase> {};

TEST_P(CollageMapping, BrightDotLiesAtTheReportedPoint) {
  const MappingCase& c = GetParam();
  cv::Mat frame = frameWithDot(c.frame.width, c.frame.height, c.dot, 6);
  CollageImage item(frame);
  item.fill = c.fill;
  if (c.crop.width > 0) item.Offset(c.crop.x, c.crop.y, c.crop.width, c.crop.height);
  item.setCoord(1, c.dot);
  Collage collage(1, 1200, 600);
  collage.Place(item, 1);
  collage.Assemble(false);
  int x = -1, y = -1;
  ASSERT_TRUE(collage.getCoord(1, x, y));
  const cv::Point2d found = brightCentroid(collage.image);
  EXPECT_NEAR(found.x, x, 1.5);
  EXPECT_NEAR(found.y, y, 1.5);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, CollageMapping,
    testing::Values(MappingCase{"fit", {2048, 1536}, {1500, 400}, false, {}},
                    MappingCase{"fill", {2048, 1536}, {1500, 900}, true, {}},
                    MappingCase{"fillCropAtRightEdge", {2048, 1536}, {1990, 650}, true, {1900, 600, 140, 100}},
                    MappingCase{"fillCropClampedToFrame", {640, 480}, {620, 240}, true, {600, 0, 40, 480}},
                    MappingCase{"fitCropInside", {2048, 1536}, {1000, 700}, false, {900, 600, 300, 200}}),
    [](const testing::TestParamInfo<MappingCase>& p) { return std::string(p.param.what); });

TEST(CollageImage, CropOutsideTheFrameDrawsNothingAndDropsItsPoints) {
  cv::Mat frame(100, 100, CV_8UC3, cv::Scalar::all(200));
  CollageImage item(frame);
  item.Offset(50, 50, 80, 10);
  item.setCoord(1, 60, 55);
  Collage collage(1, 200, 100);
  collage.Place(item, 1);
  collage.Assemble(false);
  int x, y;
  EXPECT_FALSE(collage.getCoord(1, x, y));
  EXPECT_EQ(cv::countNonZero(collage.image.reshape(1)), 0);
}

TEST(CollageImage, UndecodablePictureIsABlackCell) {
  char junk[] = "not a jpeg";
  CollageImage item(junk, static_cast<int>(sizeof junk), "caption", 12);
  item.setCoord(1, 1, 1);
  Collage collage(1, 200, 100);
  collage.Place(item, 1);
  collage.Assemble(false);
  EXPECT_EQ(cv::countNonZero(collage.image.reshape(1)), 0);
}

TEST(CollageImage, CaptionBandSitsUnderThePictureAndCropsToTheCell) {
  cv::Mat frame(600, 800, CV_8UC3, cv::Scalar(0, 128, 0));
  CollageImage item(frame);
  item.caption = "СКОРОСТЬ 87 КМ/Ч\nЛИМИТ 60";
  Collage collage(1, 960, 600);
  collage.Place(item, 1);
  collage.Assemble(false);
  const int band = item.captionHeight();
  EXPECT_GT(band, 20);
  EXPECT_LT(band, 50);
  // Text pixels only in the band; the picture above is fitted into 600 - band rows.
  cv::Mat bandPixels = collage.image(cv::Rect(0, 600 - band, 960, band));
  EXPECT_GT(cv::countNonZero(bandPixels.reshape(1) > 200), 20);
  EXPECT_EQ(collage.image.at<cv::Vec3b>(600 - band - 2, 480), cv::Vec3b(0, 128, 0));
}

TEST(CollageImage, SixtyLineCaptionIsClampedToTheCell) {
  cv::Mat frame(600, 800, CV_8UC3, cv::Scalar(0, 128, 0));
  CollageImage item(frame);
  for (int i = 0; i < 60; ++i) item.caption += "строка " + std::to_string(i) + "\n";
  Collage collage(1, 960, 600);
  collage.Place(item, 1);
  ASSERT_NO_THROW(collage.Assemble(false));
  EXPECT_EQ(item.captionHeight(), 600);
}

TEST(CollageImage, LongCaptionsWrapAtBlanksInsteadOfBeingCut) {
  cv::Scalar white = GetColor("FFFFFF"), black = GetColor("000000");
  cv::Mat frame(10, 10, CV_8UC3);
  CollageImage item(frame);
  std::string words;
  for (int i = 0; i < 40; ++i) words += "слово ";
  const cv::Mat oneLine = item.TextImage("слово", white, black, 0, 0, 0, 300, 12);
  const cv::Mat wrapped = item.TextImage(words, white, black, 0, 0, 0, 300, 12);
  EXPECT_GT(wrapped.rows, 4 * oneLine.rows);
  // Unwrapped, the surface is as wide as the text (no fixed 1000-pixel cut).
  const cv::Mat wide = item.TextImage(words + words, white, black, 0, 0, 0, 0, 12);
  EXPECT_GT(wide.cols, 1000);
  EXPECT_GT(cv::countNonZero(wide(cv::Rect(wide.cols - 60, 0, 60, wide.rows)).reshape(1)), 0);
}

TEST(CollageImage, ShapesUseBgrColoursAndTheCrosshairIsDiagonal) {
  EXPECT_EQ(GetColor("0000FF"), cv::Scalar(0, 0, 255, 0));
  EXPECT_EQ(GetColor("zz"), cv::Scalar(0, 0, 0, 0));
  cv::Mat frame(200, 200, CV_8UC3, cv::Scalar::all(0));
  CollageImage::Crosshair cross(100, 100, 22, "0000FF", 1);
  cross.Draw(frame);
  for (const cv::Point p : {cv::Point(89, 89), cv::Point(111, 111), cv::Point(111, 89), cv::Point(89, 111)}) {
    EXPECT_EQ(frame.at<cv::Vec3b>(p), cv::Vec3b(0, 0, 255)) << p;
  }
  EXPECT_EQ(frame.at<cv::Vec3b>(100, 89), cv::Vec3b(0, 0, 0));
}
