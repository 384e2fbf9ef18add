// The camera pages: the cameras list, a page per camera with its frame
// store, seconds since a camera's last frame, PNG pictures of stored frames
// (this file), the frame endpoint "/debug/frame.jpg" (frame_page.cpp) and
// the camera information "/debug/gen.json" (geninfo.cpp).
//
// Handlers run on the server's connection threads. Camera sections are
// copied under ConfigReadLock (cameraViews), the lock released, and the
// stores read without a lock; frame bytes are copied through the frame-copy
// helper (capture/framecopy.h) before they are encoded.
#pragma once

#include "capture/cambuf.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace cv {
class Mat;
}
class HttpServer;
class HttpRequest;
class HttpResponse;

namespace kovira {

// What a page shows of one camera, copied under the configuration lock.
struct CameraView {
  std::int32_t camid = 0;
  bool enabled = false;
  std::string url;
  std::string source;
  std::string rtspLog;
  std::uint64_t bufsize = 0;
  std::uint32_t dropframes = 0;
  std::uint64_t bytes = 0;
  std::uint64_t packets = 0;
  std::shared_ptr<CamBuf> store;
  std::uint64_t missingStoreMiB = 0;  // not 0: the store could not be allocated
};

// The line a page shows for a camera whose store could not be allocated.
std::string missingStoreText(std::uint64_t mib);

std::vector<CameraView> cameraViews();
std::optional<CameraView> cameraView(int camid);

// A decimal number from a path or an argument: digits only (an optional
// "-" where allowed), within the type's range; nothing otherwise.
std::optional<std::int64_t> parseDecimal(std::string_view text, std::int64_t min, std::int64_t max);

// Encodes the picture with imgcompress ("png" or "jpeg") as the answer's
// body with its Content-Type: 200, or 500 (nothing written) on failure.
int sendPicture(cv::Mat& picture, const char* format, HttpResponse& resp);

}  // namespace kovira

namespace campages {

// The picture of a stored frame, whatever its kind (the page subscriber
// passes the evidence layer's imgframe, which capture/ cannot include).
using FrameImageFn = std::function<bool(int camid, unsigned frame, cv::Mat& image)>;

// Rows the camera page lists, newest first.
inline constexpr int kCameraPageRows = 400;

int showframe(int camid, unsigned index, const FrameImageFn& image, HttpResponse& resp);

// Subscribes the cameras list, timeout.txt, the camera page and the two
// frame picture routes, in this order.
void subscribe(HttpServer& server, FrameImageFn image);

}  // namespace campages

namespace kovira {
struct FrameCopy;
}

namespace frame {
// min(lim / height, lim / width) in single precision; 0 without a picture.
float scaleFor(int lim, std::int32_t width, std::int32_t height);
// The copied grey picture (or region) as JPEG, scaled by s when s < 1
// (bicubic): 200, or 500 when encoding fails.
int sendGrey(kovira::FrameCopy& copy, float scale, HttpResponse& resp);
// "/debug/frame.jpg" and its substitute picture (a reason in red on grey).
int http_frame(const HttpRequest& req, HttpResponse& resp);
int http_dummy_frame(HttpResponse& resp, std::string text);
}  // namespace frame

namespace geninfo {
// A JSON string, quoted and escaped (text that is not UTF-8 repaired).
std::string quoted(const std::string& s);
// "/debug/gen.json" and its body.
std::string informationJson();
int http_information(const HttpRequest& req, HttpResponse& resp);
}  // namespace geninfo

namespace basic {
// The "/measure/" pages.
int http_mesure_frame(const HttpRequest& req, HttpResponse& resp);
int http_mesure_pos(const HttpRequest& req, HttpResponse& resp);
int http_mesure_put(const HttpRequest& req, HttpResponse& resp);
int http_mesure_index(const HttpRequest& req, HttpResponse& resp);
}  // namespace basic
