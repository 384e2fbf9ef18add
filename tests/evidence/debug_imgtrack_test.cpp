// The track debug picture: strip layout, border colours, frames that left
// the store, and plates wider than the picture.
#include "evidence/debug_imgtrack.h"

#include "evidence/compose_frame.h"
#include "tests/support/evidence_scene.h"

#include <gtest/gtest.h>

namespace {

using evtest::EvidenceScene;

cv::Vec3b pixel(const cv::Mat& m, int x, int y) { return m.at<cv::Vec3b>(y, x); }
const cv::Vec3b kGreen(0, 255, 0);
const cv::Vec3b kRed(0, 0, 255);

TEST(DebugImgTrack, FrameWithAStripOfPlateCellsBelow) {
  EvidenceScene scene;
  kovira::Track t = scene.track();
  // One reading that disagrees with the track's text.
  kovira::TrackPoint odd = EvidenceScene::point(scene.addFrame(320, evtest::kBase), scene.zone, 320, "B999XX99");
  t.join(odd);
  cv::Mat out;
  testing::internal::CaptureStdout();
  ASSERT_TRUE(debug_imgtrack(scene.camid, scene.nums[8], out, t));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  // Cells 260 x 80, two per row (640 / 280), twelve cells in six rows.
  ASSERT_EQ(out.type(), CV_8UC3);
  EXPECT_EQ(out.cols, evtest::kW);
  EXPECT_EQ(out.rows, evtest::kH + 6 * 80 + 7 * 10);
  const int left = (640 - 2 * 260 - 10) / 2;
  const int top = evtest::kH + 10;
  EXPECT_EQ(pixel(out, left + 1, top + 1), kGreen);                        // cell 1 agrees
  EXPECT_EQ(pixel(out, left + 270 + 1, top + 5 * 90 + 1), kRed);           // cell 12 does not
  EXPECT_EQ(pixel(out, left + 130, top + 20), cv::Vec3b(250, 250, 250));   // the plate crop, centred
  EXPECT_EQ(pixel(out, left + 270 + 260 + 5, top + 5 * 90 + 40), cv::Vec3b(0, 0, 0));  // gap stays black
}

TEST(DebugImgTrack, FramesThatLeftTheStore) {
  EvidenceScene scene;
  kovira::Track t = scene.track();
  const unsigned best = scene.nums[8];
  // Every frame of the track overwritten: the evidence frame is gone.
  while (evidence::framePresent(scene.store(), scene.nums.back())) scene.addFrame(300, evtest::kBase);
  cv::Mat out(3, 3, CV_8UC1, cv::Scalar(7));
  testing::internal::CaptureStdout();
  EXPECT_FALSE(debug_imgtrack(scene.camid, best, out, t));
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "[ERR] кадр уже устарел: A123BC77\n");
  EXPECT_EQ(out.rows, 3);
  EXPECT_EQ(out.at<std::uint8_t>(0, 0), 7);

  // A fresh evidence frame whose other frames are all gone: no strip.
  const unsigned fresh = scene.addFrame(300, evtest::kBase);
  kovira::Track withFresh = scene.track();
  withFresh.join(EvidenceScene::point(fresh, scene.zone, 300));
  ASSERT_TRUE(debug_imgtrack(scene.camid, fresh, out, withFresh));
  EXPECT_EQ(out.rows, evtest::kH + 80 + 2 * 10);  // only the fresh frame's cell
}

TEST(DebugImgTrack, PlatesWiderThanThePictureAreClippedOneCellPerRow) {
  EvidenceScene scene;
  kovira::Track t = scene.track(4);
  for (kovira::TrackPoint& p : t.points) {
    p.x = -30;
    p.w = 700;  // wider than the frame on both sides
  }
  cv::Mat out;
  ASSERT_TRUE(debug_imgtrack(scene.camid, scene.nums[3], out, t));
  // Cells 720 x 80, one per row although 640 / 740 is 0.
  EXPECT_EQ(out.cols, evtest::kW);
  EXPECT_EQ(out.rows, evtest::kH + 4 * 80 + 5 * 10);
}

}  // namespace
