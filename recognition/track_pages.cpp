#include "recognition/track_pages.h"

#include "capture/cam.h"
#include "capture/camera_pages.h"
#include "config/config.h"
#include "config/config_lock.h"
#include "config/form_fields.h"
#include "config/section_check.h"
#include "config/zones.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/refusal.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"

#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <sstream>

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";

std::string fixed3(double v) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f", std::isfinite(v) ? v : 0.0);
  return text;
}

// A zero divisor prints 0.000.
double ratio(double a, double b) { return b == 0 ? 0.0 : a / b; }

kovira::CnnProc* unitStage() {
  return dynamic_cast<kovira::CnnProc*>(kovira::config().findconf("cnnconf"));
}

}  // namespace

namespace cnnweb {
namespace {

std::string checkbox(bool on, const char* name) {
  return std::string("<input type=checkbox ") + (on ? "CHECKED" : "") + " name=" + name + " value=1>";
}

// Every field is checked before any is applied: a refused form changes
// nothing and says which field it refused.
int post(kovira::CnnProc& stage, const HttpRequest& req, HttpResponse& resp) {
  kovira::FormFields form(req);
  const std::optional<double> classifier = kovira::formNumber(form, "classifier", *kovira::CnnProc::rule("classifier"));
  const std::optional<double> maxproc = kovira::formNumber(form, "maxproc", *kovira::CnnProc::rule("maxproc"));
  const std::optional<long long> chunktime = form.integer("chunktime", 1, std::numeric_limits<std::uint32_t>::max());
  if (!form.ok()) return answerRefused(resp, form.error());
  stage.classifier = static_cast<int>(classifier.value_or(0));  // an unticked box switches it off
  if (maxproc) stage.maxproc = static_cast<int>(*maxproc);
  if (chunktime) stage.chunktime = static_cast<std::uint32_t>(*chunktime);
  if (req.has("initforce")) stage.initforce = 1;
  return resp.redirect(req.path, 302);
}

std::string maxzone() {
  kovira::ConfigReadLock lock;
  const kovira::Zone* best = nullptr;
  for (const kovira::Zone& z : kovira::zones())
    if (z.enabled && (!best || z.area() > best->area())) best = &z;
  if (!best) return {};
  return "<p><b>maxzone</b>: " + std::to_string(best->area()) + " (scale = " + std::to_string(best->scale) +
         ")</p>";
}

}  // namespace

int http_cnnproc(kovira::CnnProc& stage, const HttpRequest& req, HttpResponse& resp) {
  if (req.method == "POST") {
    return post(stage, req, resp);
  }
  std::ostringstream out;
  out << "<h1>CnnProc status</h1><hr><form method=post action=\"\">";
  out << "<p><b>use classifier</b>: " << checkbox(stage.classifier != 0, "classifier") << "</p>";
  out << "<p><b>maxproc</b>: <input type=text name=maxproc value=" << stage.maxproc << " size=2></p>";
  out << "<p><b>force re-init</b>: " << checkbox(stage.initforce != 0, "initforce") << "</p>";
  out << "<p><b>timechunk</b>: <input type=text name=chunktime value=" << stage.chunktime << " size=5></p>";
  out << "<p><b>frames-in-queue</b>: " << stage.queueSize() << "</p>";
  out << maxzone();
  out << "<p><b>memcnnsize</b>: " << stage.memcnnsize << "</p>";
  const std::list<std::string> polygons = stage.polygonList();
  out << "<p><b>polygons</b>: " << polygons.size() << "</p>";
  if (!polygons.empty()) {
    out << "<p>";
    for (const std::string& p : polygons) out << htmlescape(p) << "<br>";
    out << "</p>";
  }
  out << "<hr><button class='update'>Update config</button><br><br></form>";
  out << "<h1>Speed performance</h1><table border=1 cellspacing=0 cellpadding=4><tr><td>n</td><td>launched</td>"
         "<td>frames</td><td>found</td><td>elapsed</td><td>average step</td><td>average Q</td>"
         "<td>frames/sec</td><td>frames/launch</td><td>average cong</td><td>average plates</td></tr>\n";
  const std::vector<kovira::CnnProc::stat_t> stats = stage.statistics();
  int row = 0;
  std::size_t looked = 0;
  // statistics() is newest first, as the rows are.
  for (auto it = stats.begin(); it != stats.end() && looked < kovira::CnnProc::kStatPeriods; ++it, ++looked) {
    const auto& s = *it;
    if (s.launched == 0) continue;
    const double launched = static_cast<double>(s.launched);
    const double frames = static_cast<double>(s.frames);
    out << "<tr><td>" << ++row << "</td><td>" << s.launched << "</td><td>" << s.frames << "</td><td>" << s.found
        << "</td><td>" << fixed3(s.elapsed) << "</td><td>" << fixed3(ratio(static_cast<double>(s.steps), launched))
        << "</td><td>" << fixed3(ratio(static_cast<double>(s.maxframes), launched)) << "</td><td>"
        << fixed3(ratio(frames, s.elapsed)) << "</td><td>" << fixed3(ratio(frames, launched)) << "</td><td>"
        << fixed3(ratio(s.congestion, launched)) << "</td><td>"
        << fixed3(ratio(static_cast<double>(s.found), frames) * 100) << "%</td></tr>\n";
  }
  out << "</table>";
  resp.headers["Content-Type"] = kHtml;
  resp.body << out.str();
  return 200;
}

void subscribe(HttpServer& server, kovira::CnnProc& stage) {
  server.subscribe("^/debug/cnnproc/$",
                   [&stage](const HttpRequest& req, HttpResponse& resp) { return http_cnnproc(stage, req, resp); });
}

// The stage is built after the start-up functions ran: it is looked up
// per request (none yet: 404), and lives until the server has stopped.
void cnnproc_httphook_init() {
  webserver().subscribe("^/debug/cnnproc/$", [](const HttpRequest& req, HttpResponse& resp) {
    kovira::CnnProc* stage = unitStage();
    return stage ? http_cnnproc(*stage, req, resp) : 404;
  });
}

}  // namespace cnnweb

namespace webtrack {
namespace {

// The track of the path's id; none (404) for an id that is no number.
std::optional<kovira::Track> routeTrack(kovira::ResQueue& queue, const HttpRequest& req) {
  const auto id = kovira::parseDecimal(req.match[1].str(), 1, std::numeric_limits<std::int32_t>::max());
  if (!id) return std::nullopt;
  kovira::Track t = queue.find(static_cast<int>(*id));
  if (t.points.empty()) return std::nullopt;
  return t;
}

int listPage(kovira::ResQueue& queue, const HttpRequest&, HttpResponse& resp) {
  // Only the rows shown are copied: the queue thread waits for the track
  // mutex while a page holds it.
  const std::vector<kovira::Track> current = queue.unfinished(kListLimit);
  const std::vector<kovira::Track> history = queue.history(kListLimit);
  std::string out = "<h1>Tracks list</h1><hr>";
  if (!current.empty()) out += "<h3>Current track list</h3>" + showtracks(current, kListLimit);
  out += "<h3>Tracks history</h3>" + showtracks(history, kListLimit);
  resp.headers["Content-Type"] = kHtml;
  resp.body << out;
  return 200;
}

int trackPage(kovira::ResQueue& queue, const HttpRequest& req, HttpResponse& resp) {
  const auto track = routeTrack(queue, req);
  if (!track) return 404;
  std::ostringstream out;
  out << "<h1>Tracks information: " << track->id << "</h1><hr>";
  out << "<table border=1 cellspacing=0 cellpadding=4><tr><td>num</td><td>frame num</td><td>plate</td>"
         "<td>type</td><td>x,y w,h</td><td>ox,oy</td></tr>\n";
  int n = 0;
  for (const kovira::TrackPoint& p : track->points)
    out << "<tr><td>" << ++n << "</td><td>" << p.num << "</td><td>" << htmlescape(p.plate()) << "</td><td>"
        << p.cls << "</td><td>" << p.x << "," << p.y << " " << p.w << "," << p.h << "</td><td>" << p.ox << ","
        << p.oy << "</td></tr>\n";
  out << "</table><h3>Вариации номера, выбран: " << htmlescape(track->text()) << "</h3>";
  out << "<pre>adv:" << track->advAccuracy() << "\nabs:" << track->absAccuracy() << "</pre>";
  out << "<table border=1 cellspacing=0 cellpadding=4><tr><td>plate</td><td>cnt</td><td>d</td></tr>\n";
  const double points = static_cast<double>(track->points.size());
  for (const auto& [text, count] : track->hypotheses) {
    std::ostringstream d;
    d.precision(2);
    d << std::round(count * 100.0 / points);
    out << "<tr><td>" << htmlescape(text) << "</td><td>" << count << "</td><td>" << d.str() << "%</td></tr>\n";
  }
  out << "</table><hr><img style=\"max-width: 800px\" src=\"t.jpg\">";
  resp.headers["Content-Type"] = kHtml;
  resp.body << out.str();
  return 200;
}

struct ZoneBox {
  cv::Rect box;
  bool enabled;
};

int trackDrawing(kovira::ResQueue& queue, const HttpRequest& req, HttpResponse& resp) {
  const auto track = routeTrack(queue, req);
  if (!track || track->zone < 1) return 404;
  const std::vector<kovira::TrackPoint> valid = track->onlyValidPoints();
  if (valid.empty()) return 404;
  // Zones and the camera under the lock; drawing after it is released.
  int width = 0, height = 0;
  std::shared_ptr<kovira::CamBuf> store;
  std::vector<ZoneBox> boxes;
  {
    kovira::ConfigReadLock lock;
    if (!kovira::hasZone(static_cast<int>(track->zone))) return 404;
    const int camid = kovira::zone(static_cast<int>(track->zone)).camid;
    const auto cam = kovira::findCamera(camid);
    if (cam == kovira::cameras().end() || !cam->cambuf) return 404;
    store = cam->cambuf;
    width = cam->width();
    height = cam->height();
    for (const kovira::Zone& z : kovira::zones()) {
      if (z.camid != camid) continue;
      // geometry() answers only for an enabled zone; a disabled one is
      // drawn at its own box too (in blue), not as a dot at the origin.
      int x = 0, y = 0, w = 0, h = 0;
      if (z.geometry(x, y, w, h) != 0 && z.polygon) z.polygon.getRect(x, y, w, h);
      boxes.push_back({cv::Rect(x, y, w, h), z.enabled != 0});
    }
  }
  if (!store->frame(valid[valid.size() / 2].num).valid() || width <= 0 || height <= 0) return 404;
  cv::Mat canvas(height, width, CV_8UC3, cv::Scalar(240, 240, 240));
  for (const ZoneBox& z : boxes)
    cv::rectangle(canvas, z.box, z.enabled ? cv::Scalar(0, 255, 255) : cv::Scalar(255, 0, 0), 1);
  const std::string text = track->text();
  int n = 0;
  for (const kovira::TrackPoint& p : track->points) {
    const int x = p.ox + 129 >= width ? p.ox - 90 : p.ox + 90;
    cv::putText(canvas, std::to_string(++n), cv::Point(x, p.oy), cv::FONT_HERSHEY_SIMPLEX, 0.6, cv::Scalar(0, 0, 0),
                2);
    if (p.plate() == text)
      cv::rectangle(canvas, cv::Rect(p.x, p.y, p.w, p.h), cv::Scalar(0, 0, 255), 1);
    else
      cv::circle(canvas, cv::Point(p.ox, p.oy), 5, cv::Scalar(255, 0, 0), 1);
  }
  return kovira::sendPicture(canvas, "jpeg", resp);
}

}  // namespace

std::string showtracks(const std::vector<kovira::Track>& list, std::size_t limit) {
  std::ostringstream out;
  out << "<table border=1 cellspacing=0 cellpadding=4><tr><td>trackid</td><td>zoneid</td><td>plate</td>"
         "<td>% abs</td><td>% adv</td><td>cnt</td><td>(first - last)</td></tr>\n";
  std::size_t rows = 0;
  for (auto it = list.rbegin(); it != list.rend() && rows < limit; ++it, ++rows) {
    const kovira::Track& t = *it;
    char range[32];
    std::snprintf(range, sizeof range, "%u-%u", t.numA(), t.numB());
    out << (t.advAccuracy() < 1.0f ? "<tr style=\"color:#aaa\">" : "<tr>") << "<td>"
        << taglink("/debug/tracks/" + std::to_string(t.id) + "/", std::to_string(t.id)) << "</td><td>" << t.zone
        << "</td><td>" << htmlescape(t.text()) << "</td><td>" << t.absAccuracy() << "</td><td>" << t.advAccuracy()
        << "</td><td>" << t.points.size() << "</td><td>" << range << "</td></tr>\n";
  }
  out << "</table>";
  return out.str();
}

void subscribe(HttpServer& server, kovira::ResQueue& queue) {
  const auto route = [&queue](int (*page)(kovira::ResQueue&, const HttpRequest&, HttpResponse&)) {
    return [&queue, page](const HttpRequest& req, HttpResponse& resp) { return page(queue, req, resp); };
  };
  server.subscribe("^/debug/tracks/$", route(listPage));
  server.subscribe("^/debug/tracks/([0-9]+)/$", route(trackPage));
  server.subscribe("^/debug/tracks/([0-9]+)/t.jpg$", route(trackDrawing));
}

// As the recognition page: the queue is the stage's, looked up per request.
void tracks_httphook_init() {
  const auto route = [](int (*page)(kovira::ResQueue&, const HttpRequest&, HttpResponse&)) {
    return [page](const HttpRequest& req, HttpResponse& resp) {
      kovira::CnnProc* stage = unitStage();
      return stage ? page(stage->resultQueue(), req, resp) : 404;
    };
  };
  HttpServer& server = webserver();
  server.subscribe("^/debug/tracks/$", route(listPage));
  server.subscribe("^/debug/tracks/([0-9]+)/$", route(trackPage));
  server.subscribe("^/debug/tracks/([0-9]+)/t.jpg$", route(trackDrawing));
}

}  // namespace webtrack
