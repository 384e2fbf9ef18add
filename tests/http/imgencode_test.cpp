// Encoding into a caller's reused buffer: a buffer that held a larger
// picture must come back holding exactly the new picture's encoding.
#include "http/webutil.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <vector>

namespace {

TEST(HttpImgEncode, ReusedBufferHoldsOnlyTheNewPicture) {
  cv::Mat large(120, 160, CV_8UC1), small(20, 30, CV_8UC3);
  cv::randu(large, 0, 255);
  cv::randu(small, 0, 255);
  for (const char* format : {"png", "jpeg"}) {
    SCOPED_TRACE(format);
    std::vector<unsigned char> buffer;
    ASSERT_TRUE(imgencode(large, format, buffer));
    const std::size_t largeSize = buffer.size();
    ASSERT_TRUE(imgencode(small, format, buffer));
    ASSERT_LT(buffer.size(), largeSize);
    unsigned char* fresh = nullptr;
    const int freshSize = imgcompress(small, format, fresh);
    ASSERT_GT(freshSize, 0);
    EXPECT_EQ(buffer, std::vector<unsigned char>(fresh, fresh + freshSize));
    std::free(fresh);
    EXPECT_EQ(cv::imdecode(buffer, cv::IMREAD_UNCHANGED).size(), small.size());
  }
  std::vector<unsigned char> buffer;
  EXPECT_FALSE(imgencode(large, "gif", buffer));
  EXPECT_FALSE(imgencode(large(cv::Rect(1, 1, 10, 10)), "png", buffer));  // not continuous
}

}  // namespace
