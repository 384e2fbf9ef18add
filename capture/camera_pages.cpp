#include "capture/camera_pages.h"

#include "capture/cam.h"
#include "capture/missing_store.h"
#include "capture/framecopy.h"
#include "capture/sequence.h"
#include "capture/receiver.h"
#include "config/config_lock.h"
#include "core/clock.h"
#include "core/text.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"

#include <opencv2/core.hpp>

#include <charconv>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <limits>
#include <sstream>
#include <string>
#include <vector>

namespace kovira {

namespace {

CameraView viewOf(const Camera& cam) {
  CameraView v;
  v.camid = cam.camid;
  v.enabled = cam.enabled != 0;
  v.url = cam.url;
  v.source = cam.source;
  v.rtspLog = cam.rtspLog;
  v.bufsize = cam.bufsize;
  v.dropframes = cam.dropframes.load();
  v.bytes = cam.bytes.load();
  v.packets = cam.packets.load();
  v.store = cam.cambuf;
  v.missingStoreMiB = missingStoreMiB(cam.camid);
  return v;
}

}  // namespace

std::string missingStoreText(std::uint64_t mib) {
  return "frame store of " + std::to_string(mib) + " MiB cannot be allocated, camera not started";
}

std::vector<CameraView> cameraViews() {
  std::vector<CameraView> out;
  ConfigReadLock lock;
  for (const Camera& cam : cameras()) out.push_back(viewOf(cam));
  return out;
}

std::optional<CameraView> cameraView(int camid) {
  ConfigReadLock lock;
  const auto it = findCamera(camid);
  if (it == cameras().end() || !it->cambuf) return std::nullopt;
  return viewOf(*it);
}

std::optional<std::int64_t> parseDecimal(std::string_view text, std::int64_t min, std::int64_t max) {
  std::int64_t value = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
    return std::nullopt;
  return value;
}

int sendPicture(cv::Mat& picture, const char* format, HttpResponse& resp) {
  // One buffer per server thread: its memory is reused by the thread's next
  // picture instead of being allocated, filled and copied once more.
  thread_local std::vector<unsigned char> encoded;
  if (picture.empty() || !imgencode(picture, format, encoded)) return 500;
  resp.body.write(reinterpret_cast<const char*>(encoded.data()), static_cast<std::streamsize>(encoded.size()));
  resp.headers["Content-Type"] = std::string("image/") + format;
  return 200;
}

}  // namespace kovira

namespace campages {
namespace {

using kovira::CameraView;

constexpr const char* kHtml = "text/html; charset=utf-8";

// The camera id of the route's first group: 404 territory when it is no id.
std::optional<CameraView> routeCamera(const HttpRequest& req) {
  const auto id = kovira::parseDecimal(req.match[1].str(), 1, std::numeric_limits<std::int32_t>::max());
  if (!id) return std::nullopt;
  return kovira::cameraView(static_cast<int>(*id));
}

std::string plateText(const CNN_RESULT& r) {
  return std::string(r.text, strnlen(r.text, sizeof r.text));
}

std::string flagLabels(std::uint32_t flags) {
  static constexpr std::pair<std::uint32_t, const char*> kLabels[] = {
      {FRAME_SKIP, "SKIP"}, {FRAME_CNN, "CNN"}, {FRAME_DEC, "DEC"}, {FRAME_OBS, "OBS"}};
  std::string out;
  for (const auto& [bit, label] : kLabels) {
    if ((flags & bit) == 0) continue;
    if (!out.empty()) out += ", ";
    out += label;
  }
  return out;
}

std::string humanTime(std::uint32_t sec) {
  const std::time_t t = sec;
  std::tm tm{};
  char text[32] = {};
  if (!localtime_r(&t, &tm) || !asctime_r(&tm, text)) return {};
  return text;
}

std::string frameRow(int camid, const kovira::FrameMetadata& rec) {
  const std::uint32_t index = rec.position;
  std::string row = "<tr>";
  const auto cell = [&row](const std::string& v) { row += "<td>" + v + "</td>"; };
  cell(kovira::frameTypeName(rec.type));
  cell(taglink("/debug/cam" + std::to_string(camid) + "/frame" + std::to_string(index) + ".png",
               std::to_string(index)));
  cell(std::to_string(rec.size.load()));
  cell(std::to_string(rec.width.load()) + "x" + std::to_string(rec.height.load()));
  const std::uint32_t sec = rec.sec.load();
  cell(std::to_string(sec));
  cell(humanTime(sec));
  std::ostringstream fraction;
  fraction << rec.usec.load() / 1e6;
  cell(fraction.str());
  const std::uint32_t exposure = rec.exposure.load();
  cell(exposure == 0 ? "-" : std::to_string(exposure));
  const auto results = rec.results();
  cell(std::to_string(results.size()));
  cell(flagLabels(rec.flags.load()));
  std::string plates;
  for (std::size_t i = 0; i < results.size() && i < 3; ++i) {
    if (i) plates += ", ";
    plates += htmlescape(plateText(results[i]));
  }
  cell(plates);
  return row + "<tr>\n";
}

int camerasList(const HttpRequest&, HttpResponse& resp) {
  std::string out = "<h1>Cameras list</h1><hr><dl>";
  for (const CameraView& cam : kovira::cameraViews()) {
    const std::string id = std::to_string(cam.camid);
    const std::string page = "/debug/cam" + id + "/";
    out += "<dt>[" + taglink(page, "camid=" + id) + "]</dt>";
    if (!cam.url.empty())
      out += "<dd>source: " + htmlescape(cam.source) + ", url: " + htmlescape(cam.url) + "</dd>";
    std::string links;
    if (!cam.rtspLog.empty()) links = taglink(page + "rtsp.log", "rtsp.log");
    if (!cam.store->empty()) links += (links.empty() ? "" : ", ") + taglink(page + "frame-last.png", "last.png");
    if (!links.empty()) out += "<dd>" + links + "</dd>";
    out += std::string("<dd>") + (cam.enabled ? "ENABLED" : "DISABLED") + "</dd>";
    if (cam.missingStoreMiB != 0) out += "<dd>" + kovira::missingStoreText(cam.missingStoreMiB) + "</dd>";
    out += "<dd>frames=" + std::to_string(cam.store->meta().size()) + "</dd>";
    out += "<dd>bufsize=" + std::to_string(cam.bufsize) + "</dd>";
    if (cam.dropframes != 0) out += "<dd>dropframes=" + std::to_string(cam.dropframes) + "</dd>";
    if (cam.bytes != 0)
      out += "<dd>recv=" + std::to_string(cam.bytes >> 20) + "mb (packets=" + std::to_string(cam.packets / 1000) +
             "k)</dd>";
  }
  out += "</dl>";
  resp.headers["Content-Type"] = kHtml;
  resp.body << out;
  return 200;
}

int secondsSinceLastFrame(const HttpRequest& req, HttpResponse& resp) {
  const auto cam = routeCamera(req);
  if (!cam) return 404;
  const auto now = static_cast<std::uint32_t>(::now());
  const kovira::SmartBufferIterator newest = cam->store->meta().newest();
  std::uint32_t seconds = now;
  if (newest.valid()) {
    const std::uint32_t sec = newest->sec.load();
    seconds = sec > now ? 0 : now - sec;  // a frame stamped in the future is no age
  }
  resp.body << seconds;
  return 200;
}

int cameraPage(const HttpRequest& req, HttpResponse& resp) {
  const auto cam = routeCamera(req);
  if (!cam) return 404;
  const kovira::CamBuf& store = *cam->store;
  const std::string id = std::to_string(cam->camid);
  std::uint64_t records = 0, skipped = 0, submitted = 0;
  std::uint32_t minSec = std::numeric_limits<std::uint32_t>::max(), maxSec = 0;
  for (kovira::SmartBufferIterator it = store.meta().oldest(); it.valid(); ++it) {
    ++records;
    const std::uint32_t sec = it->sec.load();
    minSec = std::min(minSec, sec);
    maxSec = std::max(maxSec, sec);
    if (it->hasFlags(FRAME_SKIP)) ++skipped;
    if (it->hasFlags(FRAME_CNN)) ++submitted;
  }
  float fps = 0;
  {
    kovira::ConfigReadLock lock;
    const auto camera = kovira::findCamera(cam->camid);
    if (camera != kovira::cameras().end()) fps = camera->realfps();
  }
  std::ostringstream out;
  out << "<h1>Camera camid=" << id << "</h1><pre>total: " << records << ", show first: " << kCameraPageRows
      << "\n";
  if (cam->missingStoreMiB != 0) out << kovira::missingStoreText(cam->missingStoreMiB) << "\n";
  if (!store.empty()) out << "current frame: " << taglink("/debug/cam" + id + "/frame-last.png", "last.png") << "\n";
  if (const std::string refusal = rtsp::refusalOf(cam->camid); !refusal.empty())
    out << "stream refused: " << htmlescape(refusal) << "\n";
  if (records > 0 && maxSec != minSec) {
    out << "fps:" << fps << ", congestion: " << store.congestion() << "\n";
    out << "cnnproc=" << submitted << "\n";
    out << "skipped=" << skipped << "\n";
  }
  out << kovira::decodeStateLines(store.decodeState, kovira::FrameSequence::kMaxFrames, records > 0, minSec,
                                  static_cast<std::int64_t>(::now()));
  out << "Approximate size of meta: " << records * 104 / 1024 << "\n</pre>";
  out << "<table border=1 cellspacing=0 cellpadding=4><tr><td>type</td><td>num</td><td>len</td><td>size</td>"
         "<td>time</td><td>time (human)</td><td>fraction</td><td>exposure</td><td>R</td><td>Flags</td>"
         "<td>Text plates</td>";
  int rows = 0;
  for (kovira::SmartBufferIterator it = store.meta().newest(); it.valid() && rows < kCameraPageRows; --it, ++rows)
    out << frameRow(cam->camid, *it);
  out << "</table>";
  resp.headers["Content-Type"] = kHtml;
  resp.body << out.str();
  return 200;
}

// The bytes are gone, or about to go: the page says so instead of failing.
bool staleRecord(const kovira::CamBuf& store, const kovira::FrameMetadata& rec) {
  const kovira::FrameBytes bytes = rec.liveBytes();
  return !bytes.present() || store.obsDist(bytes.data) <= kovira::kWriterMarginFrames * bytes.size;
}

int framePicture(const HttpRequest& req, HttpResponse& resp, const FrameImageFn& image, bool last) {
  const auto cam = routeCamera(req);
  if (!cam) return 404;
  // "frame0.png" is the second-newest frame, as "frame-last.png"; a number
  // beyond 32 bits names no frame.
  unsigned index = 0;
  if (!last) {
    const auto n = kovira::parseDecimal(req.match[2].str(), 0, std::numeric_limits<std::uint32_t>::max());
    if (!n) return 404;
    index = static_cast<unsigned>(*n);
  }
  return showframe(cam->camid, index, image, resp);
}

}  // namespace

int showframe(int camid, unsigned index, const FrameImageFn& image, HttpResponse& resp) {
  const auto cam = kovira::cameraView(camid);
  if (!cam || cam->store->empty()) return 404;
  const kovira::CamBuf& store = *cam->store;
  kovira::SmartBufferIterator rec;
  if (index == 0) {
    rec = store.meta().newest();
    if (rec.valid()) --rec;
  } else {
    rec = store.frame(index);
  }
  // Not retained (evicted, not yet stored, or index 0 with a single record):
  // the error page, never a picture of whatever record holds the slot now.
  if (!rec.valid() || (index != 0 && rec->position != index)) return 404;
  const auto stale = [&resp] {
    resp.body << "фрейм устарел";
    return 200;
  };
  if (staleRecord(store, *rec) || rec->width.load() == 0 || rec->height.load() == 0) return stale();
  cv::Mat picture;
  if (!image(camid, rec->position, picture)) return staleRecord(store, *rec) ? stale() : 500;
  return kovira::sendPicture(picture, "png", resp);
}

void subscribe(HttpServer& server, FrameImageFn image) {
  server.subscribe("^/debug/cameras/$", camerasList);
  server.subscribe("^/debug/cam([0-9]+)/timeout\\.txt$", secondsSinceLastFrame);
  server.subscribe("^/debug/cam([0-9]+)/$", cameraPage);
  server.subscribe("^/debug/cam([0-9]+)/frame-last\\.png$",
                   [image](const HttpRequest& req, HttpResponse& resp) { return framePicture(req, resp, image, true); });
  server.subscribe("^/debug/cam([0-9]+)/frame([0-9]+)\\.png$",
                   [image](const HttpRequest& req, HttpResponse& resp) { return framePicture(req, resp, image, false); });
}

}  // namespace campages
