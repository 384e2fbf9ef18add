#include "config/config_pages.h"

#include "config/actions.h"
#include "config/camera_sections.h"
#include "config/config.h"
#include "config/form_fields.h"
#include "config/json_fields.h"
#include "config/section_check.h"
#include "config/zones.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/refusal.h"
#include "http/server.h"
#include "http/webutil.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cstdlib>
#include <limits>
#include <sstream>
#include <vector>

namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";
constexpr const char* kFormEnd = "<hr><button class='update'>Update config</button></form>";

// The stream's default format of a double ("0.1", "1", "1e+10").
std::string defaultDouble(double v) {
  std::ostringstream os;
  os << v;
  return os.str();
}

const char* checked(std::int32_t flag) { return flag != 0 ? "CHECKED" : ""; }

// The id member of a section: "camid", "actid" or "zoneid" by its type, as
// the store reads it (0 when absent or beyond 64 bits, which the store
// refuses); 0 for other types. "error: <key>: <reason>\n" in `refused`
// when it is no integer: an id names one record, never the one a fraction
// rounds to.
long long sectionId(const std::string& type, const nlohmann::json& body, std::string& refused) {
  const char* key = kovira::GlobalConfig::idKey(type);
  if (key == nullptr) return 0;
  const auto it = body.find(key);
  if (it == body.end()) return 0;
  // The range is the store's to check (1..512, answered 500).
  constexpr double kAnyId = std::numeric_limits<double>::infinity();
  if (const auto why = kovira::refusalOf(kovira::integerRule(key, -kAnyId, kAnyId), *it)) {
    refused = std::string("error: ") + key + ": " + *why + "\n";
    return 0;
  }
  return kovira::fittingNumber<long long>(*it).value_or(0);
}

// "error: <key>: <reason>\n" for the first value of the section that its
// owner would not take, "" when it takes them all: an edit is applied whole
// or refused whole. Called with the configuration lock held.
std::string refusedValue(const kovira::GlobalConfig& cfg, const std::string& type, const nlohmann::json& body) {
  if (type == "global") return kovira::GlobalConfig::checkConfig(body);
  if (type == "zone") return kovira::Zone::check(body);
  if (type == "action") return kovira::Action::check(body);
  if (type == "camera") return kovira::camera_sections::check(body);
  for (const auto& a : cfg.attachedcof)
    if (a.name == type) return a.sketch->check(body);
  return {};
}

}  // namespace

namespace kovira {

std::optional<int> routeId(const HttpRequest& req) {
  if (req.match.size() < 2) return std::nullopt;
  const std::string digits = req.match[1];
  errno = 0;
  char* end = nullptr;
  const long long n = std::strtoll(digits.c_str(), &end, 10);
  if (end == digits.c_str() || errno == ERANGE || n > std::numeric_limits<int>::max()) return std::nullopt;
  return static_cast<int>(n);
}

void subscribeConfigPages(HttpServer& server) {
  server.subscribe("^/config/", http_index_config);
  server.subscribe("^/config/echo", http_echo_config);
  server.subscribe("^/config/update", http_update_config);
  server.subscribe("^/config/whole.json$", http_whole_config);
  server.subscribe("^/debug/config.json$", http_whole_config);
  server.subscribe("^/config/global/", http_global);
  server.subscribe("^/config/act(\\d+)/", http_edit_act);
  server.subscribe("^/config/zon(\\d+)/", http_edit_zon);
}

}  // namespace kovira

namespace config_upd {
void modinit() { kovira::subscribeConfigPages(webserver()); }
}  // namespace config_upd

int http_index_config(const HttpRequest&, HttpResponse& resp) {
  std::vector<int> zoneIds;
  std::vector<std::pair<int, std::string>> acts;
  {
    kovira::ConfigReadLock lock;
    for (const kovira::Zone& z : kovira::zones())
      if (z.removed == 0) zoneIds.push_back(z.zoneid);
    for (const kovira::Action& a : kovira::actions())
      if (a.removed == 0) acts.emplace_back(a.actid, a.method);
  }
  resp.headers["Content-Type"] = kHtml;
  std::ostream& out = resp.body;
  out << "<h1>Debug - config page</h1><hr>"
      << "1. " << taglink("/config/whole.json", "whole.json") << " config file<br>"
      << "2. " << taglink("/config/update", "update") << " script<br>"
      << "3. " << taglink("/config/echo", "echo") << " test page<br>"
      << "4. " << taglink("/config/global/", "global") << " settings<br>"
      << "5. " << taglink("/config/angle/", "angle") << "<br>"
      << "6. " << taglink("/config/add/", "add") << "<br>";
  int n = 7;
  for (const int id : zoneIds) {
    out << n++ << ". " << taglink("/config/zon" + std::to_string(id) + "/", "zoneid=" + std::to_string(id))
        << "<br>\n";
  }
  for (const auto& [id, method] : acts) {
    out << n++ << ". " << taglink("/config/act" + std::to_string(id) + "/", "actid=" + std::to_string(id))
        << " (type=" << htmlescape(method) << ")<br>\n";
  }
  out << "<hr><pre>"
      << "example: curl -v http://targeturl/config/echo"
      << " -H \"Content-Type: application/json\" -X POST"
      << " -d '{\"username\":\"test\", \"password\": \"80631\"}'\n\n"
      << "еще вариант: update?type = camera|zone|action|global\n"
      << "или в самом json запросе type и соответсвующий camid/actid/zoneid\n"
      << "</pre>";
  return 200;
}

int http_echo_config(const HttpRequest& req, HttpResponse& resp) {
  if (req.body.empty())
    resp.body << "request is empty\n";
  else
    resp.body << req.body;
  return 200;
}

int http_update_config(const HttpRequest& req, HttpResponse& resp) {
  if (req.body.empty()) {
    resp.body << "error: request is empty\n";
    return 400;
  }
  nlohmann::json body;
  try {
    body = nlohmann::json::parse(req.body);
  } catch (const nlohmann::json::exception& e) {
    resp.body << "error: json parse: " << e.what() << "\n" << req.body << "\n";
    return 400;
  }
  kovira::GlobalConfig& cfg = kovira::config();
  std::string type;
  long long id = 0;
  std::string exported;
  try {
    type = body.value("type", std::string("default"));
    // Only the query string names the type: the arguments of a JSON body
    // sent as a form are not the operator's.
    StringMap query;
    parseArguments(req.query, query);
    if (const auto it = query.find("type"); it != query.end()) type = it->second;
    std::string badId;
    id = sectionId(type, body, badId);
    if (!badId.empty()) return answerRefused(resp, badId + req.body + "\n");
    if (type == "camera") {
      if (const auto why = kovira::camera_sections::refusedBufsize(body)) return answerRefused(resp, "error: " + *why + "\n");
    }
    kovira::ConfigWriteLock lock;
    if (const std::string refused = refusedValue(cfg, type, body); !refused.empty())
      return answerRefused(resp, refused + req.body + "\n");
    if (!cfg.updSection(type, body)) {
      resp.body << "error: can not proccess request, type=" << type << ", id=" << id << "\n" << req.body << "\n";
      return 500;
    }
    // A section sent for a deleted record brings it back: otherwise the next
    // save would drop what was just answered as applied.
    if (type == "zone" && kovira::hasZone(static_cast<int>(id))) kovira::zone(static_cast<int>(id)).removed = 0;
    if (type == "action" && kovira::hasAction(static_cast<int>(id)))
      kovira::action(static_cast<int>(id)).removed = 0;
    exported = cfg.exportSection(type, static_cast<int>(id), 1);
  } catch (const nlohmann::json::exception& e) {
    resp.body << "error: json type: " << e.what() << "\n" << req.body << "\n";
    return 400;
  }
  resp.headers["Content-Type"] = kJson;
  resp.body << exported << "\n";
  return 200;
}

int http_whole_config(const HttpRequest&, HttpResponse& resp) {
  resp.headers["Content-Type"] = kJson;
  resp.body << kovira::config().whole(1);
  return 200;
}

int http_global(const HttpRequest& req, HttpResponse& resp) {
  kovira::GlobalConfig& cfg = kovira::config();
  if (req.method == "POST") {
    kovira::FormFields form(req);
    struct Text {
      const char* name;
      std::string kovira::GlobalConfig::*member;
      std::optional<std::string> value;
    };
    Text texts[] = {
        {"address", &kovira::GlobalConfig::address, {}},       {"devname", &kovira::GlobalConfig::devname, {}},
        {"coords", &kovira::GlobalConfig::coords, {}},         {"serial", &kovira::GlobalConfig::serial, {}},
        {"certificate", &kovira::GlobalConfig::certificate, {}}, {"verification", &kovira::GlobalConfig::verification, {}},
        {"trackmask", &kovira::GlobalConfig::trackmask, {}},   {"way1", &kovira::GlobalConfig::way1, {}},
        {"way2", &kovira::GlobalConfig::way2, {}},
    };
    for (Text& t : texts) t.value = form.text(t.name);
    const std::optional<long long> timezone =
        form.integer("timezone", kovira::GlobalConfig::kMinTimezone, kovira::GlobalConfig::kMaxTimezone);
    const std::optional<std::uint32_t> posa = form.uint32("posa");
    const std::optional<std::uint32_t> posb = form.uint32("posb");
    const std::optional<std::uint32_t> posc = form.uint32("posc");
    if (!form.ok()) return answerRefused(resp, form.error());
    kovira::ConfigWriteLock lock;
    for (const Text& t : texts)
      if (t.value) cfg.*t.member = *t.value;
    if (timezone) cfg.timezone = static_cast<std::int32_t>(*timezone);
    if (posa) cfg.posa = *posa;
    if (posb) cfg.posb = *posb;
    if (posc) cfg.posc = *posc;
    return resp.redirect("/config/", 302);
  }
  std::string address, devname, coords, acoords, serial, certificate, verification, way1, way2, trackmask;
  std::uint32_t posa = 0, posb = 0, posc = 0;
  std::int32_t timezone = 0;
  {
    kovira::ConfigReadLock lock;
    address = cfg.address;
    devname = cfg.devname;
    coords = cfg.coords;
    acoords = cfg.acoords;
    serial = cfg.serial;
    certificate = cfg.certificate;
    verification = cfg.verification;
    way1 = cfg.way1;
    way2 = cfg.way2;
    trackmask = cfg.trackmask;
    posa = cfg.posa;
    posb = cfg.posb;
    posc = cfg.posc;
    timezone = cfg.timezone;
  }
  resp.headers["Content-Type"] = kHtml;
  std::ostream& out = resp.body;
  out << "<h1>Debug - config global page</h1><hr><form method=post action='?'>"
      << "<p>address:<br><input type=text size=80 name=address value='" << htmlescape(address) << "'></p>"
      << "<p>devname (имя прибора):<br><input type=text size=60 name=devname value='" << htmlescape(devname)
      << "'></p>"
      << "<p>coords:<br><input type=text size=20 name=coords value=\"" << htmlescape(coords) << "\"></p>"
      << "<p>acoords: " << htmlescape(acoords) << "</p>"
      << "<p>serial (серийный номер):<br><input type=text size=20 name=serial value=\"" << htmlescape(serial)
      << "\"></p>"
      << "<p>Высота номера A (передний):<br><input type=text size=4 name=posa value=\"" << posa << "\"></p>"
      << "<p>Высота номера B (задний):<br><input type=text size=4 name=posb value=\"" << posb << "\"></p>"
      << "<p>camera pos C (высота):<br><input type=text size=4 name=posc value=\"" << posc << "\"></p>"
      << "<p>Свидетельство: (формат ГГГГ-ММ-ДД номер)<br><input type=text size=40 name=certificate value=\""
      << htmlescape(certificate) << "\"></p>"
      << "<p>Поверка: (формат ГГГГ-ММ-ДД номер)<br><input type=text size=40 name=verification value=\""
      << htmlescape(verification) << "\"></p>"
      << "<p>Часовой пояс:<br><input type=text size=4 name=timezone value=" << timezone << "></p>"
      << "<p>Направление (к камере):<br><input type=text size=20 name=way1 value=\"" << htmlescape(way1)
      << "\"></p>"
      << "<p>Направление (от камеры):<br><input type=text size=20 name=way2 value=\"" << htmlescape(way2)
      << "\"></p>"
      << "<p>Дополнительные маски для проверки номеров:<br><textarea rows=6 cols=40 name=trackmask>"
      << htmlescape(trackmask) << "</textarea></p>" << kFormEnd;
  return 200;
}

int http_edit_act(const HttpRequest& req, HttpResponse& resp) {
  const std::optional<int> id = kovira::routeId(req);
  if (!id || !kovira::hasAction(*id)) return 404;
  if (req.method == "POST") {
    kovira::FormFields form(req);
    nlohmann::json section = nlohmann::json::object();
    // Unchecked boxes send nothing.
    section["enabled"] = req.has("enabled") ? 1 : 0;
    section["upload"] = req.has("upload") ? 1 : 0;
    if (auto v = form.int32("zonea")) section["zoneA"] = *v;
    if (auto v = form.float32("accuracy")) section["accuracy"] = static_cast<double>(*v);
    for (const char* name : {"imgw", "imgh", "quality", "speed", "threshold"})
      if (auto v = form.uint32(name)) section[name] = *v;
    if (auto v = form.int32("direction")) section["direction"] = *v;
    for (const char* name : {"extra", "path"})
      if (auto v = form.text(name)) section[name] = *v;
    if (auto v = form.text("label")) {
      replaceAll(*v, "\r\n", "\n");
      section["label"] = *v;
    }
    if (!form.ok()) return answerRefused(resp, form.error());
    if (const std::string refused = kovira::Action::check(section); !refused.empty()) return answerRefused(resp, refused);
    // The action's own reader, so that derived values follow the new ones.
    kovira::ConfigWriteLock lock;
    kovira::action(*id).updConfig(section);
    return resp.redirect("/config/", 302);
  }
  std::ostringstream rows;
  {
    kovira::ConfigReadLock lock;
    const kovira::Action& a = kovira::action(*id);
    rows << "<p>actid: " << a.actid << "</p>"
         << "<p>method: " << htmlescape(a.method) << "</p>"
         << "<p>zoneA:<br><input type=text size=4 name=zonea value=" << a.zoneA << "></p>"
         << "<p>enabled: <input type=checkbox name=enabled value=1 " << checked(a.enabled) << "></p>"
         << "<p>Порог качества: (0 ... 1.0 ... 25)<br><input type=text size=4 name=accuracy value='"
         << defaultDouble(a.accuracy) << "'></p>"
         << "<p>size:<br><input type=text size=4 name=imgw value=" << a.imgw
         << "> x <input type=text size=4 name=imgh value=" << a.imgh << "></p>"
         << "<p>Направление: (0 - оба, 1 - прибл., 2 - удал.)<br><input type=text size=4 name=direction value="
         << a.direction << "></p>"
         << "<p>Quality: (0 - по умолчанию, 1 - мин., 100 - макс.)<br><input type=text size=4 name=quality value="
         << a.quality << "></p>"
         << "<p>Дополнительно: (angelsign fullframe redbox - через пробел)<br><input type=text size=80 name=extra "
            "value='"
         << htmlescape(a.extra) << "'></p>"
         << "<p>Путь для сохранения файлов:<br><input type=text size=80 name=path value='" << htmlescape(a.path)
         << "'></p>"
         << "<p>Выгружать на demo: <input type=checkbox name=upload value=1 " << checked(a.upload) << "></p>"
         << "<p>Скорость: (ограничение)<br><input type=text size=4 name=speed value=" << a.speed << "></p>"
         << "<p>Порог срабатывания:<br><input type=text size=4 name=threshold value=" << a.threshold << "></p>"
         << "<p>Подпись:<br><textarea rows=6 cols=120 name=label>" << htmlescape(a.label) << "</textarea></p>";
  }
  resp.headers["Content-Type"] = kHtml;
  resp.body << "<h1>Debug - config page - actid = " << *id << "</h1><hr><form method=post action='?'>"
            << rows.view() << kFormEnd;
  return 200;
}

int http_edit_zon(const HttpRequest& req, HttpResponse& resp) {
  const std::optional<int> id = kovira::routeId(req);
  if (!id || !kovira::hasZone(*id)) return 404;
  if (req.method == "POST") {
    kovira::FormFields form(req);
    nlohmann::json section = nlohmann::json::object();
    section["enabled"] = req.has("enabled") ? 1 : 0;
    if (auto v = form.int32("camid")) section["camid"] = *v;
    if (auto v = form.int32("scale")) section["scale"] = *v;
    if (auto v = form.float32("calcost")) section["calcost"] = *v;
    if (!form.ok()) return answerRefused(resp, form.error());
    if (const std::string refused = kovira::Zone::check(section); !refused.empty()) return answerRefused(resp, refused);
    // Through the zone's reader: calibration, scale window and the checks
    // that switch an unusable zone off follow the new values at once.
    kovira::GlobalConfig& cfg = kovira::config();
    kovira::ConfigWriteLock lock;
    kovira::zone(*id).updConfig(section);
    cfg.updZonesParent();
    return resp.redirect("/config/", 302);
  }
  std::ostringstream rows;
  {
    kovira::ConfigReadLock lock;
    const kovira::Zone& z = kovira::zone(*id);
    rows << "<p>zoneid: " << z.zoneid << "</p>"
         << "<p>area: " << z.area() << " (площадь в пикс.)</p>"
         << "<p>freerun: " << (z.freecnn != 0 ? "YES" : "NO") << "</p>"
         << "<p>camid:<br><input type=text size=4 name=camid value=" << z.camid << "></p>"
         << "<p>enabled: <input type=checkbox name=enabled value=1 " << checked(z.enabled) << "></p>"
         << "<p>Шаг: (между метками, 0 - нет данных)<br><input type=text size=4 name=calcost value='"
         << defaultDouble(z.calcost) << "'></p>"
         << "<p>scale: (4...9)<br><input type=text size=4 name=scale value=" << z.scale << "></p>"
         << "<p>coords: " << htmlescape(z.coords) << "</p>";
  }
  resp.headers["Content-Type"] = kHtml;
  resp.body << "<h1>Debug - config page - zoneid = " << *id << "</h1><hr><form method=post action='?'>"
            << rows.view() << kFormEnd;
  return 200;
}
