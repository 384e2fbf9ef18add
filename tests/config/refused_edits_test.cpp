// Edits that tell the truth, through the real server on a loopback socket: a
// refused value (type, range, not a whole integer, not finite) answers 400
// with the field's name and changes nothing of the request, on every page
// and endpoint that takes values; one table per endpoint. A control
// character in a text is dropped with one warning, never stored. Number
// text reads alike in a form and in a JSON body; wrong JSON types and ids
// that are no integers are refused naming the field; the recognition
// section is taken whole or not at all.
#include "capture/usbcam_config.h"
#include "capture/usbcam_pages.h"
#include "config/config.h"
#include "config/config_pages.h"
#include "devices/angle.h"
#include "evidence/upload.h"
#include "http/server.h"
#include "modules/control_frames.h"
#include "modules/postframe.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/track_pages.h"
#include "tests/http/http_test_client.h"

#include "config_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <string>
#include <vector>

namespace {

using kovira::testing::StdoutCapture;

constexpr const char* kScene = R"([
  {"type": "zone", "zoneid": 3, "camid": 1, "scale": 5, "coords": "10,10,30,10,30,20", "calcost": 2.5},
  {"type": "action", "actid": 2, "method": "speed", "zoneA": 3, "speed": 60, "threshold": 70, "quality": 50},
  {"type": "camera", "camid": 5, "bufsize": 1, "source": "file", "url": "/data/road.mp4", "enabled": 1, "fps": 10},
  {"type": "global", "address": "ул. Ленина, 1", "devname": "KV-1", "timezone": 3, "webserver": 18081}
])";

struct Edit {
  const char* method;
  std::string target;
  std::string body;
  const char* field;  // the name the answer must give
};

class RefusedEdits : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    attachConfig("usbcam", baslerConfig());
    attachConfig("angle", angconf);
    attachConfig("tolvek", saveframe::mconf);
  }
  static void TearDownTestSuite() {
    detachConfig("usbcam", baslerConfig());
    detachConfig("angle", angconf);
    detachConfig("tolvek", saveframe::mconf);
  }

  void SetUp() override {
    kovira::testing::clearScene();
    kovira::config().process(nlohmann::json::parse(kScene));
    kovira::subscribeConfigPages(server);
    server.subscribe("^/special-tolvek/.*", saveframe::http_tolvek_hook);
    server.subscribe("^/debug/postframe/update$", postframe::http_postframe_update);
    server.subscribe("^/debug/usbcam/update$", http_usbcam_update);
    server.subscribe("^/debug/usbcam/schedule/$", http_schedule);
    server.subscribe("^/debug/lazyupload/$", [this](const HttpRequest& q, HttpResponse& r) { return lazy.page(q, r); });
    server.subscribe("^/config/angle/$", http_angle_hook);
    cnnweb::subscribe(server, cnn);
    attachConfig("cnnconf", cnn);  // detached by the stage's destructor
    ASSERT_TRUE(server.start(0));
  }
  void TearDown() override { kovira::testing::clearScene(); }

  // section[key] of the section of `type` (and `id` for records) that the
  // whole configuration holds now; null when there is none.
  static nlohmann::json held(const std::string& type, int id, const std::string& key) {
    for (const nlohmann::json& s : nlohmann::json::parse(kovira::config().whole(1))) {
      if (s.value("type", "") != type) continue;
      if (id != 0 && s.value("zoneid", s.value("actid", 0)) != id) continue;
      return s.value(key, nlohmann::json());
    }
    return {};
  }

  httptest::Reply send(const Edit& e) {
    const bool json = !e.body.empty() && e.body[0] == '{';
    std::string request = std::string(e.method) + " " + e.target + " HTTP/1.1\r\nHost: t\r\nConnection: close\r\n";
    if (std::string(e.method) == "POST") {
      request += std::string("Content-Type: ") + (json ? "application/json" : "application/x-www-form-urlencoded") +
                 "\r\nContent-Length: " + std::to_string(e.body.size()) + "\r\n";
    }
    return httptest::parseReply(httptest::roundTrip(server.boundPort(), request + "\r\n" + e.body));
  }

  // Everything a request could change: the whole configuration with the
  // module sections, the feedback settings, the upload page's settings and
  // the camera settings the section leaves out while the schedule is off.
  std::string state() {
    const postframe::FeedbackSettings s = postframe::httpframe().settings();
    const BaslerConfig& c = baslerConfig();
    std::ostringstream out;
    out << c.autodiaphragm << '|' << c.schedule << '|' << c.t1 << '|' << c.t2 << '|' << c.br1 << '|' << c.br2 << '|';
    out << kovira::config().whole(1) << s.target << '|' << s.interval << '|' << s.cnt << '|' << s.min << '|' << s.max
        << '|' << s.minsize << '|' << s.mask << '|' << s.cars << '|' << s.scale << '|' << s.timeofday << '|' << s.tag
        << '|' << lazy.limsize.load() << "|" << lazy.faildelay.load();
    return out.str();
  }

  void expectRefused(const std::vector<Edit>& edits) {
    for (const Edit& e : edits) {
      SCOPED_TRACE(e.target + " " + e.body);
      const std::string before = state();
      const httptest::Reply r = send(e);
      EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request");
      EXPECT_EQ(r.body.rfind(std::string("error: ") + e.field + ": ", 0), 0u) << r.body;
      EXPECT_EQ(state(), before);
    }
  }

  HttpServer server{[] {
    HttpServerOptions o;
    o.bindAddress = "127.0.0.1";
    return o;
  }()};
  UploadWebLazy lazy{[](const std::string&, const SimpleFile&, const std::atomic<bool>*) { return 0; },
                     std::chrono::milliseconds(0)};
  kovira::SceneAccess scene;
  kovira::ResQueue results{scene, [] { return 1000u; }};
  kovira::CnnProc cnn{results, kovira::CnnLibrary{}};
};

// Every byte as %XX: a form value that may hold NUL.
std::string formValue(const std::string& text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto b = static_cast<unsigned char>(c);
    out += {'%', kHex[b >> 4], kHex[b & 15]};
  }
  return out;
}

TEST_F(RefusedEdits, UpdateEndpointRefusesTheWholeSection) {
  const std::string global = "/config/update?type=global";
  const std::string camera = "/config/update?type=camera";
  expectRefused({
      {"POST", global, R"({"webserver": 70000})", "webserver"},
      {"POST", global, R"({"devname": "KV-2", "webserver": 0})", "webserver"},
      {"POST", global, R"({"devname": "KV-2", "timezone": 1e20})", "timezone"},
      {"POST", global, R"({"timezone": 3.5})", "timezone"},
      {"POST", global, R"({"address": 5})", "address"},
      {"POST", global, R"({"spd-mindist": -5})", "spd-mindist"},
      {"POST", "/config/update?type=usbcam", R"({"exposure": "abc", "t1": -5})", "exposure"},
      {"POST", "/config/update?type=usbcam", R"({"exposure": 2000, "t1": -5})", "t1"},
      {"POST", "/config/update?type=usbcam", R"({"exposure": 2000, "camflashmod": 3})", "camflashmod"},
      {"POST", "/config/update?type=usbcam", R"({"brightness": 1e39})", "brightness"},
      {"POST", "/config/update", R"({"type": "zone", "zoneid": 3, "calcost": 5, "scale": 2147483647})", "scale"},
      {"POST", "/config/update", R"({"type": "zone", "zoneid": 3, "scale": -2147483648})", "scale"},
      {"POST", "/config/update", R"({"type": "action", "actid": 2, "speed": 90, "quality": 101})", "quality"},
      {"POST", "/config/update", R"({"type": "action", "actid": 2, "accuracy": "high"})", "accuracy"},
      {"POST", "/config/update?type=angle", R"({"enabled": 1, "normal": 1e20})", "normal"},
      {"POST", "/config/update?type=angle", R"({"wd": -1})", "wd"},
      {"POST", "/config/update?type=tolvek", R"({"enabled": 1, "timepad": 4294967297})", "timepad"},
      {"POST", "/config/update?type=tolvek", R"({"quality": 0})", "quality"},
      {"POST", "/config/update", R"({"type": "camera", "camid": 5, "bufsize": 1, "url": "rtsp://c", "fps": -1})",
       "fps"},
      {"POST", camera, R"({"camid": 5, "bufsize": 1, "enabled": 0, "url": 7})", "url"},
      {"POST", camera, R"({"camid": 5, "bufsize": 1, "source": "rtsp", "enabled": "on"})", "enabled"},
      {"POST", camera, R"({"camid": 5, "bufsize": 1.5, "enabled": 0})", "bufsize"},
  });
  // The same sections with acceptable values are taken.
  const httptest::Reply ok = send({"POST", global, R"({"webserver": 8080, "timezone": -3})", ""});
  EXPECT_EQ(ok.statusLine, "HTTP/1.1 200 OK");
  const httptest::Reply cam = send({"POST", camera, R"({"camid": 5, "bufsize": 1, "fps": 12, "url": null})", ""});
  EXPECT_EQ(cam.statusLine, "HTTP/1.1 200 OK");
  EXPECT_NE(cam.body.find(R"("fps": 12)"), std::string::npos) << cam.body;  // null clears a text
  kovira::ConfigReadLock lock;
  EXPECT_EQ(kovira::config().webserver, 8080);
  EXPECT_EQ(kovira::config().timezone, -3);
}

TEST_F(RefusedEdits, FormPagesRefuseTheWholeForm) {
  expectRefused({
      {"POST", "/config/global/", "devname=KV-2&timezone=12x", "timezone"},
      {"POST", "/config/global/", "devname=KV-2&timezone=15", "timezone"},
      {"POST", "/config/global/", "devname=KV-2&posa=%2012x", "posa"},
      {"POST", "/config/zon3/", "enabled=1&scale=2147483647", "scale"},
      {"POST", "/config/zon3/", "scale=-3", "scale"},
      {"POST", "/config/zon3/", "scale=6&calcost=1.5e", "calcost"},
      {"POST", "/config/act2/", "quality=5&direction=7", "direction"},
      {"POST", "/config/act2/", "quality=101", "quality"},
      {"POST", "/special-tolvek/", "enabled=1&quality=85x", "quality"},
      {"POST", "/special-tolvek/", "enabled=1&timepad=1441", "timepad"},
      {"POST", "/debug/lazyupload/", "faildelay=10&limsize=12x", "limsize"},
      {"POST", "/debug/lazyupload/", "limsize=50&faildelay=-1", "faildelay"},
      {"GET", "/debug/usbcam/update?flash=2&exp=12x", "", "exp"},
      {"GET", "/debug/usbcam/update?exp=2000&gain=-1", "", "gain"},
      {"GET", "/debug/usbcam/update?exp=2000&brightness=1.5", "", "brightness"},
      {"GET", "/debug/usbcam/update?exp=2000&flash=3", "", "flash"},
      {"GET", "/debug/usbcam/update?exp=2000&diaphragm=2", "", "diaphragm"},
      {"POST", "/debug/usbcam/schedule/", "enabled=1&t1=07:30&br2=nan", "br2"},
      {"POST", "/debug/usbcam/schedule/", "enabled=1&br1=0.3&t2=7.30", "t2"},
  });
}

TEST_F(RefusedEdits, FeedbackSettingsRefuseTheWholeRequest) {
  const std::string page = "/debug/postframe/update?cnt=5&";
  expectRefused({
      {"GET", page + "max=nan", "", "max"},
      {"GET", page + "min=inf", "", "min"},
      {"GET", page + "scale=-3", "", "scale"},
      {"GET", page + "scale=0", "", "scale"},
      {"GET", page + "mask=3", "", "mask"},
      {"GET", page + "cars=4", "", "cars"},
      {"GET", page + "timeofday=-1", "", "timeofday"},
      {"GET", page + "interval=12x", "", "interval"},
      {"GET", page + "target=file%3A%2F%2F%2Fetc%2Fpasswd", "", "target"},
  });
  EXPECT_EQ(send({"GET", page + "max=25&scale=2&mask=1&cars=3", "", ""}).statusLine, "HTTP/1.1 302 Found");
  const postframe::FeedbackSettings s = postframe::httpframe().settings();
  EXPECT_EQ(s.cnt, 5u);
  EXPECT_EQ(s.scale, 2);
  EXPECT_EQ(s.cars, 3);
  postframe::httpframe().update([](postframe::FeedbackSettings& f) { f = postframe::FeedbackSettings{}; });
}

TEST_F(RefusedEdits, ControlCharactersInTextsAreDroppedWithOneWarning) {
  StdoutCapture out;
  const httptest::Reply r =
      send({"POST", "/config/update?type=global", R"({"address": "\u0001ул. Ленина,\u001f 1\u0000", "devname": "KV\tA"})",
            ""});
  const std::string said = out.text();
  EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK");
  EXPECT_NE(r.body.find(R"("address": "ул. Ленина, 1")"), std::string::npos) << r.body;
  // One warning, for the one text that lost characters (the server's access
  // log shares the output).
  EXPECT_NE(said.find("[WARNING] global: address: 3 characters XML cannot carry were dropped\n"), std::string::npos)
      << said;
  EXPECT_EQ(said.find("[WARNING]"), said.rfind("[WARNING]")) << said;
  kovira::ConfigReadLock lock;
  EXPECT_EQ(kovira::config().address, "ул. Ленина, 1");
  EXPECT_EQ(kovira::config().devname, "KV\tA");  // a tab is XML text
}

// One row is one text typed into a zone's form and sent as the same field's
// number in a JSON body: both take it as the same value or both refuse it.
TEST_F(RefusedEdits, NumberTextReadsAlikeInAFormAndInJson) {
  struct Row {
    std::string text;
    const char* field;  // "scale" (an integer) or "calcost" (a float)
    std::optional<double> value;  // nothing: refused
  };
  const Row rows[] = {
      {"6", "scale", 6},           {" 7\t", "scale", 7},       {"8.0", "scale", 8},
      {"5e0", "scale", 5},         {"6.5", "scale", {}},       {"06", "scale", {}},
      {"+6", "scale", {}},         {"0x6", "scale", {}},       {"6x", "scale", {}},
      {std::string("7\0garbage", 9), "scale", {}},             {"", "scale", {}},
      {"-", "scale", {}},          {"2.5", "calcost", 2.5},    {"1e1", "calcost", 10},
      {"0x1p3", "calcost", {}},    {".5", "calcost", {}},      {"5.", "calcost", {}},
      {"nan", "calcost", {}},      {"Infinity", "calcost", {}}, {"1e39", "calcost", {}},
  };
  for (const Row& row : rows) {
    for (const bool json : {false, true}) {
      SCOPED_TRACE(std::string(json ? "json " : "form ") + row.field + "=[" + row.text + "]");
      const std::string before = state();
      const httptest::Reply r =
          json ? send({"POST", "/config/update", R"({"type": "zone", "zoneid": 3, ")" + std::string(row.field) +
                                                     "\": " + row.text + "}",
                       ""})
               : send({"POST", "/config/zon3/", std::string(row.field) + "=" + formValue(row.text), ""});
      if (!row.value) {
        EXPECT_EQ(r.statusLine, "HTTP/1.1 400 Bad Request");
        // A body that is not JSON at all is refused by the parser.
        const std::string named = std::string("error: ") + row.field + ": ";
        EXPECT_TRUE(r.body.rfind(named, 0) == 0 || (json && r.body.rfind("error: json parse: ", 0) == 0)) << r.body;
        EXPECT_EQ(state(), before);
        continue;
      }
      EXPECT_EQ(r.statusLine, json ? "HTTP/1.1 200 OK" : "HTTP/1.1 302 Found") << r.body;
      EXPECT_EQ(held("zone", 3, row.field).get<double>(), *row.value);
    }
  }
}

TEST_F(RefusedEdits, WrongTypesAndIdsThatAreNoIntegersAreRefusedNamingTheField) {
  const std::string angle = "/config/update?type=angle";
  const std::string cnnconf = "/config/update?type=cnnconf";
  expectRefused({
      {"POST", angle, R"({"adxl313": "0"})", "adxl313"},
      {"POST", angle, R"({"enabled": 1, "adxl313": "abc"})", "adxl313"},
      {"POST", angle, R"({"adxl313": null})", "adxl313"},
      {"POST", angle, R"({"adxl313": []})", "adxl313"},
      {"POST", angle, R"({"adxl313": {}})", "adxl313"},
      {"POST", angle, R"({"timenotify": "x"})", "timenotify"},
      {"POST", "/config/update", R"({"type": "zone", "zoneid": 3.9, "scale": 6})", "zoneid"},
      {"POST", "/config/update", R"({"type": "action", "actid": "2", "speed": 90})", "actid"},
      {"POST", "/config/update?type=global", R"({"webserver": "28468"})", "webserver"},
      // The recognition section whole or not at all, under its form's ranges.
      {"POST", cnnconf, R"({"classifier": 1, "maxproc": "abc"})", "maxproc"},
      {"POST", cnnconf, R"({"classifier": 1, "maxproc": -5})", "maxproc"},
      {"POST", cnnconf, R"({"classifier": 1, "maxproc": 0})", "maxproc"},
      {"POST", cnnconf, R"({"classifier": 1, "maxproc": 1e10})", "maxproc"},
      {"POST", cnnconf, R"({"classifier": 1, "maxproc": 4294967296})", "maxproc"},
      {"POST", cnnconf, R"({"classifier": "on", "maxproc": 8})", "classifier"},
      {"POST", "/debug/cnnproc/", "classifier=1&maxproc=65", "maxproc"},
      {"POST", "/debug/cnnproc/", "classifier=1x", "classifier"},
      {"POST", "/config/angle/", "enabled=1&wd=181", "wd"},
      {"POST", "/config/angle/", "enabled=1&timenotify=1.5", "timenotify"},
  });
  // The switch takes a number or a boolean, non-zero is on.
  const struct {
    const char* body;
    int adxlfix;
  } switches[] = {{R"({"adxl313": 1})", 1}, {R"({"adxl313": 0})", 0}, {R"({"adxl313": true})", 1},
                  {R"({"adxl313": false})", 0}, {R"({"adxl313": 7})", 1}};
  for (const auto& c : switches) {
    EXPECT_EQ(send({"POST", angle, c.body, ""}).statusLine, "HTTP/1.1 200 OK") << c.body;
    kovira::ConfigReadLock lock;
    EXPECT_EQ(angconf.adxlfix, static_cast<std::uint32_t>(c.adxlfix)) << c.body;
  }
  EXPECT_EQ(send({"POST", cnnconf, R"({"classifier": 1, "maxproc": 64})", ""}).statusLine, "HTTP/1.1 200 OK");
  EXPECT_EQ(cnn.classifier.load(), 1);
  EXPECT_EQ(cnn.maxproc.load(), 64);
}

TEST_F(RefusedEdits, TextsThroughTheUpdateEndpointLoseWhatXmlCannotCarry) {
  // Two C0 controls, U+FFFF and U+FFFE: stored as "ABC".
  const std::string dirty = "\x01" "A" "\x1f" "B" "\xEF\xBF\xBF" "C" "\xEF\xBF\xBE";
  const struct {
    const char* target;
    const char* type;  // and id of the record, 0 for sections
    int id;
    const char* key;
  } rows[] = {
      {"/config/update?type=zone", "zone", 3, "calpts"}, {"/config/update?type=zone", "zone", 3, "coords"},
      {"/config/update?type=action", "action", 2, "label"}, {"/config/update?type=action", "action", 2, "extra"},
      {"/config/update?type=action", "action", 2, "method"}, {"/config/update?type=action", "action", 2, "path"},
      {"/config/update?type=action", "action", 2, "script"}, {"/config/update?type=tolvek", "tolvek", 0, "label"},
      {"/config/update?type=global", "global", 0, "redpts"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(std::string(row.type) + " " + row.key);
    nlohmann::json body = {{row.key, dirty}};
    if (row.id != 0) body[std::string(row.type) == "zone" ? "zoneid" : "actid"] = row.id;
    StdoutCapture out;
    const httptest::Reply r = send({"POST", row.target, body.dump(), ""});
    const std::string said = out.text();
    EXPECT_EQ(r.statusLine, "HTTP/1.1 200 OK") << r.body;
    EXPECT_EQ(held(row.type, row.id, row.key), "ABC");
    EXPECT_NE(said.find(std::string(": ") + row.key + ": 4 characters XML cannot carry were dropped\n"),
              std::string::npos)
        << said;
  }
}

}  // namespace
