// "/debug/gen.json": every enabled camera's id, source, store fill and
// congestion and frame size, for tools. The layout is that of a property
// tree written as pretty JSON (every value a string, four-space indent),
// which the tools reading it already parse; floats are written in their
// shortest round-trip form.
#include "capture/camera_pages.h"

#include "config/json_writer.h"
#include "core/startup_functions.h"
#include "http/request.h"
#include "http/response.h"
#include "http/server.h"

#include <charconv>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

namespace geninfo {

std::string quoted(const std::string& s) { return kovira::jsonString(s); }

namespace {

std::string shortest(float value) {
  char text[32];
  const auto [end, ec] = std::to_chars(text, text + sizeof text, value);
  return ec == std::errc() ? std::string(text, end) : "0";
}

}  // namespace

std::string informationJson() {
  std::string out = "{\n";
  bool firstCamera = true;
  for (const kovira::CameraView& cam : kovira::cameraViews()) {
    if (!cam.enabled) continue;
    std::vector<std::pair<std::string, std::string>> members = {
        {"camid", std::to_string(cam.camid)},
        {"source", cam.source},
        {"cambufsize", std::to_string(static_cast<std::uint32_t>(cam.store->meta().end() - cam.store->meta().begin()))},
        {"congestion", shortest(cam.store->congestion())}};
    const kovira::SmartBufferIterator oldest = cam.store->meta().oldest();
    if (oldest.valid()) {
      members.emplace_back("width", std::to_string(oldest->width.load()));
      members.emplace_back("height", std::to_string(oldest->height.load()));
    }
    if (!firstCamera) out += ",\n";
    firstCamera = false;
    out += "    " + quoted("cam" + std::to_string(cam.camid)) + ": {\n";
    for (std::size_t i = 0; i < members.size(); ++i)
      out += "        " + quoted(members[i].first) + ": " + quoted(members[i].second) +
             (i + 1 < members.size() ? ",\n" : "\n");
    out += "    }";
  }
  return out + (firstCamera ? "" : "\n") + "}\n";
}

int http_information(const HttpRequest&, HttpResponse& resp) {
  resp.body << informationJson();
  resp.headers["Content-Type"] = "application/json";
  return 200;
}

void gen_httphook_init() { webserver().subscribe("^/debug/gen.json", http_information); }

}  // namespace geninfo
