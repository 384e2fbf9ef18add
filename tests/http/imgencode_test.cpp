// Encoding into a reused buffer: after a larger picture it must hold exactly
// the new picture's encoding, nothing of the old one.
#include "http/webutil.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <cstdlib>
#include <vector>

TEST(HttpImgEncode, ReusedBufferHoldsOnlyTheNewPicture) {
  cv::Mat large(120, 160, CV_8UC1), small(20, 30, CV_8UC3);
  cv::randu(large, 0, 255);
  cv::randu(small, 0, 255);
  for (const char* format : {"png", "jpeg"}) {
    std::vector<unsigned char> buffer;
    ASSERT_TRUE(imgencode(large, format, buffer) && imgencode(small, format, buffer)) << format;
    unsigned char* fresh = nullptr;
    const int size = imgcompress(small, format, fresh);
    ASSERT_GT(size, 0) << format;
    EXPECT_EQ(buffer, std::vector<unsigned char>(fresh, fresh + size)) << format;
    std::free(fresh);
    EXPECT_FALSE(imgencode(large(cv::Rect(1, 1, 10, 10)), format, buffer)) << "not continuous";
  }
}
