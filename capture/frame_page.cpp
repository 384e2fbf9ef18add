// "/debug/frame.jpg": the newest usable raw grey frame of a camera as a
// JPEG, scaled down to a size limit or cut out around a point; X- headers
// describe the frame. When nothing can be shown the answer is still a JPEG
// (a grey picture with the reason in red), so a tool polling it always gets
// a picture.
#include "capture/camera_pages.h"

#include "capture/cam.h"
#include "core/startup_functions.h"
#include "capture/framecopy.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <vector>

namespace frame {
namespace {

constexpr int kLimitDefault = 800;
constexpr int kLimitMin = 64;
constexpr int kLimitMax = 4096;
constexpr std::int64_t kIntMin = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kIntMax = std::numeric_limits<std::int32_t>::max();

int sendJpeg(cv::Mat& image, HttpResponse& resp) { return kovira::sendPicture(image, "jpeg", resp); }

// First enabled camera whose oldest retained frame is raw grey; 0 without.
int defaultCamera() {
  for (const kovira::CameraView& cam : kovira::cameraViews()) {
    if (!cam.enabled) continue;
    const kovira::SmartBufferIterator oldest = cam.store->meta().oldest();
    if (oldest.valid() && oldest->type == FRAME_GRAY8) return cam.camid;
  }
  return 0;
}

struct Arguments {
  int camid = 0;
  int lim = kLimitDefault;
  bool cut = false;
  std::int64_t x = 0, y = 0, w = 0, h = 0;
};

// False (400) when an argument is there but no decimal number.
bool readArguments(const HttpRequest& req, Arguments& a) {
  std::string text;
  if (req.has("camid", text)) {
    const auto v = kovira::parseDecimal(text, kIntMin, kIntMax);
    if (!v) return false;
    a.camid = static_cast<int>(*v);
  } else {
    a.camid = defaultCamera();
  }
  if (req.has("lim", text)) {
    const auto v = kovira::parseDecimal(text, kIntMin, kIntMax);
    if (!v) return false;
    a.lim = *v >= kLimitMin && *v <= kLimitMax ? static_cast<int>(*v) : kLimitDefault;
  }
  if (req.has("chunk", text)) {
    std::vector<std::int64_t> pieces;
    std::size_t from = 0;
    while (true) {
      const std::size_t comma = text.find(',', from);
      const std::string piece = text.substr(from, comma == std::string::npos ? std::string::npos : comma - from);
      if (piece.empty()) {
        pieces.push_back(0);
      } else {
        const auto v = kovira::parseDecimal(piece, kIntMin, kIntMax);
        if (!v) return false;
        pieces.push_back(*v);
      }
      if (comma == std::string::npos || pieces.size() > 4) break;
      from = comma + 1;
    }
    if (pieces.size() == 4) {
      a.cut = true;
      a.x = pieces[0], a.y = pieces[1], a.w = pieces[2], a.h = pieces[3];
    }
  }
  return true;
}

void setHeaders(const kovira::FrameCopy& rec, float scale, HttpResponse& resp) {
  char text[64];
  std::snprintf(text, sizeof text, "%u", rec.sec);
  resp.headers["X-Timestamp"] = text;
  std::snprintf(text, sizeof text, "%dx%d", rec.width, rec.height);
  resp.headers["X-OriginalSize"] = text;
  std::snprintf(text, sizeof text, "%f", static_cast<double>(scale));
  resp.headers["X-Scale"] = text;
  std::snprintf(text, sizeof text, "%u", rec.position);
  resp.headers["X-Num"] = text;
}

}  // namespace

float scaleFor(int lim, std::int32_t width, std::int32_t height) {
  const float l = static_cast<float>(lim);
  if (width <= 0 || height <= 0) return 0.0f;
  return std::min(l / static_cast<float>(height), l / static_cast<float>(width));
}

int sendGrey(kovira::FrameCopy& copy, float scale, HttpResponse& resp) {
  cv::Mat picture(copy.region.height, copy.region.width, CV_8UC1, copy.bytes.data());
  if (scale < 1) {
    // Bicubic, as the measuring set-up expects; sides of at least a pixel.
    const cv::Size size(std::max(1, static_cast<int>(std::lround(copy.region.width * scale))),
                        std::max(1, static_cast<int>(std::lround(copy.region.height * scale))));
    // Reused by the thread's next request of the same size.
    thread_local cv::Mat scaled;
    cv::resize(picture, scaled, size, 0, 0, cv::INTER_CUBIC);
    return sendJpeg(scaled, resp);
  }
  return sendJpeg(picture, resp);
}

int http_dummy_frame(HttpResponse& resp, std::string text) {
  cv::Mat picture(200, 600, CV_8UC3, cv::Scalar(128, 128, 128));
  int baseline = 0;
  const cv::Size size = cv::getTextSize(text, cv::FONT_HERSHEY_SIMPLEX, 1.1, 2, &baseline);
  cv::putText(picture, text, cv::Point(300 - size.width / 2, 100 - size.height / 2), cv::FONT_HERSHEY_SIMPLEX, 1.1,
              cv::Scalar(0, 0, 240), 2, cv::LINE_8);
  return sendJpeg(picture, resp);
}

int http_frame(const HttpRequest& req, HttpResponse& resp) {
  Arguments a;
  if (!readArguments(req, a)) return 400;
  const std::string id = std::to_string(a.camid);
  const auto cam = kovira::cameraView(a.camid);
  if (!cam) return http_dummy_frame(resp, "no camera: " + id);
  const kovira::CamBuf& store = *cam->store;

  // Newest first; a frame overwritten while it is copied counts as one
  // without bytes, and the walk goes on to an older one.
  // A whole frame is large: the thread's copy keeps its memory for the next
  // request rather than allocating and clearing it anew each time.
  thread_local kovira::FrameCopy copy;
  kovira::FrameCopyStatus status = kovira::FrameCopyStatus::Gone;
  const kovira::FrameRect region{static_cast<int>(std::clamp<std::int64_t>(a.x - a.w / 2, kIntMin, kIntMax)),
                                 static_cast<int>(std::clamp<std::int64_t>(a.y - a.h / 2, kIntMin, kIntMax)),
                                 static_cast<int>(std::clamp<std::int64_t>(a.w, 0, kIntMax)),
                                 static_cast<int>(std::clamp<std::int64_t>(a.h, 0, kIntMax))};
  for (kovira::SmartBufferIterator it = store.meta().newest(); it.valid(); --it) {
    if (!it->liveBytes().present()) continue;
    if (it->type != FRAME_GRAY8) {
      status = kovira::copyFrame(store, *it, copy, true);  // fields only: WrongType
      break;
    }
    status = a.cut ? kovira::copyGreyRegion(store, *it, region, copy) : kovira::copyFrame(store, *it, copy, true);
    if (status == kovira::FrameCopyStatus::Copied) break;
    // A cut-out beside the picture, or a grey record short of its picture.
    if (status == kovira::FrameCopyStatus::WrongType) break;
  }
  if (status == kovira::FrameCopyStatus::Gone || status == kovira::FrameCopyStatus::Overwritten)
    return http_dummy_frame(resp, "no frames, camera: " + id);

  const float scale = scaleFor(a.lim, copy.width, copy.height);
  setHeaders(copy, scale, resp);
  // A grey record shorter than its picture is no grey picture either.
  if (!kovira::isWholeGrey(copy.type, copy.width, copy.height, copy.size))
    return http_dummy_frame(resp, "unsupported format, camera: " + id);
  if (status != kovira::FrameCopyStatus::Copied) return 500;  // an empty cut-out

  return sendGrey(copy, a.cut ? 1.0f : scale, resp);
}

void frame_httphook_init() { webserver().subscribe("^/debug/frame.jpg$", http_frame); }

}  // namespace frame
