#include "evidence/brighten.h"
#include "evidence/platetext.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <thread>
#include <vector>

TEST(PlateText, LatinLookalikesBecomeCyrillicAndEverythingElseStays) {
  std::string plate = "A123BC77";
  convertLicenseNumberRUS(plate);
  EXPECT_EQ(plate, "А123ВС77");
  EXPECT_EQ(plate.size(), 11u);
  std::string lower = "a123bc77", other = "D", done = "А123ВС77";
  convertLicenseNumberRUS(lower);
  convertLicenseNumberRUS(other);
  convertLicenseNumberRUS(done);
  EXPECT_EQ(lower, "a123bc77");
  EXPECT_EQ(other, "D");
  EXPECT_EQ(done, "А123ВС77");
  std::string all = "ABEKMHOPCTYX";
  convertLicenseNumberRUS(all);
  EXPECT_EQ(all, "АВЕКМНОРСТУХ");
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
}

TEST(Brightening, ViewIntoALargerPictureUsesItsRealRowStep) {
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
