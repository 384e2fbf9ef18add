#include "devices/angle.h"

#include "config/config.h"
#include "config/form_fields.h"
#include "config/section_check.h"
#include "core/scheduler.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "devices/heartbeat.h"
#include "devices/sttydev.h"
#include "http/refusal.h"
#include "http/server.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstdint>
#include <iostream>
#include <optional>
#include <iomanip>
#include <sstream>

AngleConf angconf;

namespace {

using kovira::FieldRule;

// Degrees of a tilt and of the deviations allowed around it; seconds. The
// form and the section both read their values under these rules.
constexpr float kMaxTilt = 180;
// Switches: any integer, non-zero is on (saved back as given).
const FieldRule kEnabled = kovira::integerRule("enabled", kovira::kInt32Min, kovira::kInt32Max);
const FieldRule kAdxl = kovira::integerRule("adxl313", kovira::kInt32Min, kovira::kInt32Max);
const FieldRule kNormal = kovira::singleRule("normal", -kMaxTilt, kMaxTilt);
const FieldRule kTimenotify = kovira::integerRule("timenotify", 0, kovira::kInt32Max);
const FieldRule kWd = kovira::singleRule("wd", 0, kMaxTilt);
const FieldRule kWu = kovira::singleRule("wu", 0, kMaxTilt);
const FieldRule kCrit = kovira::singleRule("crit", 0, kMaxTilt);

const char* const kOwner = "angle";

// A threshold the section always sets: 0 when absent, the old value when
// refused.
float threshold(const nlohmann::json& section, const FieldRule& rule, float old) {
  float value = section.contains(rule.key) ? old : 0;
  kovira::readRangedField(section, rule, value, kOwner);
  return value;
}

}  // namespace

void AngleConf::tojson(nlohmann::json& section, int mode) {
  if (section.is_null()) section = nlohmann::json::object();
  auto put = [&](const char* key, bool wanted, auto value) {
    if ((mode != 0 || wanted) && !section.contains(key)) section[key] = value;
  };
  put("enabled", enabled != 0, enabled);
  put("adxl313", adxlfix >= 1, adxlfix);
  put("normal", normal > 0, normal);
  put("wd", wd > 0, wd);
  put("wu", wu > 0, wu);
  put("timenotify", timenotify >= 1, timenotify);
}

void AngleConf::fromjson(const nlohmann::json& section) {
  if (!section.is_object()) return;
  kovira::readRangedField(section, kEnabled, enabled, kOwner);
  kovira::readRangedField(section, kNormal, normal, kOwner);
  kovira::readRangedField(section, kTimenotify, timenotify, kOwner);
  // By value: what tojson(…, 1) wrote ("adxl313": 0) reads back as off.
  std::int64_t adxl = adxlfix;
  if (section.contains(kAdxl.key) && kovira::readRangedField(section, kAdxl, adxl, kOwner)) adxlfix = adxl != 0 ? 1 : 0;
  wd = threshold(section, kWd, wd);
  wu = threshold(section, kWu, wu);
  float crit = 0;
  if (section.contains(kCrit.key) && kovira::readRangedField(section, kCrit, crit, kOwner)) wd = wu = crit;
}

std::string AngleConf::check(const nlohmann::json& section) const {
  return kovira::checkSection(section, {kEnabled, kAdxl, kNormal, kTimenotify, kWd, kWu, kCrit});
}

void AngleConf::update(float a) {
  const float x = std::abs(a);
  current = x;
  max = std::max(max, x);
  min = min == 0 ? x : std::min(min, x);
  ++count;
  if (enabled == 0) return;
  if (x != 0 && outOfRange(x)) {
    rest = 0;
    outtotal += static_cast<std::int32_t>(step);
    outcurrent += static_cast<std::int32_t>(step);
  } else {
    outcurrent = 0;
    rest += static_cast<std::int32_t>(step);
  }
}

AngleVerdict AngleConf::judge() const {
  AngleVerdict v;
  const bool out = outOfRange(current);
  // The alarm holds for two readings after the angle comes back; the first
  // readings after start only alarm when actually out.
  v.critical = enabled != 0 && (out || (rest <= kCriticalRest && count > kWarmup)) ? 1 : 0;
  if (wu == 0 || wd == 0) v.warn = 2;
  else if (enabled != 0 && timenotify != 0 && outcurrent > timenotify && out) v.warn = 1;
  v.diff = normal > 0 && current > 0 ? static_cast<double>(current - normal) : 0.0;
  return v;
}

float readAngle(SttyDev& dev, AngleConf& conf, std::uint32_t now, bool& ok) {
  ok = false;
  float angle = 0;
  const auto st = dev.status(now);
  if (st.time != 0 && st.A != 0) {
    // The board sends hundredths of a degree as a signed number.
    angle = static_cast<float>(static_cast<std::int32_t>(st.A) / 100.0);
    ok = true;
  }
  if (angle == 0 && dev.angle(angle)) ok = true;
  kovira::ConfigWriteLock lock;
  if (dev.version < AngleConf::kFwNoFix && conf.adxlfix != 0) angle *= 0.25f;
  if (dev.version >= AngleConf::kFwNoFix) conf.adxlfix = 0;
  return angle;
}

void angleloop(unsigned int) {
  bool ok = false;
  const auto now = static_cast<std::uint32_t>(kovira::config().now());
  const float angle = readAngle(sttydev(), angconf, now, ok);
  AngleVerdict verdict;
  {
    kovira::ConfigWriteLock lock;
    angconf.update(angle);
    if (ok && angle != 0) verdict = angconf.judge();
    else ok = false;
  }
  kovira::config().anglecritical = verdict.critical;
  Heartbeat& hb = heartbeatStore();
  if (ok) {
    hb.emplace("anglewarn", verdict.warn);
    hb.emplace("anglediff", verdict.diff);
    hb.emplace("angle", static_cast<double>(angle));
  } else {
    hb.emplace("anglewarn", 0);
    hb.emplace("anglediff", 0);
    hb.emplace("angle", 0);
  }
}

namespace {

std::string fixed2(float v) {
  std::ostringstream s;
  s << std::fixed << std::setprecision(2) << v;
  return s.str();
}

}  // namespace

int http_angle_hook(const HttpRequest& req, HttpResponse& res) {
  if (req.method == "POST") {
    // Every value is checked before any is applied: a refused form changes
    // nothing and says which field it refused.
    kovira::FormFields form(req);
    const std::optional<double> normal = kovira::formNumber(form, "normal", kNormal);
    const std::optional<double> wu = kovira::formNumber(form, "wu", kWu);
    const std::optional<double> wd = kovira::formNumber(form, "wd", kWd);
    const std::optional<double> timenotify = kovira::formNumber(form, "timenotify", kTimenotify);
    if (!form.ok()) return answerRefused(res, form.error());
    kovira::ConfigWriteLock lock;
    if (normal) angconf.normal = static_cast<float>(*normal);
    if (wu) angconf.wu = static_cast<float>(*wu);
    if (wd) angconf.wd = static_cast<float>(*wd);
    if (timenotify) angconf.timenotify = static_cast<std::int32_t>(*timenotify);
    angconf.enabled = req.has("enabled") ? 1 : 0;
    angconf.adxlfix = req.has("adxlfix") ? 1 : 0;
    return res.redirect(req.path, 302);
  }
  AngleConf c;
  {
    kovira::ConfigReadLock lock;
    c = angconf;
  }
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  auto& out = res.body;
  out << "<h1>Angle: отслеживания угла наклона</h1><hr>"
      << "<form method=post action=\"\">";
  out << "<p><b>Отслеживать угол</b>: " << "<input type=checkbox " << (c.enabled ? "CHECKED" : "")
      << " name=enabled value=1>" << "</p>";
  out << "<p><b>Текущее значение</b>: " << fixed2(c.current) << "</p>";
  const float d = c.normal > 0 && c.current > 0 ? c.current - c.normal : 0;
  if (c.current != 0 && c.enabled && c.outOfRange(c.current))
    out << "<p><b>Отклонение (текущее)</b>: " << "<span style='background-color:#F00; padding: 2px 6px;'>"
        << fixed2(d) << "</span></p>";
  else
    out << "<p><b>Отклонение (текущее)</b>: " << fixed2(d) << "</p>";
  if (c.max != 0 || c.min != 0)
    out << "<p><b>Угол (max)</b>: " << fixed2(c.max) << "</p>" << "<p><b>Угол (min)</b>: " << fixed2(c.min)
        << "</p>";
  out << "<p><b>Опорное значение</b>: <input type=text name=normal value=\"" << fixed2(c.normal)
      << "\" size=4></p>";
  out << "<p><b>Порог срабатывания</b>: " << "<input type=text name=wd value=\"" << fixed2(c.wd) << "\" size=3> "
      << "(уменьшение угла, смещение камеры вверх)</p>";
  out << "<p><b>Порог срабатывания</b>: " << "<input type=text name=wu value=\"" << fixed2(c.wu) << "\" size=3> "
      << "(увеличение угла, смещение камеры вниз)</p>";
  out << "<p><b>Порог тревоги (сек)</b>: " << "<input type=text name=timenotify value=\"" << c.timenotify
      << "\" size=3>" << "</p>";
  if (c.outtotal != 0 && c.outtotal > c.outcurrent)
    out << "<p><b>Нахождение вне пределов (всего)</b>: " << prettytime(static_cast<unsigned long>(c.outtotal))
        << "</p>";
  if (c.outcurrent != 0)
    out << "<p><b>Нахождение вне пределов</b>: " << prettytime(static_cast<unsigned long>(c.outcurrent)) << "</p>";
  if (c.rest != 0)
    out << "<p><b>Нахождение в состоянии покоя</b>: " << prettytime(static_cast<unsigned long>(c.rest)) << "</p>";
  out << "<p><b>ADXL313fix</b>: " << "<input type=checkbox " << (c.adxlfix ? "CHECKED" : "")
      << " name=adxlfix value=1>" << "</p>";
  out << "<p>Пороги задаются в виде дельты, например 3.5 или 1.20 гр.</p>" << "<hr>"
      << "<button class='update'>Update</button>" << "</form>";
  return 200;
}

namespace angle {
void modinit() {
  attachConfig("angle", angconf);
  webserver().subscribe("^/config/angle/$", http_angle_hook);
  scheduler.add(angleloop, std::chrono::seconds(20), false, "angleloop");
}
}  // namespace angle
