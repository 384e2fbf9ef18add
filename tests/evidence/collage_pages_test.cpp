// The collage sample page: sizes, layouts, refused arguments, and missing
// photographs leaving empty cells.
#include "evidence/collage_pages.h"
#include "http/server.h"
#include "support/page_call.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

cv::Size jpegSize(const std::string& body) {
  const cv::Mat m = cv::imdecode(std::vector<std::uint8_t>(body.begin(), body.end()), cv::IMREAD_COLOR);
  return m.size();
}

TEST(CollagePages, SampleSizesLayoutsAndRefusals) {
  // The page reads "../test/photo_N.jpg" from the working directory.
  const fs::path root = fs::temp_directory_path() / ("collage_pages_" + std::to_string(::getpid()));
  fs::create_directories(root / "bin");
  fs::create_directories(root / "test");
  const fs::path before = fs::current_path();
  fs::current_path(root / "bin");
  HttpServer server;
  webcollage::subscribe(server);
  const auto get = [&](const std::string& t) { return testsupport::callPage(server, "GET", t); };

  EXPECT_EQ(jpegSize(get("/debug/collage/1.jpg").body), cv::Size(800, 600));  // no photographs at all
  for (int n = 1; n <= 5; ++n) {
    cv::Mat photo(200 + 40 * n, 300 + 50 * n, CV_8UC3, cv::Scalar(40 * n, 200, 255 - 40 * n));
    cv::imwrite((root / "test" / ("photo_" + std::to_string(n) + ".jpg")).string(), photo);
  }
  const struct {
    const char* target;
    int status;
    cv::Size size;
  } cases[] = {
      {"/debug/collage/1.jpg", 200, {800, 600}},
      {"/debug/collage/123.jpg?w=1200&h=600&type=4&grid=1&crop1=1", 200, {1200, 600}},
      {"/debug/collage/1.jpg?w=100000&h=1", 200, {4096, 64}},
      {"/debug/collage/1.jpg?type=99", 400, {}},
      {"/debug/collage/1.jpg?w=abc", 400, {}},
      {"/debug/collage/1.jpg?h=", 400, {}},
  };
  for (const auto& c : cases) {
    const testsupport::PageReply r = get(c.target);
    EXPECT_EQ(r.status, c.status) << c.target;
    if (c.status == 200) {
      EXPECT_EQ(jpegSize(r.body), c.size) << c.target;
    }
  }
  const std::string form = get("/debug/collage/").body;
  EXPECT_NE(form.find("<input type=checkbox name=crop4 value=5> crop 5<br>"), std::string::npos);
  EXPECT_NE(form.find("src=\"/debug/collage/1.jpg\"></iframe>"), std::string::npos);
  fs::current_path(before);
  fs::remove_all(root);
}

}  // namespace
