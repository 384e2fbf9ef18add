#include "devices/lens_pages.h"

#include "capture/camauto.h"
#include "config/form_fields.h"
#include "config/globals.h"
#include "core/startup_functions.h"
#include "devices/heartbeat.h"
#include "devices/page_json.h"
#include "devices/sttydev.h"
#include "http/refusal.h"
#include "http/server.h"

#include <cstdint>
#include <iostream>

void lens::wireCameraAuto() {
  camauto::setHooks([](unsigned n) { sttydev().cami(n); },
                    [](const std::string& key, int value, bool once) {
                      if (once) heartbeatStore().once(key, value);
                      else heartbeatStore().emplace(key, value);
                    });
}

namespace {

constexpr std::uint32_t kMaxPosition = 9000;
constexpr const char* kSteps[] = {"+250", "+100", "+50", "+25", "+5", "-5", "-25", "-50", "-100", "-250"};

// The page's buttons call the endpoints below; served by the unit itself so
// the page works without any outside host.
constexpr const char* kLensScript = R"JS(
(function () {
  function call(url) {
    var r = new XMLHttpRequest();
    r.open('GET', url, true);
    r.send();
  }
  function field(name) {
    return document.querySelector("form.lens input[name='" + name + "']");
  }
  function moved(name, step) {
    var f = field(name);
    var v = parseInt(f.value, 10) + step;
    f.value = (isNaN(v) || v < 0 || v > 9000) ? 0 : v;
  }
  document.addEventListener('click', function (e) {
    var b = e.target;
    if (b.tagName !== 'BUTTON') return;
    var step = parseInt(b.textContent, 10);
    if (b.classList.contains('update')) {
      call('/lens/update?f=' + encodeURIComponent(field('f').value) +
           '&i=' + encodeURIComponent(field('i').value));
    } else if (b.classList.contains('adjf')) {
      call('/lens/update?modf=' + step); moved('f', step);
    } else if (b.classList.contains('adji')) {
      call('/lens/update?modi=' + step); moved('i', step);
    } else if (b.classList.contains('camres')) {
      call('/lens/update?camres=1');
    } else if (b.classList.contains('brushoff')) {
      call('/lens/brush');
    } else {
      return;
    }
    e.preventDefault();
  });
})();
)JS";

int http_lens_handler(const HttpRequest&, HttpResponse& res) {
  SttyDev& dev = sttydev();
  res.headers["Content-Type"] = "text/html; charset=utf-8";
  auto& out = res.body;
  out << "<meta name=\"viewport\" content=\"width=600, initial-scale=1\">"
      << "<h1>Lens settings</h1><hr>"
      << "<form class='lens'>";
  out << "<input type=text name=f value=" << dev.focus.load() << "> focus<br>";
  out << "<input type=text name=i value=" << dev.iris.load() << "> iris<br>";
  out << "<button class='update'>Update config</button><br>"
      << "<hr>";
  for (const char* step : kSteps) out << "<button class=adjf>" << step << "</button>";
  out << "focus<hr>";
  for (const char* step : kSteps) out << "<button class=adji>" << step << "</button>";
  out << "iris<hr>";
  out << "</form>"
      << "<div class=likevideo></div>"
      << "<h1>Дополнительно</h1>"
      << "<button class='brushoff'>Brush</button>"
      << "<button class='camres'>Перезапуск моторов</button>";
  if (dev.fd >= 0 && dev.version > SttyDev::kFwLens) {
    out << "<h1>Интенсивность флешера</h1>"
        << "<form action=updflash method=get>"
        << "<input type=text size=3 name=v value=0>"
        << "<input type=submit value=OK>"
        << "</form>";
  }
  out << "<script type=\"text/javascript\" src=\"/lens/lens.js\"></script>";
  return 200;
}

int http_lens_script(const HttpRequest&, HttpResponse& res) {
  res.headers["Content-Type"] = "text/javascript; charset=utf-8";
  res.body << kLensScript;
  return 200;
}

int http_lens_update(const HttpRequest& req, HttpResponse& res) {
  SttyDev& dev = sttydev();
  if (req.has("camres")) {
    std::string reply;
    (void)dev.process("CAMRES", reply);
    std::cout << "[DBG] lens reset (camres)" << std::endl;
    return 200;
  }
  // Every argument is read before anything is sent.
  kovira::FormFields form(req);
  const auto f = form.int32("f");
  const auto i = form.int32("i");
  const auto modf = form.int32("modf");
  const auto modi = form.int32("modi");
  if (!form.ok()) return answerRefused(res, form.error());
  std::uint32_t focus = dev.focus;
  std::uint32_t iris = dev.iris;
  bool focusSet = false, irisSet = false;
  if (f && static_cast<std::uint32_t>(*f) != focus) {
    focus = static_cast<std::uint32_t>(*f);
    focusSet = true;
  }
  if (i) {
    iris = static_cast<std::uint32_t>(*i);
    irisSet = true;
  }
  if (modf) {
    focus += static_cast<std::uint32_t>(*modf);
    focusSet = true;
  }
  if (modi) {
    iris += static_cast<std::uint32_t>(*modi);
    irisSet = true;
  }
  // A step below 0 wraps above the range and lands on 0.
  if (focus > kMaxPosition) focus = 0;
  if (iris > kMaxPosition) iris = 0;
  if (focusSet) {
    dev.camf(focus);
    fixopenlens();
  } else if (irisSet) {
    dev.cami(iris);
  }
  res.body << "OK";
  return 200;
}

int http_updflash(const HttpRequest& req, HttpResponse& res) {
  kovira::FormFields form(req);
  const auto v = form.integer("v", 0, 127);
  if (!form.ok()) return answerRefused(res, form.error());
  if (v) sttydev().setflash(static_cast<unsigned>(*v));
  return res.redirect("/lens/", 302);
}

int http_brush(const HttpRequest&, HttpResponse& res) {
  sttydev().act(1);
  res.body << "OK";
  return 200;
}

int http_update(const HttpRequest& req, HttpResponse& res) {
  // Every argument is checked before any value changes.
  kovira::FormFields form(req);
  const auto setf = form.int32("setf");
  const auto seti = form.int32("seti");
  const auto modf = form.int32("modf");
  const auto modi = form.int32("modi");
  if (!form.ok()) return answerRefused(res, form.error());
  int& focus = kovira::getGlobalVal<int>("lensfocus", 0);
  int& iris = kovira::getGlobalVal<int>("lensiris", 0);
  // Sums in 64 bits: two large steps must not overflow before the clamp.
  long long f = focus, i = iris;
  if (setf) f = *setf;
  if (seti) i = *seti;
  if (modf) f += *modf;
  if (modi) i += *modi;
  auto clamp = [](long long x) { return static_cast<int>(x < 0 ? 0 : x > kMaxPosition ? kMaxPosition : x); };
  focus = clamp(f);
  iris = clamp(i);
  answerFlatJson(res, {{"focus", std::to_string(focus)}, {"iris", std::to_string(iris)}});
  return 200;
}

}  // namespace

namespace lensweb {
void lens_httphook_init() {
  lens::wireCameraAuto();
  HttpServer& web = webserver();
  web.subscribe("^/lens/$", http_lens_handler);
  web.subscribe("^/lens/update$", http_lens_update);
  web.subscribe("^/lens/updflash$", http_updflash);
  web.subscribe("^/lens/brush$", http_brush);
  web.subscribe("^/lens/lens\\.js$", http_lens_script);
}
}  // namespace lensweb

namespace updlens {
void lens_httphook_init() { webserver().subscribe("^/debug/lens/update$", http_update); }
}  // namespace updlens
