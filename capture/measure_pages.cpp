// "/measure/": pages for an external measuring set-up: the newest intact
// grey picture of a suitable camera, the plate number it is watching, and a
// fixed sample position record that carries that number.
#include "capture/camera_pages.h"
#include "capture/framecopy.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"

#include <limits>
#include <mutex>
#include <string>

namespace basic {
namespace {

constexpr int kLimitDefault = 800;
constexpr int kLimitMax = 4096;

std::mutex gnumMutex;
std::string gnum = "undefined";  // guarded by gnumMutex

std::string plate() {
  std::lock_guard lock(gnumMutex);
  return gnum;
}

}  // namespace

int http_mesure_index(const HttpRequest&, HttpResponse& resp) {
  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  resp.body << "<pre>1. " << taglink("/measure/frame.jpg") << " - изображение с годной камеры\n"
            << "2. " << taglink("/measure/put?q=A001AA77") << " - запомнить номер наблюдаемого автомобиял\n"
            << "3. " << taglink("/measure/pos") << " - ответ о позиции автомобиля в формате json\n"
            << "<hr>\nтекущее значение номера: " << htmlescape(plate());
  return 200;
}

int http_mesure_put(const HttpRequest& req, HttpResponse& resp) {
  std::string q;
  if (!req.has("q", q)) {
    resp.body << "OK: undef";
    return 200;
  }
  {
    std::lock_guard lock(gnumMutex);
    gnum = q;
  }
  resp.body << "OK: " << q;
  return 200;
}

int http_mesure_pos(const HttpRequest&, HttpResponse& resp) {
  using geninfo::quoted;
  resp.body << "{\n    \"pos\": \"12.65\",\n    \"other\": \"string2\",\n    \"palte\": " << quoted(plate())
            << ",\n    \"gnss\": \"55.1234,45.2020\",\n    \"supertruetime\": \"20:15:45\"\n}\n";
  resp.headers["Content-Type"] = "application/json";
  return 200;
}

int http_mesure_frame(const HttpRequest& req, HttpResponse& resp) {
  int lim = kLimitDefault;
  std::string text;
  if (req.has("lim", text)) {
    const auto v = kovira::parseDecimal(text, std::numeric_limits<std::int32_t>::min(),
                                        std::numeric_limits<std::int32_t>::max());
    if (!v) return 400;
    // A limit of 0 would scale to nothing.
    if (*v >= 1 && *v <= kLimitMax) lim = static_cast<int>(*v);
  }
  // The last enabled camera whose oldest frame is raw grey.
  std::shared_ptr<kovira::CamBuf> store;
  for (const kovira::CameraView& cam : kovira::cameraViews()) {
    if (!cam.enabled) continue;
    const kovira::SmartBufferIterator oldest = cam.store->meta().oldest();
    if (oldest.valid() && oldest->type == FRAME_GRAY8) store = cam.store;
  }
  if (!store) return 404;
  // Newest first; a frame overwritten while it is copied counts as one
  // without bytes.
  for (kovira::SmartBufferIterator it = store->meta().newest(); it.valid(); --it) {
    if (!it->liveBytes().present()) continue;
    if (it->type != FRAME_GRAY8) return 500;
    kovira::FrameCopy copy;
    const kovira::FrameCopyStatus status = kovira::copyFrame(*store, *it, copy, true);
    if (status == kovira::FrameCopyStatus::WrongType) return 500;
    if (status != kovira::FrameCopyStatus::Copied) continue;
    return frame::sendGrey(copy, frame::scaleFor(lim, copy.width, copy.height), resp);
  }
  return 404;
}

void mesure_httphook_init() {
  HttpServer& server = webserver();
  server.subscribe("^/measure/frame.jpg$", http_mesure_frame);
  server.subscribe("^/measure/pos$", http_mesure_pos);
  server.subscribe("^/measure/put$", http_mesure_put);
  server.subscribe("^/measure/$", http_mesure_index);
}

}  // namespace basic
