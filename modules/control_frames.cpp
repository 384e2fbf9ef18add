#include "modules/control_frames.h"

#include "capture/cam.h"
#include "config/config.h"
#include "config/config_lock.h"
#include "config/form_fields.h"
#include "config/section_check.h"
#include "core/clock.h"
#include "core/fs.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "evidence/brighten.h"
#include "evidence/collage.h"
#include "evidence/collageimage.h"
#include "evidence/frameaccess.h"
#include "evidence/labelformat.h"
#include "evidence/simplefile.h"
#include "http/request.h"
#include "http/response.h"
#include "http/refusal.h"
#include "http/server.h"

#include <nlohmann/json.hpp>
#include <opencv2/core.hpp>
#include <opencv2/imgproc.hpp>

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <mutex>
#include <optional>

namespace saveframe {

TolvekConf mconf;

namespace {

constexpr std::uint32_t kMinQuality = 1;
constexpr std::uint32_t kMaxQuality = 100;
constexpr std::uint32_t kMinutesPerDay = 1440;

std::mutex lastMutex;
SimpleFile lastJpeg;  // guarded by lastMutex

SimpleFile takeLast() {
  std::lock_guard lock(lastMutex);
  return lastJpeg;  // shares the bytes; a later swap does not touch them
}

// A switch: any number its field holds, non-zero is on (saved back as given).
const kovira::FieldRule kEnabled = kovira::integerRule("enabled", 0, kovira::kUint32Max);
const kovira::FieldRule kQuality = kovira::integerRule("quality", kMinQuality, kMaxQuality);
// A slot longer than the day would never come round.
const kovira::FieldRule kTimepad = kovira::integerRule("timepad", 0, kMinutesPerDay);

}  // namespace

void TolvekConf::tojson(nlohmann::json& section, int mode) {
  if (mode == 0 && enabled == 0) return;
  section["enabled"] = enabled;
  section["quality"] = quality;
  section["timepad"] = timepad;
  section["label"] = label;
}

void TolvekConf::fromjson(const nlohmann::json& section) {
  if (!section.is_object()) return;
  // A value of another type or out of its range keeps the old setting
  // (4294967297 must not become 1).
  const auto readNumber = [&](const kovira::FieldRule& rule, std::uint32_t& out) {
    const auto it = section.find(rule.key);
    if (it == section.end()) return;
    if (const std::optional<std::string> why = kovira::refusalOf(rule, *it)) {
      std::cout << "[WARNING] tolvek: " << rule.key << "=" << it->dump() << " " << *why << ", kept " << out
                << std::endl;
      return;
    }
    out = kovira::fittingNumber<std::uint32_t>(*it).value_or(out);
  };
  readNumber(kEnabled, enabled);
  readNumber(kQuality, quality);
  readNumber(kTimepad, timepad);
  // The caption of every control frame: cleaned like every configured text.
  kovira::readTextField(section, "label", label, "tolvek");
}

std::string TolvekConf::check(const nlohmann::json& section) const {
  return kovira::checkSection(section, {kEnabled, kQuality, kTimepad, kovira::textRule("label")});
}

bool slotDue(std::uint32_t minute, std::uint32_t lastslot, std::uint32_t timepad) {
  return timepad != 0 && minute != lastslot && minute % timepad == 0;
}

FramePlace framePlace(const std::string& home, std::int64_t utc, std::int32_t zoneHours) {
  const auto t = static_cast<unsigned>(utc + std::int64_t{zoneHours} * 3600);
  return {home + "/tolvek/uploadftp/" + timeformatgmt("%Y/%m/%d", t), timeformatgmt("%Y_%m_%d_%H_%M_%S", t) + ".jpg"};
}

std::string homeFolder() {
  if (const char* home = std::getenv("HOME"); home && *home) return home;
  if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) return pw->pw_dir;
  return ".";
}

void loop(unsigned int) {
  std::int64_t utc = 0;
  int camid = 0;
  {
    kovira::ConfigReadLock lock;
    const auto& c = kovira::config();
    if (!c.timesync() || mconf.enabled == 0) return;
    utc = c.now();
    const auto minute = static_cast<std::uint32_t>((utc % 86400) / 60) % kMinutesPerDay;
    if (!slotDue(minute, mconf.lastslot, mconf.timepad)) return;
    mconf.lastslot = minute;  // taken even when no camera qualifies
    for (const auto& cam : kovira::cameras()) {
      if (cam.enabled != 0 && !cam.empty() && cam.raw()) {
        camid = cam.camid;
        break;
      }
    }
  }
  if (camid != 0) tolvek_oneframe_capture(camid);
}

void tolvek_oneframe_capture(int camid) {
  cv::Mat grey;
  unsigned int second = 0;
  std::string label, latlon, address, devname, serial;
  std::uint32_t quality = 90;
  std::int64_t utc = 0;
  std::int32_t zone = 0;
  {
    kovira::ConfigReadLock lock;
    if (!kovira::hasCamera(camid)) {
      std::cerr << "[ERR] camid = " << camid << " not found" << std::endl;
      return;
    }
    kovira::Camera& camera = kovira::camera(camid);
    const kovira::SmartBufferIterator newest = camera.cambuf->meta().newest();
    if (!newest.valid() || !newest->hasBytes()) return;
    const auto index = newest->position;
    second = newest->sec.load();
    // A private copy, checked before and after (grey, whole, not
    // overwritten meanwhile): anything else is no control frame.
    if (!getframe(camera, index, grey)) return;
    const auto& c = kovira::config();
    label = mconf.label;
    quality = mconf.quality;
    address = c.address;
    devname = c.devname;
    serial = c.serial;
    zone = c.timezone;
    utc = c.now();
  }
  latlon = kovira::config().latlon();
  miraclefunc(grey);
  cv::Mat colour;
  cv::cvtColor(grey, colour, cv::COLOR_GRAY2BGR);
  Collage collage(1, kWidth, kHeight);
  CollageImage item(colour);
  LabelFormat caption(label, second);
  caption.emplace("g", latlon);
  caption.emplace("a", address);
  caption.emplace("d", devname);
  caption.emplace("s", serial);
  item.caption = strtoupper(caption.text());
  collage.Place(item, 1);
  collage.Assemble(false);
  const SimpleFile jpeg = loadCvImage(collage.image, "m.jpg", static_cast<int>(quality));
  {
    std::lock_guard lock(lastMutex);
    lastJpeg = jpeg;
  }
  const FramePlace place = framePlace(homeFolder(), utc, zone);
  try {
    createdirtree(place.folder);
  } catch (const std::exception& e) {
    std::cerr << "[ERR] control frame folder " << place.folder << ": " << e.what() << std::endl;
    return;
  }
  (void)jpeg.safesave(place.folder + "/" + place.file);  // a failure is logged by safesave
}

int http_tolvek_hook(const HttpRequest& req, HttpResponse& res) {
  if (req.path.find("last.jpg") != std::string::npos) {
    const SimpleFile jpeg = takeLast();
    res.headers["Content-Type"] = "image/jpeg";
    if (jpeg.size > 0) res.write(jpeg.bytes(), static_cast<int>(jpeg.size));
    return 200;
  }
  if (req.method == "POST") {
    // Every value is checked before any is applied: a bad form changes nothing.
    kovira::FormFields form(req);
    const std::optional<long long> quality = form.integer("quality", kMinQuality, kMaxQuality);
    const std::optional<long long> timepad = form.integer("timepad", 0, kMinutesPerDay);
    const std::optional<std::string> label = form.text("label");
    if (!form.ok()) return answerRefused(res, form.error());
    kovira::ConfigWriteLock lock;
    mconf.enabled = req.has("enabled") ? 1 : 0;
    if (label) mconf.label = *label;
    if (quality) mconf.quality = static_cast<std::uint32_t>(*quality);
    if (timepad) mconf.timepad = static_cast<std::uint32_t>(*timepad);
    return res.redirect(req.query.empty() ? req.path : req.path + "?" + req.query, 302);
  }
  std::string address, serial, label;
  std::uint32_t enabled = 0, timepad = 0, quality = 0;
  std::int32_t zone = 0;
  {
    kovira::ConfigReadLock lock;
    const auto& c = kovira::config();
    address = c.address;
    serial = c.serial;
    zone = c.timezone;
    enabled = mconf.enabled;
    timepad = mconf.timepad;
    quality = mconf.quality;
    label = mconf.label;
  }
  const SimpleFile jpeg = takeLast();
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  res.body << "<h1>Tolvek: special</h1><hr>" << "<form method=post>"
           << "<p><b>Address</b>: " << htmlescape(address) << "</p>"
           << "<p><b>enabled</b>: " << "<input type=checkbox name=enabled value=1 " << (enabled ? "CHECKED" : "") << ">"
           << "</p>" << "<p><b>Интервал</b>: " << "<input type=text size=4 name=timepad value=" << timepad << ">"
           << "</p>" << "<p><b>Serial</b>: " << htmlescape(serial) << "</p>"
           << "<p><b>Timezone</b>: " << zone << "</p>"
           << "<p><b>JPEG-quality</b>: " << "<input type=text size=4 name=quality value=" << quality << ">" << "</p>"
           << "<p>Quality: (1 - мин., 100 - макс.)<br>" << "</p>"
           << "<p><b>size</b>: " << jpeg.size / 1024 << "K" << "</p>"
           << "<p><b>Подпись</b>:<br>" << "<textarea rows=3 cols=60 name=label>" << htmlescape(label) << "</textarea>"
           << "</p>" << "<button class='update'>Update config</button>" << "</form>";
  if (jpeg.size > 0) res.body << "<img src=\"/special-tolvek/last.jpg\" style=\"outline: 1px solid #000\">";
  return 200;
}

void modinit() {
  webserver().subscribe("^/special-tolvek/.*", http_tolvek_hook);
  attachConfig("tolvek", mconf);
  scheduler.add(loop, std::chrono::seconds(10), false, "saveframe");
}

}  // namespace saveframe
