// Web utilities and the socket-free parts of the response: URL coding,
// links, image encoding, MIME types, the compression rule.
#include "http/gzip.h"
#include "http/response.h"
#include "http/webutil.h"
#include "tests/http/http_test_client.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <random>

namespace {

TEST(HttpUrlDecode, FollowsTheTable) {
  const std::pair<std::string, std::string> table[] = {
      {"a%20b+c", "a b c"}, {"100%", "100%"},   {"%41%42", "AB"},  {"%4", "%4"},
      {"%4g", "\x04"},      {"%zz", std::string(1, '\0')},          {"%", "%"},
      {"%d1%86", "\xd1\x86"}, {"+%2B", " +"},   {"", ""},
  };
  for (const auto& [in, out] : table) EXPECT_EQ(urldecode(in), out) << in;
}

TEST(HttpUrlEncode, FollowsTheTable) {
  EXPECT_EQ(urlencode("a b/\xd1\x86.txt"), "a+b%2f%d1%86.txt");
  EXPECT_EQ(urlencode("AZaz09-._~"), "AZaz09-._~");
  EXPECT_EQ(urlencode("&=%+"), "%26%3d%25%2b");
  EXPECT_EQ(urlencode(std::string("ab\0cd", 5)), "ab");
  // Decoding undoes encoding for every byte.
  std::string all;
  for (int b = 1; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(urldecode(urlencode(all)), all);
}

struct Encoded {
  unsigned char* data = nullptr;
  int size = -1;
  ~Encoded() { std::free(data); }
  cv::Mat decode(int flags) const {
    return cv::imdecode(cv::Mat(1, size, CV_8UC1, data), flags);
  }
};

TEST(HttpImgcompress, PngRoundTripsGreyAndColourExactly) {
  for (const int type : {CV_8UC1, CV_8UC3}) {
    cv::Mat picture(7, 5, type);
    cv::randu(picture, 0, 255);
    Encoded e;
    e.size = imgcompress(picture, "png", e.data);
    ASSERT_GT(e.size, 0);
    EXPECT_EQ(cv::norm(e.decode(cv::IMREAD_UNCHANGED), picture, cv::NORM_INF), 0);
  }
}

TEST(HttpImgcompress, FourChannelsAreRgbaAndLeftUnchanged) {
  unsigned char rgba[2 * 2 * 4];
  for (int i = 0; i < 4; ++i) {
    rgba[i * 4 + 0] = 10;   // red
    rgba[i * 4 + 1] = 20;   // green
    rgba[i * 4 + 2] = 30;   // blue
    rgba[i * 4 + 3] = 255;  // alpha
  }
  unsigned char copy[sizeof rgba];
  std::memcpy(copy, rgba, sizeof rgba);
  Encoded e;
  e.size = imgcompress(rgba, 2, 2, 4, "png", e.data);
  ASSERT_GT(e.size, 0);
  const cv::Mat back = e.decode(cv::IMREAD_UNCHANGED);
  ASSERT_EQ(back.channels(), 3);
  EXPECT_EQ(back.at<cv::Vec3b>(1, 1), cv::Vec3b(30, 20, 10));  // blue, green, red
  EXPECT_EQ(std::memcmp(copy, rgba, sizeof rgba), 0);
}

TEST(HttpImgcompress, JpegStartsWithSoiAndDecodesToTheSameSize) {
  unsigned char pixels[2 * 2] = {0, 64, 128, 255};
  for (const char* format : {"jpg", "jpeg"}) {
    Encoded e;
    e.size = imgcompress(pixels, 2, 2, 1, format, e.data);
    ASSERT_GT(e.size, 2) << format;
    EXPECT_EQ(e.data[0], 0xFF);
    EXPECT_EQ(e.data[1], 0xD8);
    EXPECT_EQ(e.decode(cv::IMREAD_UNCHANGED).size(), cv::Size(2, 2));
  }
}

TEST(HttpImgcompress, RefusesUnknownFormatsChannelsAndLayouts) {
  unsigned char pixels[4 * 4 * 4] = {};
  unsigned char* out = reinterpret_cast<unsigned char*>(&pixels);  // must stay untouched
  unsigned char* const before = out;
  EXPECT_EQ(imgcompress(pixels, 2, 2, 1, "gif", out), -1);
  EXPECT_EQ(imgcompress(pixels, 2, 2, 2, "png", out), -1);
  EXPECT_EQ(imgcompress(pixels, 0, 2, 1, "png", out), -1);
  cv::Mat wide(4, 4, CV_16UC1, cv::Scalar(0));
  EXPECT_EQ(imgcompress(wide, "png", out), -1);
  cv::Mat whole(4, 4, CV_8UC1, cv::Scalar(0));
  cv::Mat roi = whole(cv::Rect(1, 1, 2, 2));
  EXPECT_EQ(imgcompress(roi, "png", out), -1);
  EXPECT_EQ(out, before);
}

TEST(HttpResponseTables, MimeByNameUsesTheLastExtensionInLowerCase) {
  HttpResponse r(-1);
  const std::pair<const char*, const char*> table[] = {
      {"photo.JPG", "image/jpeg"},        {"README", "application/octet-stream"},
      {"archive.tar.gz", "application/octet-stream"}, {"a.tar", "application/x-tar"},
      {"x.Html", "text/html"},            {"", "application/octet-stream"},
      {"json", "application/json"},       {"app.js", "application/javascript"},
  };
  for (const auto& [name, type] : table) {
    r.MIMEbyName(name);
    EXPECT_EQ(r.headers["Content-Type"], type) << name;
  }
}

TEST(HttpResponseTables, CompressionRule) {
  HttpResponse r(-1);
  r.headers["Content-Type"] = "text/html; charset=utf-8";
  EXPECT_FALSE(r.compresscheck(100000, 200)) << "mode 0 never compresses";
  r.compress = HttpResponse::kCompressAllowed;
  EXPECT_TRUE(r.compresscheck(8192, 200));
  EXPECT_FALSE(r.compresscheck(8191, 200));
  EXPECT_FALSE(r.compresscheck(8192, 302));
  EXPECT_FALSE(r.compresscheck(8192, 404));
  r.headers["Content-Type"] = "image/png";
  EXPECT_FALSE(r.compresscheck(100000, 200));
  r.headers.erase("Content-Type");
  EXPECT_FALSE(r.compresscheck(100000, 200));
  r.compress = HttpResponse::kCompressAlways;
  EXPECT_TRUE(r.compresscheck(1, 404));
}

TEST(HttpGzip, ChunkBoundarySizesGiveOneCompleteMember) {
  std::mt19937 rng(7);
  for (const std::size_t size : {std::size_t(0), std::size_t(1), std::size_t(32767), std::size_t(32768),
                                 std::size_t(32769), std::size_t(65536), std::size_t(300000)}) {
    std::string text(size, 'a');
    for (auto& c : text) c = static_cast<char>('a' + rng() % 7);
    std::stringstream in(text);
    std::stringstream out;
    ASSERT_TRUE(gzipStream(in, out)) << size;
    const std::string z = out.str();
    ASSERT_GE(z.size(), 18u);
    EXPECT_EQ(static_cast<unsigned char>(z[0]), 0x1f);
    EXPECT_EQ(static_cast<unsigned char>(z[1]), 0x8b);
    EXPECT_EQ(httptest::gunzip(z), text) << size;
  }
}

}  // namespace
