#include "devices/index_page.h"

#include "config/config.h"
#include "config/form_fields.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "devices/sttydev.h"
#include "http/refusal.h"
#include "http/server.h"
#include "http/webutil.h"

#include <fstream>
#include <iomanip>
#include <sstream>

namespace {

constexpr int kThermalZones = 7;
constexpr const char* kPowerDir = "/sys/devices/3160000.i2c/i2c-0/0-0041/iio_device/";
constexpr std::uint32_t kHour = 3600;
constexpr std::uint32_t kDay = 86400;

// A whole value read from a file; false when it does not open or parse.
template <class T>
bool readValue(const std::string& path, T& value) {
  std::ifstream in(path);
  return static_cast<bool>(in >> value);
}

std::string fixed2(double v) {
  std::ostringstream os;
  os << std::fixed << std::setprecision(2) << v;
  return os.str();
}

std::string uptimeText(std::uint32_t u) {
  if (u <= kHour) return std::to_string(u);
  if (u <= kDay) return std::to_string(u / kHour) + "h";
  return std::to_string(u / kDay) + "d";
}

std::string row(const char* label, const std::string& value) {
  return std::string("<tr><td>") + label + "</td><td>" + value + "</td></tr>";
}

}  // namespace

namespace indexpage {

std::string sensorBlocks(const std::string& root) {
  std::ostringstream out;
  out << "<h2>Temperature</h2>\n";
  for (int n = 0; n < kThermalZones; ++n) {
    const std::string zone = root + "/sys/devices/virtual/thermal/thermal_zone" + std::to_string(n);
    std::string type;
    long long milli = 0;
    if (!readValue(zone + "/type", type) || !readValue(zone + "/temp", milli)) continue;
    out << "<b>" << htmlescape(type) << ":</b> " << static_cast<double>(milli) / 1000 << "<br>\n";
  }
  unsigned long long millivolts = 0, milliwatts = 0;
  const std::string power = root + kPowerDir;
  if (readValue(power + "in_voltage0_input", millivolts) && readValue(power + "in_power0_input", milliwatts)) {
    out << "<h2>Power monitor</h2>\n"
        << "<b>Voltage:</b> " << fixed2(static_cast<double>(millivolts) / 1000) << " V<br>"
        << "<b>Power:</b> " << fixed2(static_cast<double>(milliwatts) / 1000) << " W<br>";
  }
  return out.str();
}

std::string carrierRows(std::uint32_t version, const board::Status& st, const std::string& coords) {
  std::string rows = "<table class=bordertable><tr><td>Parameter</td><td>Value</td></tr>";
  rows += row("HWVer", std::to_string(version));
  rows += row("Uptime", uptimeText(st.U));
  rows += row("Coords", coords.empty() ? "-" : htmlescape(coords));
  if (version >= kFwSatellites) rows += row("Satellites", std::to_string(st.G));
  if (st.V1 != 0) rows += row("Vmain", fixed2(st.V1 / 100.0));
  if (st.V2 != 0) rows += row("Vbatt", fixed2(st.V2 / 100.0));
  if (st.A != 0) rows += row("Angle", fixed2(st.A / 100.0));
  return rows + "</table>";
}

std::string carrierBlock(SttyDev& board) {
  std::string out = "<h2>Carrier status</h2>\n";
  const board::Status st = board.statuslast();
  const std::uint32_t version = board.version;
  if (board.fd < 1 || version == 0 || st.time == 0) return out + "no connection to carrier";
  out += carrierRows(version, st, board.coords());
  std::string rmc;
  if (version < kFwSatellites && board.gprmc(rmc)) out += "<b>GPRMC:</b> " + htmlescape(rmc) + "<br>";
  return out;
}

void subscribe(HttpServer& server) {
  server.subscribe("^/debug/$", http_debug_handler);
  server.subscribe("^/$", http_debug_handler);
}

}  // namespace indexpage

int http_debug_handler(const HttpRequest& req, HttpResponse& resp) {
  kovira::GlobalConfig& cfg = kovira::config();
  if (req.method == "POST" && req.has("suspended")) {
    kovira::FormFields form(req);
    const std::optional<std::int32_t> mode = form.int32("suspended");
    if (!form.ok()) return answerRefused(resp, form.error());
    cfg.suspended = *mode;
    return resp.redirect("/", 302);
  }
  resp.headers["Content-Type"] = "text/html; charset=utf-8";
  std::ostream& out = resp.body;
  out << "<h1>Debug - index page</h1><hr>"
      << "1. " << taglink("/debug/cameras/", "cameras page") << "<br>"
      << "2. " << taglink("/debug/rtsp/buffer/", "rtsp buffers") << "<br>"
      << "3. " << taglink("/debug/tracks/", "tracks list") << "<br>"
      << "4. " << taglink("/debug/tickets/", "Нарушения") << "<br>"
      << "5. " << taglink("/lens/", "Объектив") << "<br>"
      << "6. " << taglink("/debug/usbcam/", "Basler usbcam") << "<br>";
  const std::int32_t mode = cfg.suspended;
  auto option = [mode](int value) { return std::string("<option ") + (mode == value ? "SELECTED" : ""); };
  out << "<h2>Режим работы</h2><form action=? method=post><select name=suspended>" << option(0)
      << " value=0>WORKING</option>" << option(1) << " value=1>НЕ ФИКСИРОВАТЬ НАРУШЕНИЯ</option>" << option(2)
      << " value=2>ОСТАНОВКА ФИКСАЦИИ и ПОТОКа</option></select> \n<input type=submit value=OK></form>\n"
      << indexpage::sensorBlocks("") << indexpage::carrierBlock(sttydev())
      << "<style>\n.bordertable {border-collapse: collapse; margin: 10px 0;}\n"
      << ".bordertable TD {border: 1px solid #999; padding: 5px 7px; margin: 0;}\n</style>";
  return 200;
}
