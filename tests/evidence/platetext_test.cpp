#include "evidence/brighten.h"
#include "evidence/platetext.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <thread>
#include <vector>

TEST(PlateText, LatinLookalikesBecomeCyrillicAndEverythingElseStays) {
  const std::pair<std::string, std::string> rows[] = {
      {"A123BC77", "А123ВС77"}, {"a123bc77", "a123bc77"}, {"D", "D"}, {"А123ВС77", "А123ВС77"},
      {"ABEKMHOPCTYX", "АВЕКМНОРСТУХ"}};
  for (auto [plate, expected] : rows) {
    convertLicenseNumberRUS(plate);
    EXPECT_EQ(plate, expected);
  }
}

TEST(Brightening, DarkFramesAreLiftedAndOthersLeftAlone) {
  cv::Mat dark(60, 80, CV_8UC1, cv::Scalar(25));
  EXPECT_EQ(miraclefunc(dark), 25);
  EXPECT_EQ(dark.size(), cv::Size(80, 60));
  EXPECT_EQ(cv::countNonZero(dark != 48), 0);

  cv::Mat normal(60, 80, CV_8UC1, cv::Scalar(26));
  EXPECT_EQ(miraclefunc(normal), 26);
  EXPECT_EQ(cv::countNonZero(normal != 26), 0);

  cv::Mat colour(10, 10, CV_8UC3, cv::Scalar(1, 1, 1));
  EXPECT_EQ(miraclefunc(colour), -1);
  EXPECT_EQ(colour.at<cv::Vec3b>(0, 0)[0], 1);

  // A view into a larger picture uses its real row step.
  cv::Mat whole(100, 100, CV_8UC1, cv::Scalar(200));
  cv::Mat view = whole(cv::Rect(10, 10, 30, 20));
  view.setTo(10);
  miraclefunc(view);
  EXPECT_EQ(cv::countNonZero(view != 48), 0);
  // Pixels beside the view are untouched.
  EXPECT_EQ(cv::countNonZero(whole != 200), 30 * 20);
}

TEST(Brightening, ThreadsGiveTheSerialResults) {
  cv::Mat sample(120, 160, CV_8UC1);
  cv::randu(sample, 0, 40);
  cv::Mat serial = sample.clone();
  miraclefunc(serial);
  constexpr int kThreads = 8;
  std::vector<cv::Mat> copies;
  for (int i = 0; i < kThreads; ++i) copies.push_back(sample.clone());
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) threads.emplace_back([&copies, i] { miraclefunc(copies[static_cast<std::size_t>(i)]); });
  for (auto& t : threads) t.join();
  for (const cv::Mat& c : copies) EXPECT_EQ(cv::norm(c, serial, cv::NORM_INF), 0.0);
  EXPECT_GT(cv::mean(serial)[0], cv::mean(sample)[0]);
}
