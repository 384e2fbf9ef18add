// The modem: USSD packing, its state handed to telemetry, the AT line on a
// pseudo-terminal and the page.
#include "devices/heartbeat.h"
#include "devices/modem.h"
#include "http/server.h"
#include "support/page_call.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <fstream>
#include <string>

namespace {

constexpr std::uint32_t kNow = 1800000000;

TEST(Modem, Encode7bitPacksSeptets) {
  const std::pair<std::string, std::string> cases[] = {
      {"", "00"},
      {"*100#", "AA180C3602"},
      {"*102*11#", "AA184CA68AC546"},  // eight septets fill seven octets exactly
      {"*100*1#", "AA180CA68A8D1A"},   // seven spare bits carry CR, not '@'
      {"A", "41"},
  };
  for (const auto& [text, hex] : cases) {
    std::string s = text;
    encode_7bit(s);
    EXPECT_EQ(s, hex) << text;
  }
}

std::string state(std::int64_t age, const std::string& more = "") {
  return R"({"duration": 3600, "signal": -71, "timestamp": )" + std::to_string(kNow - age) + more + "}";
}

TEST(Modem, StateReachesTelemetryOnlyWhenFreshAndWellTyped) {
  struct Case {
    const char* name;
    std::string text;
    bool used;
  };
  const Case cases[] = {
      {"fresh", state(200, R"(, "name": " MegaNet ", "imsi": "12345", "imei": "123456", "money": 12.5)"), true},
      {"stale", state(400), false},
      {"future", state(-5), false},
      {"timestamp as text", R"({"duration": 1, "signal": 1, "timestamp": "1800000000"})", false},
      {"array", "[1,2]", false},
      {"not json", "{oops", false},
      {"no signal", R"({"duration": 1, "timestamp": 1800000000})", false},
      {"odd value types", state(10, R"(, "name": 42, "money": "lots")"), true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Heartbeat store;
    EXPECT_EQ(modem::report(c.text, kNow, store), c.used);
    std::map<std::string, MultiValZ> got;
    for (const auto& e : store.extras()) got[e.key] = e.value;
    if (!c.used) {
      EXPECT_TRUE(got.empty());
      continue;
    }
    EXPECT_EQ(got["signal"], MultiValZ(-71));
    EXPECT_EQ(got["mobtime"], MultiValZ(std::uint64_t{3600}));
    if (std::string(c.name) == "fresh") {
      EXPECT_EQ(got["mobname"], MultiValZ("MegaNet"));
      EXPECT_EQ(got["imei"], MultiValZ("123456"));
      EXPECT_EQ(got["money"], MultiValZ(12.5));
      EXPECT_FALSE(got.count("imsi"));  // five characters: a placeholder
    } else {
      EXPECT_FALSE(got.count("mobname"));
      EXPECT_FALSE(got.count("money"));
    }
  }
}

// A raw pseudo-terminal standing for the modem's AT port.
class ModemPort : public ::testing::Test {
 protected:
  void SetUp() override {
    master = posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    modemttydev = ptsname(master);
    // Kept open so the line keeps its raw settings between our writes.
    slave = ::open(modemttydev.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(slave, 0);
    termios tio{};
    tcgetattr(slave, &tio);
    cfmakeraw(&tio);
    tcsetattr(slave, TCSANOW, &tio);
    modem::statePath = folder.file("modem.json");
    server.subscribe("^/debug/modem/$", http_monitor_modem);
  }
  void TearDown() override {
    ::close(slave);
    ::close(master);
  }
  // What the port received up to a line feed (or 5 s of silence).
  std::string line() {
    std::string got;
    char c = 0;
    pollfd p{master, POLLIN, 0};
    while (got.empty() || got.back() != '\n') {
      if (::poll(&p, 1, 5000) <= 0 || ::read(master, &c, 1) != 1) break;
      got.push_back(c);
    }
    return got;
  }
  int master = -1, slave = -1;
  evtest::ScratchDir folder{"modem"};
  HttpServer server;
};

TEST_F(ModemPort, PostedUssdGoesOutAsOneAtLine) {
  const auto r = testsupport::callPage(server, "POST", "/debug/modem/", "ussd=*100%23");
  EXPECT_EQ(r.status, 302);
  EXPECT_EQ(r.headers.at("Location"), "/debug/modem/");
  EXPECT_EQ(line(), "AT+CUSD=1,\"AA180C3602\",15\n");
  for (const std::string& refused : {"ussd=" + std::string(10240, '1'), std::string("modres=1&ussd=%2A%D0%91%23")}) {
    const auto bad = testsupport::callPage(server, "POST", "/debug/modem/", refused);
    EXPECT_EQ(bad.status, 400);
    EXPECT_EQ(bad.body.rfind("error: ussd: ", 0), 0u) << bad.body;
  }
  EXPECT_TRUE(send_ussd(""));
  EXPECT_EQ(line(), "AT+CUSD=1,\"00\",15\n");  // nothing of the refused request came first
}

TEST_F(ModemPort, PageShowsTheStateEscapedOrSaysWhyNot) {
  EXPECT_NE(testsupport::callPage(server, "GET", "/debug/modem/").body.find("Модем не установлен"), std::string::npos);
  std::ofstream(modem::statePath) << "[1]";
  EXPECT_NE(testsupport::callPage(server, "GET", "/debug/modem/").body.find("Невозможно считать"), std::string::npos);
  std::ofstream(modem::statePath) << R"({"duration": 5, "timestamp": 1, "<script>": "<b>x</b>", "time": 3})";
  const auto r = testsupport::callPage(server, "GET", "/debug/modem/");
  EXPECT_EQ(r.status, 200);
  EXPECT_EQ(r.body.find("<script>"), std::string::npos);
  EXPECT_NE(r.body.find("&lt;script&gt;"), std::string::npos);
  EXPECT_EQ(r.body.find("<b>time</b>"), std::string::npos);  // inside "duration|timestamp": hidden
  EXPECT_NE(r.body.find("name=modres"), std::string::npos);
}

}  // namespace
