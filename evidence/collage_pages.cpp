// "/debug/collage/": a form and a sample collage rendered from five test
// photographs ("../test/photo_N.jpg" beside the program's folder), to see
// how the layouts, captions, crops and marked points come out without a
// camera. A missing photograph leaves its cell empty.
#include "evidence/collage_pages.h"

#include "capture/camera_pages.h"
#include "core/startup_functions.h"
#include "evidence/collage.h"
#include "evidence/collageimage.h"
#include "evidence/simplefile.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cstdlib>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace webcollage {
namespace {

constexpr int kSideMin = 64;
constexpr int kSideMax = Collage::kMaxSide;

std::string photoPath(int n) { return "../test/photo_" + std::to_string(n) + ".jpg"; }

// The photograph's bytes; empty when it cannot be read.
std::vector<char> photoBytes(int n) {
  unsigned int size = 0;
  std::unique_ptr<void, decltype(&std::free)> data(LoadImage(photoPath(n).c_str(), size), &std::free);
  if (!data) return {};
  const char* p = static_cast<const char*>(data.get());
  return std::vector<char>(p, p + size);
}

void markPoint(cv::Mat& picture, CollageImage& item, int id, cv::Point p) {
  item.setCoord(id, p);
  if (!picture.empty()) cv::circle(picture, p, 3, cv::Scalar(0, 0, 255), 1, cv::LINE_8);
}

// A number argument: absent gives the fallback, text that is none 400.
bool number(const HttpRequest& req, const char* name, int fallback, int& out) {
  std::string text;
  if (!req.has(name, text)) {
    out = fallback;
    return true;
  }
  const auto v = kovira::parseDecimal(text, std::numeric_limits<std::int32_t>::min(),
                                      std::numeric_limits<std::int32_t>::max());
  if (!v) return false;
  out = static_cast<int>(*v);
  return true;
}

}  // namespace

int http_collage_form(const HttpRequest&, HttpResponse& resp) {
  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  resp.body << "<h1>Collage</h1><form action=\"123.jpg\" method=get target=ttt>"
               "<input type=text name=w value=1200> width<br>"
               "<input type=text name=h value=600> height<br>"
               "<input type=text name=type value=2> type<br>"
               "<input type=checkbox checked name=grid value=1> grid<br><br>";
  for (int i = 0; i < 5; ++i)
    resp.body << "<input type=checkbox name=crop" << i << " value=" << i + 1 << "> crop " << i + 1 << "<br>";
  // Browsers never show an <img> inside an iframe: the frame loads the sample itself.
  resp.body << "<input type=submit></form><hr><iframe frameborder=0 name=ttt width=\"95%\" height=\"900\" "
               "src=\"/debug/collage/1.jpg\"></iframe>";
  return 200;
}

int http_collage_sample(const HttpRequest& req, HttpResponse& resp) {
  int width = 0, height = 0, type = 0;
  if (!number(req, "w", 800, width) || !number(req, "h", 600, height) || !number(req, "type", 2, type)) return 400;
  width = std::clamp(width, kSideMin, kSideMax);
  height = std::clamp(height, kSideMin, kSideMax);
  std::unique_ptr<Collage> collage;
  try {
    collage = std::make_unique<Collage>(type, width, height);
  } catch (const std::out_of_range&) {
    return 400;  // no such layout
  }

  std::vector<char> jpeg1 = photoBytes(1);
  CollageImage image1(jpeg1.data(), static_cast<int>(jpeg1.size()),
                      "Фото 1 ДАТА/ВРЕМЯ Слово1 Слово2 Слово3\nСлово4 Слово5 Слово6 Слово7",
                      CollageImage::kDefaultFontSize);
  image1.fill = req.has("crop0");
  collage->Place(image1, 1);

  cv::Mat photo2 = cv::imread(photoPath(2), cv::IMREAD_COLOR);
  CollageImage image2(photo2);
  if (req.has("crop1")) {
    image2.fill = true;
    image2.Offset(150, 0, 200, 300);
  }
  for (int i = 0; i < 15; ++i) markPoint(photo2, image2, i, cv::Point(20 * i, 10 * i));
  image2.caption = "Фото 2 ДАТА/ВРЕМЯ";
  collage->Place(image2, 2);

  std::vector<char> jpeg3 = photoBytes(3);
  CollageImage image3(jpeg3.data(), static_cast<int>(jpeg3.size()), "Фото 2 ДАТА/ВРЕМЯ",
                      CollageImage::kDefaultFontSize);
  image3.fill = req.has("crop2");
  collage->Place(image3, 3);

  cv::Mat photo4 = cv::imread(photoPath(4), cv::IMREAD_COLOR);
  CollageImage image4(photo4);
  for (int i = 0; i < 10 && !photo4.empty(); ++i)
    markPoint(photo4, image4, i, cv::Point(std::rand() % photo4.cols, std::rand() % photo4.rows));
  for (int i = 0; i < 10; ++i) markPoint(photo4, image4, 10 + i, cv::Point(20 * i, 20 * i));
  image4.caption = "Комплекс фотовидеофиксации, заводской номер 0001\nПревышение установленной скорости движения";
  image4.fill = req.has("crop3");
  collage->Place(image4, 4);

  std::vector<char> jpeg5 = photoBytes(5);
  CollageImage image5(jpeg5.data(), static_cast<int>(jpeg5.size()));
  image5.fill = req.has("crop4");
  collage->Place(image5, 5);

  collage->Assemble(req.has("grid"));
  std::vector<unsigned char> out;
  if (collage->image.empty() || !cv::imencode(".jpg", collage->image, out)) return 500;
  resp.body.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size()));
  resp.headers["Content-Type"] = "image/jpeg";
  return 200;
}

void subscribe(HttpServer& server) {
  server.subscribe("^/debug/collage/$", http_collage_form);
  server.subscribe("^/debug/collage/[\\S]+\\.jpg$", http_collage_sample);
}

void collage_httphook_init() { subscribe(webserver()); }

}  // namespace webcollage
