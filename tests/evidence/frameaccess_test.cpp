#include "evidence/frameaccess.h"
#include "tests/support/text.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using testsupport::stdoutOf;

}  // namespace

TEST(GetFrame, RefusesMissingGoneForeignAndShortRecordsWithItsMessages) {
  std::vector<std::uint8_t> bytes(100);
  cv::Mat out;
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(11, nullptr, {}, out)); }),
            "[ERR] кадр уже устарел: 11\n");
  RawFrameView released{kFrameTypeGray8, 10, 10, bytes.data(), 0};
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(12, &released, {}, out)); }),
            "[ERR] кадр уже устарел: 12\n");
  RawFrameView overwritten{kFrameTypeGray8, 10, 10, bytes.data(), 100};
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(13, &overwritten, [] { return false; }, out)); }),
            "[ERR] кадр уже устарел (повторная проверка): 13\n");
  RawFrameView h264{1, 10, 10, bytes.data(), 100};
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(14, &h264, {}, out)); }), "[ERR] invalid frametype: 14\n");
  RawFrameView shortRecord{kFrameTypeGray8, 10, 11, bytes.data(), 100};
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(15, &shortRecord, {}, out)); }),
            "[ERR] invalid frametype: 15\n");
  EXPECT_TRUE(out.empty());
}

TEST(CaptionBands, RowsAndColumnsAreAddedInTheColourAndZeroChangesNothing) {
  cv::Mat img(4, 6, CV_8UC3, cv::Scalar(1, 2, 3));
  const uchar* before = img.data;
  resizeRow(img, 0, cv::Scalar(9, 9, 9));
  EXPECT_EQ(img.data, before);
  resizeRow(img, 3, cv::Scalar(9, 8, 7));
  EXPECT_EQ(img.size(), cv::Size(6, 7));
  EXPECT_EQ(img.at<cv::Vec3b>(3, 0), cv::Vec3b(1, 2, 3));
  EXPECT_EQ(img.at<cv::Vec3b>(6, 5), cv::Vec3b(9, 8, 7));
  resizeCol(img, 2, cv::Scalar(5, 5, 5));
  EXPECT_EQ(img.size(), cv::Size(8, 7));
  EXPECT_EQ(img.at<cv::Vec3b>(0, 7), cv::Vec3b(5, 5, 5));
}
