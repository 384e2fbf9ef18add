#include "modules/postframe.h"

#include "capture/cam.h"
#include "codec/decode.h"
#include "config/config.h"
#include "config/form_fields.h"
#include "config/zones.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "core/threads.h"
#include "core/working.h"
#include "devices/heartbeat.h"
#include "evidence/compose.h"
#include "evidence/compose_frame.h"
#include "http/httpclient.h"
#include "evidence/simplefile.h"
#include "evidence/tar.h"
#include "http/request.h"
#include "http/response.h"
#include "http/refusal.h"
#include "http/server.h"
#include "recognition/bestframe.h"
#include "recognition/multitrack.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"

#include <nlohmann/json.hpp>
#include <opencv2/imgproc.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <ctime>
#include <sstream>
#include <thread>

namespace postframe {
namespace {

constexpr int kMetadataVersion = 1;
constexpr int kIndent = 4;
constexpr std::uint32_t kShortPause = 10;
constexpr std::uint32_t kLongPause = 600;
constexpr auto kTick = std::chrono::milliseconds(250);
constexpr const char* kFeedbackPath = "/feedback.php";

std::uint64_t nowSec() { return static_cast<std::uint64_t>(std::time(nullptr)); }

bool isWebUrl(const std::string& url) { return url.rfind("http://", 0) == 0 || url.rfind("https://", 0) == 0; }

}  // namespace

int timeOfDay(std::uint32_t exposure, std::uint32_t gain) {
  if (exposure == 0) return 0;
  if (gain >= 21) return 2;
  if (gain >= 1) return 3;
  return exposure < 1500 ? 1 : 0;
}

bool carsMatch(std::int32_t cars, int tracks) {
  switch (cars) {
    case 0: return true;
    case 1: return tracks == 1;
    case 2: return tracks == 2;
    case 3: return tracks >= 2;
    default: return false;
  }
}

HttpFeedbackFrame::HttpFeedbackFrame()
    : HttpFeedbackFrame([](const std::string& url, const std::string& bytes) {
        return httppost(url, bytes.data(), bytes.size());
      }) {}

HttpFeedbackFrame::HttpFeedbackFrame(Post post, Clock clock)
    : post_(std::move(post)), clock_(clock ? std::move(clock) : Clock(nowSec)) {}

FeedbackSettings HttpFeedbackFrame::settings() const {
  std::lock_guard lock(mutex_);
  return settings_;
}

void HttpFeedbackFrame::update(const std::function<void(FeedbackSettings&)>& edit) {
  std::lock_guard lock(mutex_);
  edit(settings_);
}

bool HttpFeedbackFrame::busy() const {
  std::lock_guard lock(mutex_);
  return busy_;
}

bool HttpFeedbackFrame::ready() const {
  std::lock_guard lock(mutex_);
  return !busy_ && lastSent_ + settings_.interval < clock_() && settings_.cnt != 0;
}

std::size_t HttpFeedbackFrame::pendingSize() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

int HttpFeedbackFrame::learning() const {
  std::lock_guard lock(mutex_);
  if (settings_.cnt == 0 || settings_.scale < 1) return 0;
  return settings_.scale == 1 ? 1 : 2;
}

namespace {

// The stored frame as a picture of its own. A grey frame is copied and
// checked like evidence; a compressed one (an H.264 camera) is decoded from
// a copy of its group, so a record reused meanwhile fails the decode instead
// of mixing frames. False for a frame that is gone, overwritten or cannot be
// decoded whole: grey bytes of a compressed frame are never sent as a picture.
bool pictureOf(int camid, const kovira::CamBuf& store, unsigned best, cv::Mat& out, std::uint32_t& sec) {
  evidence::EvidenceFrame frame;
  const evidence::FrameCopyStatus copied = evidence::copyEvidenceFrame(store, best, frame);
  if (copied == evidence::FrameCopyStatus::Copied) {
    out = frame.grey().clone();
    sec = frame.sec;
    return true;
  }
  if (copied != evidence::FrameCopyStatus::WrongType) {
    evidence::reportFrameCopy(copied, std::to_string(best));
    return false;
  }
  const kovira::DecodedFrame decoded = kovira::decodedFrame(kovira::camera(camid), best);
  if (!decoded.isValid() || decoded.width < 1 || decoded.height < 1) return false;
  const int bpp = kovira::DecodedFrame::getBpp(decoded.format);
  if (decoded.size < static_cast<std::int64_t>(decoded.width) * decoded.height * bpp) return false;
  const cv::Mat view(decoded.height, decoded.width, bpp == 1 ? CV_8UC1 : CV_8UC4, decoded.pixels.get());
  if (bpp == 1) out = view.clone();
  else cv::cvtColor(view, out, cv::COLOR_BGRA2BGR);
  return true;
}

}  // namespace

bool HttpFeedbackFrame::processtrack(kovira::Track& track) {
  // 1-2. The selectors, and a free slot.
  const float acc = track.advAccuracy();
  const int maskFlag = track.checkMask() ? 1 : 2;
  FeedbackSettings s;
  {
    std::lock_guard lock(mutex_);
    s = settings_;
    if (busy_ || lastSent_ + s.interval >= clock_() || s.cnt == 0 || s.target.empty()) return false;
  }
  if (!(s.min < acc && acc < s.max)) return false;
  if (s.mask != 0 && s.mask != maskFlag) return false;
  if (static_cast<std::int64_t>(s.minsize) >= static_cast<std::int64_t>(track.points.size())) return false;

  // 3-5. The best frame, its time of day and the cars in it.
  int camid = 0;
  std::string hostname, latlon;
  std::int32_t timezone = 0;
  {
    kovira::ConfigReadLock lock;
    camid = kovira::zone(static_cast<int>(track.zone)).camid;  // throws for an unknown zone
    hostname = kovira::config().hostname;
    latlon = kovira::config().latlon();
    timezone = kovira::config().timezone;
  }
  const unsigned best = kovira::findBestFrame(track, 0);
  if (best == 0) {
    evidence::consoleLine("[TRACK] " + std::to_string(track.id) + ": не найден лучший кадр");
    return false;
  }
  const kovira::CamBuf& store = *kovira::camera(camid).cambuf;
  std::uint32_t exposure = 0, gain = 0, sec = 0;
  {
    const kovira::SmartBufferIterator it = store.frame(best);
    if (!it.valid()) return false;
    exposure = it->exposure.load();
    gain = it->gain.load();
    sec = it->sec.load();
  }
  const int category = timeOfDay(exposure, gain);
  if (s.timeofday != 0 && s.timeofday != category) return false;
  if (s.cars != 0 && !carsMatch(s.cars, resproc.checkTrackAlone(static_cast<int>(track.zone), best))) return false;

  // 6-7. The picture, scaled down.
  cv::Mat picture;
  if (!pictureOf(camid, store, best, picture, sec)) return false;  // a frame it cannot read is never sent
  const bool scaled = s.scale > 1;
  if (scaled) {
    const int w = picture.cols / s.scale, h = picture.rows / s.scale;
    if (w < 1 || h < 1) return false;
    cv::Mat small;
    cv::resize(picture, small, cv::Size(w, h), 0, 0, cv::INTER_AREA);
    picture = small;
  }

  // 8-9. The archive.
  const std::string name = scaled ? "frame.jpg" : "frame.png";
  const SimpleFile image = loadCvImage(picture, name, kJpegQuality);
  if (image.size == 0) return false;
  const kovira::TrackPoint& point = track.getPoint(best);
  const auto scaledBy = [&](int v) { return s.scale > 0 ? v / s.scale : 0; };
  const nlohmann::json meta = {{"version", kMetadataVersion},
                               {"tm", sec},
                               {"x", scaledBy(point.ox)},
                               {"y", scaledBy(point.oy)},
                               {"w", scaledBy(point.w)},
                               {"h", scaledBy(point.h)},
                               {"scale", s.scale},
                               {"direction", track.direction()},
                               {"coords", latlon},
                               {"acc", static_cast<double>(acc)},
                               {"cnt", track.points.size()},
                               {"txt", track.text()},
                               {"host", hostname},
                               {"hostname", hostname},
                               {"timezone", timezone},
                               {"timeofday", category},
                               {"exposure", exposure},
                               {"gain", gain},
                               {"tag", s.tag}};
  const std::string metaText = meta.dump(kIndent, ' ', false, nlohmann::json::error_handler_t::replace);
  Tar tar;
  if (!tar.add(name, image.bytes(), static_cast<int>(image.size)) ||
      !tar.add("kovira.json", metaText.data(), static_cast<int>(metaText.size())))
    return false;

  // 10. The slot, unless it was filled or disarmed meanwhile.
  std::lock_guard lock(mutex_);
  if (busy_ || settings_.cnt == 0) return false;
  pending_.assign(tar.data(), tar.size());
  busy_ = true;
  return true;
}

bool HttpFeedbackFrame::uploadOnce(std::uint32_t& pause) {
  std::string bytes, target;
  {
    std::lock_guard lock(mutex_);
    if (!busy_) return false;
    bytes = pending_;
    target = settings_.target;
  }
  // The post runs without the lock: pages and workers never wait for it.
  const int result = isWebUrl(target) ? post_(target, bytes) : -1;
  std::lock_guard lock(mutex_);
  if (result < 0) {
    evidence::consoleLine("[DBG] fail send " + std::to_string(bytes.size()) + " bytes to " + target);
    ++failures_;
    pause = failures_ <= kLongPauseAfter ? kShortPause : kLongPause;
    return true;
  }
  evidence::consoleLine("[DBG] Successful sent " + std::to_string(bytes.size()) + " bytes to " + target);
  if (settings_.cnt < 2) settings_.tag.clear();
  if (settings_.cnt != 0) --settings_.cnt;
  failures_ = 0;
  pending_.clear();
  lastSent_ = clock_();
  busy_ = false;
  pause = 0;
  return true;
}

void HttpFeedbackFrame::operator()() {
  thread_name("postframe");
  std::uint32_t pause = 0;
  while (working.load() > 0) {
    std::this_thread::sleep_for(kTick);
    if (pause > 0) {
      // Waits in short steps so that the end of the run is seen at once.
      static_assert(std::chrono::milliseconds(1000) % kTick == std::chrono::milliseconds(0));
      for (std::uint32_t t = 0; t < pause * 4 && working.load() > 0; ++t) std::this_thread::sleep_for(kTick);
      pause = 0;
    }
    try {
      uploadOnce(pause);
    } catch (const std::exception& e) {
      evidence::consoleLine(std::string("[ERR] postframe: ") + e.what());
    } catch (...) {
      evidence::consoleLine("[ERR] postframe: unknown failure");
    }
  }
}

HttpFeedbackFrame& httpframe() {
  static HttpFeedbackFrame* const frame = new HttpFeedbackFrame();  // its thread outlives main
  return *frame;
}

int postframehook(kovira::MultiTrack& group) {
  // The largest enabled zone (the first on ties) shows the road best.
  std::int32_t zoneid = 0;
  {
    kovira::ConfigReadLock lock;
    long long largest = 0;
    for (const kovira::Zone& z : kovira::zones())
      if (z.enabled != 0 && z.area() > largest) {
        largest = z.area();
        zoneid = z.zoneid;
      }
  }
  for (const kovira::Track& t : group.tracks) {
    if (static_cast<std::int32_t>(t.zone) != zoneid) continue;
    kovira::Track copy = t;
    try {
      httpframe().processtrack(copy);
    } catch (const std::exception& e) {
      evidence::consoleLine("[ERR] (postframe) " + copy.text() + ": " + e.what());
    }
    break;
  }
  return 0;
}

namespace {

// Pictures are divided by at most this much.
constexpr long long kMaxScale = 16;

void option(std::ostringstream& out, std::int32_t current, std::int32_t value, const char* label) {
  out << "<option " << (current == value ? "SELECTED" : "") << " value=" << value << ">" << label << "</option>";
}

}  // namespace

int http_postframe(const HttpRequest&, HttpResponse& res) {
  const HttpFeedbackFrame& f = httpframe();
  const FeedbackSettings s = f.settings();
  const bool ready = f.ready();
  std::ostringstream out;
  out << "<h1>Feedback frame uploader</h1><hr><form method=get action=update>";
  out << "acc from <input type=text size=6 name=min value=" << s.min << ">"
      << " to <input type=text size=6 name=max value=" << s.max << "><br><br>";
  out << "count <input type=text size=4 name=cnt value=" << s.cnt << "> ";
  out << "interval <input type=text size=4 name=interval value=" << s.interval << "><br><br>";
  out << "min track size <input type=text size=4 name=minsize value=" << s.minsize << "><br><br>";
  out << "scale factor <input type=text size=2 name=scale value=" << s.scale << "><br><br>";
  out << "tag name <input type=text size=16 name=tag value=\"" << htmlescape(s.tag) << "\"><br><br>";
  out << "target <input type=text size=40 name=target value=\"" << htmlescape(s.target) << "\"><br><br>";
  out << "regex mask <select name=mask>";
  option(out, s.mask, 0, "BOTH");
  option(out, s.mask, 1, "MASK=Y");
  option(out, s.mask, 2, "MASK=N");
  out << "</select><br><br>cars selector <select name=cars>";
  option(out, s.cars, 0, "NO MATTER");
  option(out, s.cars, 1, "ONLY ONE CAR");
  option(out, s.cars, 2, "ONLY TWO CARS");
  option(out, s.cars, 3, "TWO+");
  out << "</select> in frame<br><br>time of day selector <select name=timeofday>";
  option(out, s.timeofday, 0, "ALL");
  option(out, s.timeofday, 1, "ONLY DAY");
  option(out, s.timeofday, 2, "ONLY NIGHT");
  option(out, s.timeofday, 3, "ONLY TWILIGHT");
  out << "</select><hr><button class='update'>Update config</button><br><br>";
  out << "status: " << (ready ? "READY" : "BUSY") << ", size=" << f.pendingSize() << "<br></form>";
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  res.body << out.str();
  return 200;
}

int http_postframe_update(const HttpRequest& req, HttpResponse& res) {
  // Every value is checked before any is applied: a refused request changes
  // nothing and names the field (a NaN bound would silently disarm the
  // module, a negative scale would put negative boxes in the metadata).
  kovira::FormFields form(req);
  const std::optional<float> min = form.float32("min");
  const std::optional<float> max = form.float32("max");
  const std::optional<std::uint32_t> cnt = form.uint32("cnt");
  const std::optional<std::uint32_t> interval = form.uint32("interval");
  const std::optional<long long> minsize = form.integer("minsize", 0, INT32_MAX);
  const std::optional<long long> mask = form.integer("mask", 0, 2);
  const std::optional<long long> cars = form.integer("cars", 0, 3);
  const std::optional<long long> scale = form.integer("scale", 1, kMaxScale);
  const std::optional<long long> timeofday = form.integer("timeofday", 0, 3);
  const std::optional<std::string> target = form.text("target");
  const std::optional<std::string> tag = form.text("tag");
  if (!form.ok()) return answerRefused(res, form.error());
  // Only web addresses: the unit never posts frames to a file or elsewhere.
  if (target && !target->empty() && !isWebUrl(*target))
    return answerRefused(res, "error: target: not an http:// or https:// address\n");
  httpframe().update([&](FeedbackSettings& s) {
    if (min) s.min = *min;
    if (max) s.max = *max;
    if (cnt) s.cnt = *cnt;
    if (interval) s.interval = *interval;
    if (minsize) s.minsize = static_cast<std::int32_t>(*minsize);
    if (mask) s.mask = static_cast<std::int32_t>(*mask);
    if (cars) s.cars = static_cast<std::int32_t>(*cars);
    if (scale) s.scale = static_cast<std::int32_t>(*scale);
    if (timeofday) s.timeofday = static_cast<std::int32_t>(*timeofday);
    if (target) s.target = *target;
    if (tag) s.tag = *tag;
  });
  return res.redirect("/debug/postframe/", 302);
}

void postframeloop(unsigned int) { heartbeatStore().emplace("learning", httpframe().learning()); }

void modinit() {
  {
    kovira::ConfigReadLock lock;
    const std::string server = kovira::config().endpoints.feedback;
    if (!server.empty()) httpframe().update([&](FeedbackSettings& s) { s.target = server + kFeedbackPath; });
  }
  webserver().subscribe("^/debug/postframe/$", http_postframe);
  webserver().subscribe("^/debug/postframe/update$", http_postframe_update);
  scheduler.add(postframeloop, std::chrono::seconds(30), false, "postframeloop");
  std::thread(std::ref(httpframe())).detach();
  resproc.addProcModule("postframe", postframehook).interval = 0;
}

}  // namespace postframe
