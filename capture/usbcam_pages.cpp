#include "capture/usbcam_pages.h"

#include "capture/usbcam_config.h"
#include "config/config.h"
#include "config/config_lock.h"
#include "config/form_fields.h"
#include "config/section_check.h"
#include "core/startup_functions.h"
#include "core/text.h"
#include "http/request.h"
#include "http/refusal.h"
#include "http/response.h"
#include "http/server.h"
#include "http/webutil.h"

#include <cstdint>
#include <ctime>
#include <stdexcept>

namespace {

// A settings field read under the rule of the section value it sets, so
// the form refuses exactly what the update endpoint refuses.
std::optional<double> settingField(kovira::FormFields& form, const char* name, const char* key) {
  const kovira::FieldRule* rule = BaslerConfig::rule(key);
  if (rule == nullptr) throw std::logic_error(std::string("usbcam: no rule for ") + key);
  return kovira::formNumber(form, name, *rule);
}

// A schedule time as the form shows it ("07:30", also "7-30"), or "" to
// unset. Text that is no time at all is refused rather than taken as
// unset; a well-formed time outside the day (00:00, 24:00) unsets, as
// timeconv() reads it.
bool timeText(const std::string& text) { return text.empty() || parseTime(text).has_value(); }

const char* selected(bool on) { return on ? "SELECTED" : ""; }

unsigned scheduleState(const BaslerConfig& c) {
  std::int64_t now = 0;
  int timezone = 0;
  {
    kovira::ConfigReadLock lock;
    now = kovira::config().now();
    timezone = kovira::config().timezone;
  }
  return c.checkTime(static_cast<unsigned>(now), timezone);
}

}  // namespace

int http_usbcam(const HttpRequest&, HttpResponse& res) {
  BaslerConfig& c = baslerConfig();
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  auto& out = res.body;
  out << "<h1>usbcam settings</h1><hr>"
      << "<form method=get action=\"update\">"
      << "<input type=hidden name=flash value=0>\n";
  out << "fps <input type=text size=4 name=maxfps value=" << c.maxfps << ">" << "<br><br>";
  out << "fps <input type=text size=4 name=maxnfps value=" << c.maxnfps << ">" << " (ночью)<br><br>";
  out << "exposure <input type=text size=6 name=exp value=" << c.exposure << ">"
      << " gain <input type=text size=4 name=gain value=" << c.limgain << ">" << "<br><br>";
  out << "brightness <input type=text name=brightness size=6 value=" << c.brightness.load() << ">" << "<br><br>";
  out << "diaphragm <select name=diaphragm>"
      << "<option " << selected(c.autodiaphragm == 0) << " value=0>NONE</option>"
      << "<option " << selected(c.autodiaphragm == 1) << " value=1>AUTO</option>"
      << "</select>" << "<br><br>";
  out << "flasher <select name=flash>"
      << "<option " << selected(c.camflashmod == 0) << " value=0>NONE</option>"
      << "<option " << selected(c.camflashmod == 1) << " value=1>AUTO</option>"
      << "<option " << selected(c.camflashmod == 2) << " value=2>FORCE</option>"
      << "</select>" << "<br><br>";
  out << "flasher current status: " << (c.getflash() != 0 ? "ON" : "OFF") << "<br><br>\n";
  out << "<button class='update'>Update config</button><br>" << "<hr>" << "</form>";
  const char* state = scheduleState(c) != 0 ? "ACTIVE" : c.isSchedulled() ? "SCHEDULED" : "NONE";
  out << "<p><b>status:</b> " << htmlescape(c.text(&BaslerConfig::status)) << "</p>";
  out << "<p><b>frames:</b> " << c.grabbed << "</p>";
  out << "<p><b>schedule:</b> " << taglink("/debug/usbcam/schedule/", state) << "</p>";
  out << "<p><b>camera model:</b> " << htmlescape(c.text(&BaslerConfig::model)) << "</p>";
  out << "<p><b>camera firmware:</b> " << htmlescape(c.text(&BaslerConfig::firmware)) << "</p>";
  out << "<p><b>camera version:</b> " << htmlescape(c.text(&BaslerConfig::version)) << "</p>";
  out << "<p><b>camera serial:</b> " << htmlescape(c.text(&BaslerConfig::serial)) << "</p>";
  out << "<p><b>actual exposure:</b> " << c.actexp << "</p>";
  out << "<p><b>actual aperture:</b> " << c.diaphragm << " (diaphragm)</p>";
  out << "<p><b>actual gain:</b> " << c.actgain.load() << "</p>";
  out << "<p><b>actual fps:</b> " << c.actfps.load() << " (target: " << c.fps() << ")</p>";
  out << "<p><b>temperature:</b> " << c.acttemp.load() << "</p>";
  out << "<p><b>camera exposure range:</b> " << c.expmin << ".." << c.expmax << "</p>";
  out << "<p><b>camera gain range:</b> " << c.gainmin.load() << ".." << c.gainmax.load() << "</p>";
  out << "<p><b>camera brightness range:</b> " << c.brmin.load() << ".." << c.brmax.load()
      << " (now = " << c.target.load() << ")" << "</p>";
  out << "<p><b>minor errors:</b> " << c.errminor << "</p>" << "<p><b>major errors:</b> " << c.errmajor << "</p>";
  out << "<p><b>chunks supported:</b> " << (c.chunks != 0 ? "YES" : "NO") << "</p>";
  out << "<p>" << taglink("log.txt", "log.txt") << "</p>";
  return 200;
}

int http_usbcam_update(const HttpRequest& req, HttpResponse& res) {
  BaslerConfig& c = baslerConfig();
  std::string mod;
  if (req.has("mod", mod) && mod == "clean") {
    c.clearLog();
    return res.redirect("/debug/usbcam/", 302);
  }
  // Every field is read before any is stored: a refused one changes nothing.
  kovira::FormFields form(req);
  const auto exposure = settingField(form, "exp", "exposure");
  const auto maxfps = settingField(form, "maxfps", "maxfps");
  const auto maxnfps = settingField(form, "maxnfps", "maxnfps");
  const auto gain = settingField(form, "gain", "limgain");
  const auto brightness = settingField(form, "brightness", "brightness");
  const auto flash = settingField(form, "flash", "camflashmod");
  const auto diaphragm = form.integer("diaphragm", 0, 1);  // the form's choices: NONE, AUTO
  if (!form.ok()) return answerRefused(res, form.error());
  if (exposure) c.exposure = static_cast<std::uint32_t>(*exposure);
  if (maxfps) c.maxfps = static_cast<std::uint32_t>(*maxfps);
  if (maxnfps) c.maxnfps = static_cast<std::uint32_t>(*maxnfps);
  if (gain) c.updgain(static_cast<unsigned>(*gain));
  if (brightness) c.brightness = static_cast<float>(*brightness);
  if (diaphragm) c.autodiaphragm = static_cast<std::uint32_t>(*diaphragm);
  // The form's hidden field makes an absent selection mean 0.
  c.flashmod(flash ? static_cast<unsigned>(*flash) : 0);
  return res.redirect("/debug/usbcam/", 302);
}

int http_schedule(const HttpRequest& req, HttpResponse& res) {
  BaslerConfig& c = baslerConfig();
  if (req.method == "POST") {
    kovira::FormFields form(req);
    std::optional<std::string> times[4];
    const char* names[4] = {"t1", "t2", "t3", "t4"};
    for (int n = 0; n < 4; ++n) {
      times[n] = form.text(names[n]);
      if (form.ok() && times[n] && !timeText(*times[n]))
        return answerRefused(res, std::string("error: ") + names[n] + ": not a time HH:MM\n");
    }
    const auto br1 = settingField(form, "br1", "br1");
    const auto br2 = settingField(form, "br2", "br2");
    if (!form.ok()) return answerRefused(res, form.error());
    std::atomic<std::int32_t>* fields[4] = {&c.t1, &c.t2, &c.t3, &c.t4};
    for (int n = 0; n < 4; ++n)
      if (times[n]) *fields[n] = timeconv(*times[n]);
    if (br1) c.br1 = static_cast<float>(*br1);
    if (br2) c.br2 = static_cast<float>(*br2);
    c.schedule = req.has("enabled") ? 1 : 0;
    return res.redirect(req.path, 302);
  }
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  auto& out = res.body;
  out << "<h1>usbcam settings - schedule</h1><hr>" << "<form method=POST action=\"?\">";
  out << "<p>enabled: " << "<input type=checkbox name=enabled value=1 " << (c.schedule != 0 ? "CHECKED" : "") << ">"
      << "</p>";
  auto event = [&](int n, int from, int to, float br, const char* f, const char* t, const char* b) {
    out << "<p><b>event " << n << "</b>: с" << "<input type=text size=6 name=" << f << " value=" << timeconvback(from)
        << ">" << " по " << "<input type=text size=6 name=" << t << " value=" << timeconvback(to) << ">"
        << " значение " << "<input type=text size=4 name=" << b << " value=" << br << ">" << "</p>";
  };
  event(1, c.t1, c.t2, c.br1, "t1", "t2", "br1");
  event(2, c.t3, c.t4, c.br2, "t3", "t4", "br2");
  out << "<button class='update'>Update config</button>" << "<hr>" << taglink("/debug/usbcam/", "back");
  return 200;
}

int http_usbcam_logtxt(const HttpRequest&, HttpResponse& res) {
  res.headers["Content-Type"] = "text/plain; charset=utf-8";
  res.body << baslerConfig().text(&BaslerConfig::log);
  return 200;
}

void baslerweb::basler_httphook_init() {
  HttpServer& web = webserver();
  web.subscribe("^/debug/usbcam/$", http_usbcam);
  web.subscribe("^/debug/usbcam/schedule/$", http_schedule);
  web.subscribe("^/debug/usbcam/log.txt$", http_usbcam_logtxt);
  web.subscribe("^/debug/usbcam/update$", http_usbcam_update);
}
