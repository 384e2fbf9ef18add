// "/debug/gen.json": every enabled camera's id, source, store fill and
// congestion and frame size, for tools. The layout is that of a property
// tree written as pretty JSON (every value a string, four-space indent),
// which the tools reading it already parse; floats are written in their
// shortest round-trip form.
#include "capture/camera_pages.h"

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

// Escapes as the property tree's JSON writer does ("/" included); bytes
// from 0x80 pass unchanged, so UTF-8 text stays valid.
std::string quoted(const std::string& s) {
  std::string out = "\"";
  for (const char c : s) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '/': out += "\\/"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\u%04X", static_cast<unsigned>(c));
          out += hex;
        } else {
          out += c;
        }
    }
  }
  return out + "\"";
}

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
