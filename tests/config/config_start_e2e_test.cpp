// The unit's program on configuration files: a hand-edited file rewritten in
// the store's layout at SIGHUP, numbers that do not fit and bytes that are
// not UTF-8 (it starts, saves, starts again), a second edit right after
// SIGHUP (kept), mistyped values at start (kept at their defaults with a
// warning each), a hand edit that a page edit never overwrites, a module
// value refused at SIGHUP (the file left as it is), a start that leaves the
// file alone, page edits made
// while reloads come in (all kept), and a camera whose frame store the machine cannot give (the unit runs without it).
#include "tests/config/config_fixture.h"
#include "tests/http/http_test_client.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

#include <nlohmann/json.hpp>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

namespace kovira {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testsupport::ChildProcess;

const char* const kReady = "Press \"Ctrl-C\" to quit...";

// How many ticks after a reload have decided about rewriting the file.
int settled(const std::string& out) {
  int n = 0;
  for (const char* line : {"[CFG] update (save) config", "changed since it was read, not rewritten"})
    for (std::size_t at = out.find(line); at != std::string::npos; at = out.find(line, at + 1)) ++n;
  return n;
}

// The saved file's section of one type (other modules write theirs too).
nlohmann::json sectionOf(const std::string& text, const std::string& type) {
  for (const auto& s : nlohmann::json::parse(text))
    if (s.value("type", "") == type) return s;
  return {};
}

class ConfigStartE2E : public testing::ConfigTest {
 protected:
  std::string path() const { return (dir / "kovira.json").string(); }
  // The global section with a free port for the web server.
  std::string global(const std::string& more) {
    return "{\"type\": \"global\", \"webserver\": " + std::to_string(testsupport::unusedLoopbackPort()) + more + "}";
  }
  std::unique_ptr<ChildProcess> start() {
    return std::make_unique<ChildProcess>(
        std::vector<std::string>{testsupport::binaryPath("kovira"), "--cfg", path()});
  }
  // The unit under an address-space limit of `kib` KiB (ulimit -v).
  std::unique_ptr<ChildProcess> startLimited(long kib) {
    return std::make_unique<ChildProcess>(std::vector<std::string>{
        "/bin/bash", "-c", "ulimit -v " + std::to_string(kib) + " && exec \"$0\" --cfg \"$1\"",
        testsupport::binaryPath("kovira"), path()});
  }
  // A POST to the unit's pages; the status line and body.
  static httptest::Reply post(int port, const std::string& target, const std::string& body, bool form = false) {
    const std::string type = form ? "Content-Type: application/x-www-form-urlencoded\r\n" : "";
    return httptest::parseReply(httptest::roundTrip(port, "POST " + target + " HTTP/1.0\r\n" + type + "Content-Length: " +
                                                              std::to_string(body.size()) + "\r\n\r\n" + body));
  }
  // Polls (the program offers nothing to wait on) until pred holds.
  template <class Pred>
  static bool pollUntil(Pred pred, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(20ms);
    }
    return true;
  }
};

using ConfigE2E = ConfigStartE2E;

TEST_F(ConfigE2E, HangUpRewritesAHandEditedFileInTheStoreLayout) {
  const auto withPort = [port = std::to_string(testsupport::unusedLoopbackPort())](std::string text) {
    return text.replace(text.find("@PORT@"), 6, port);
  };
  testing::writeFile(path(), withPort(readFile(testing::dataDir() / "e2e_input.json")));
  const std::string golden = withPort(readFile(testing::dataDir() / "e2e_golden.json"));
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
  EXPECT_NE(readFile(path()), golden);  // started without rewriting anything
  unit->signal(SIGHUP);
  ASSERT_TRUE(testsupport::waitUntil([&] { return readFile(path()) == golden; }, 10s)) << readFile(path());
  ASSERT_TRUE(unit->waitForOutput("[CFG] update (save) config", 10s));
  EXPECT_NE(unit->out().find("[CFG] reload config\n[CFG] update (save) config, hash: " +
                             std::to_string(std::hash<std::string>{}(golden)) + "\n"),
            std::string::npos)
      << unit->out();
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
  EXPECT_EQ(readFile(path()), golden);
}

TEST_F(ConfigStartE2E, UnfitNumberAndForeignBytesStartSaveAndStartAgain) {
  const std::string zone = R"({"type": "zone", "zoneid": 1, "camid": 1, "scale": 6, "coords": "0,0,99,0,99,99",)";
  const std::string bad = "[" + zone + " \"calcost\": 1e39},\n" + global(", \"devname\": \"KV-\xff\"") + "]";
  testing::writeFile(path(), bad);
  {
    auto unit = start();
    ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
    EXPECT_NE(unit->out().find("calcost=1e+39 does not fit its field, kept 0.0"), std::string::npos);
    // A reload of the same file refuses the value again and keeps the file.
    unit->signal(SIGHUP);
    ASSERT_TRUE(unit->waitForOutput("was not read cleanly, it is left as it is", 5s)) << unit->out();
    // The operator mends the number: the file is rewritten, with U+FFFD.
    std::string mended = bad;
    mended.replace(mended.find("1e39"), 4, "12.5");
    testing::writeFile(path(), mended);
    unit->signal(SIGHUP);
    EXPECT_TRUE(pollUntil([&] { return readFile(path()).find("KV-\xEF\xBF\xBD") != std::string::npos; }, 5s))
        << readFile(path());
    unit->signal(SIGINT);
    EXPECT_EQ(unit->wait(15s), 0);
  }
  const nlohmann::json saved = nlohmann::json::parse(readFile(path()));
  EXPECT_EQ(saved[0]["calcost"], 12.5);
  auto again = start();
  ASSERT_TRUE(again->waitForOutput(kReady, 20s)) << again->out();
  again->signal(SIGINT);
  EXPECT_EQ(again->wait(15s), 0);
}

TEST_F(ConfigStartE2E, EditMadeRightAfterHangUpIsKept) {
  testing::writeFile(path(), "[" + global(", \"address\": \"first\"") + "]");
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
  for (int round = 1; round <= 3; ++round) {
    SCOPED_TRACE(round);
    const std::string port = sectionOf(readFile(path()), "global")["webserver"].dump();
    testing::writeFile(path(), "[ {\"type\": \"global\", \"webserver\": " + port + ", \"address\": \"edit\"} ]");
    unit->signal(SIGHUP);
    std::this_thread::sleep_for(200ms);
    const std::string second = "[ {\"type\": \"global\", \"webserver\": " + port + ", \"address\": \"second " +
                               std::to_string(round) + "\"} ]";
    testing::writeFile(path(), second);
    // The tick after the reload either rewrites the file or finds it
    // changed; one line says which.
    ASSERT_TRUE(pollUntil([&] { return settled(unit->out()) >= round; }, 10s)) << unit->out();
    EXPECT_EQ(sectionOf(readFile(path()), "global")["address"], "second " + std::to_string(round));
  }
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
}

// Values of the wrong type at start keep their defaults with one warning
// each, naming the field; switches read any integer, non-zero is on, and
// keep the integer they were given.
TEST_F(ConfigStartE2E, MistypedValuesAtStartKeepTheirDefaultsAndSwitchesReadAnyInteger) {
  const int port = testsupport::unusedLoopbackPort();
  testing::writeFile(path(), R"([{"type": "cnnconf", "classifier": "x"},
{"type": "angle", "normal": "x", "enabled": 2, "adxl313": "1"},
{"type": "camera", "camid": 5, "bufsize": 1, "source": "file", "url": "none.264"},
{"type": "zone", "zoneid": 1, "camid": 5, "enabled": 2, "scale": 6, "coords": "0,0,99,0,99,99"},
{"type": "zone", "zoneid": 2.5, "camid": 5, "scale": 6, "coords": "0,0,99,0,99,99"},
{"type": "global", "timezone": "3", "webserver": )" + std::to_string(port) + "}]");
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out() << unit->err();
  const std::string out = unit->out();
  for (const char* line : {"[WARNING] cnnconf: classifier=\"x\" is not a number, kept 0\n",
                           "[WARNING] angle: normal=\"x\" is not a number, kept 0.0\n",
                           "[WARNING] angle: adxl313=\"1\" is not a number, kept 0\n",
                           "[WARNING] global: timezone=\"3\" is not a number, kept 0\n",
                           "[WARNING] wrong zone config, skip [id=0]\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << "\n" << out;
  const nlohmann::json whole =
      nlohmann::json::parse(httptest::parseReply(httptest::roundTrip(port, "GET /debug/config.json HTTP/1.0\r\n\r\n")).body);
  EXPECT_EQ(sectionOf(whole.dump(), "angle")["enabled"], 2);
  EXPECT_EQ(sectionOf(whole.dump(), "zone")["enabled"], 2);
  const std::string zonePage =
      httptest::parseReply(httptest::roundTrip(port, "GET /config/zon1/ HTTP/1.0\r\n\r\n")).body;
  EXPECT_NE(zonePage.find("name=enabled value=1 CHECKED>"), std::string::npos) << zonePage;
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
}

// The operator's file wins over page edits at save time as at a reload:
// a hand edit followed by a page edit keeps the hand file with a warning;
// the SIGHUP after reads it.
TEST_F(ConfigStartE2E, HandEditIsNeverOverwrittenByAPageEdit) {
  const int port = testsupport::unusedLoopbackPort();
  const std::string zone = R"({"type": "zone", "zoneid": 1, "camid": 1, "scale": 6, "coords": "0,0,99,0,99,99"})";
  const auto file = [&](const std::string& address) {
    return "[" + zone + ",\n" + R"({"type": "global", "address": ")" + address + R"(", "webserver": )" +
           std::to_string(port) + "}]";
  };
  testing::writeFile(path(), file("first"));
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
  const std::string hand = file("HAND-EDIT");
  testing::writeFile(path(), hand);
  EXPECT_NE(post(port, "/config/zon1/", "enabled=1&scale=7", true).statusLine.find(" 302 "), std::string::npos);
  ASSERT_TRUE(unit->waitForOutput("page edits not saved: zone 1\n", 10s)) << unit->out();
  EXPECT_NE(unit->out().find("[WARNING] configuration file (" + path() + ") was edited by hand"), std::string::npos);
  EXPECT_EQ(readFile(path()), hand);
  unit->signal(SIGHUP);
  // The reload reads the hand file; the tick after it rewrites it in the
  // store's layout.
  ASSERT_TRUE(pollUntil([&] { return readFile(path()) != hand; }, 10s)) << unit->out();
  EXPECT_EQ(sectionOf(readFile(path()), "global")["address"], "HAND-EDIT");
  const std::string whole =
      httptest::parseReply(httptest::roundTrip(port, "GET /debug/config.json HTTP/1.0\r\n\r\n")).body;
  EXPECT_EQ(sectionOf(whole, "global")["address"], "HAND-EDIT");
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
}

// A module value the unit refuses in a hand-edited file, read at SIGHUP:
// the operator's file is left byte for byte, as for a global value.
TEST_F(ConfigStartE2E, ModuleValueRefusedAtHangUpLeavesTheFileAsItIs) {
  const std::string global = this->global("");
  const struct {
    const char* section;
    const char* warning;
  } rows[] = {
      {R"({"type": "usbcam", "exposure": "abc"})", "[WARNING] usbcam: exposure=\"abc\" is not usable (not a number)"},
      {R"({"type": "angle", "timenotify": "x"})", "[WARNING] angle: timenotify=\"x\" is not a number"},
      {R"({"type": "cnnconf", "maxproc": 65})", "[WARNING] cnnconf: maxproc=65 out of range 1..64"},
  };
  testing::writeFile(path(), "[" + global + "]");
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
  int reloads = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(row.section);
    testing::writeFile(path(), std::string("[") + row.section + ",\n" + global + "]");
    const std::string bytes = readFile(path());
    const auto written = std::filesystem::last_write_time(path());
    unit->signal(SIGHUP);
    ++reloads;
    ASSERT_TRUE(pollUntil(
        [&] {
          const std::string out = unit->out();
          int n = 0;
          for (std::size_t at = out.find("it is left as it is"); at != std::string::npos;
               at = out.find("it is left as it is", at + 1))
            ++n;
          return n >= reloads;
        },
        10s))
        << unit->out();
    EXPECT_NE(unit->out().find(row.warning), std::string::npos) << unit->out();
    // Nothing to wait on: the absence of a save at the ticks after the
    // reload (a save would come at the first of them).
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(readFile(path()), bytes);
    EXPECT_EQ(std::filesystem::last_write_time(path()), written);
  }
  EXPECT_EQ(unit->out().find("[CFG] update (save) config"), std::string::npos) << unit->out();
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
}

TEST_F(ConfigStartE2E, StartLeavesAFileWithAModuleSectionAlone) {
  testing::writeFile(path(), "[{\"type\": \"cnnconf\", \"classifier\": 1},\n" + global("") + "]");
  const std::string bytes = readFile(path());
  const auto written = std::filesystem::last_write_time(path());
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
  // Nothing to wait on: the absence of a save over several ticks.
  std::this_thread::sleep_for(3500ms);
  EXPECT_EQ(readFile(path()), bytes);
  EXPECT_EQ(std::filesystem::last_write_time(path()), written);
  EXPECT_EQ(unit->out().find("[CFG] update (save) config"), std::string::npos) << unit->out();
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
}

TEST_F(ConfigStartE2E, EditsMadeWhileReloadsComeInAreAllSaved) {
  const int port = testsupport::unusedLoopbackPort();
  // 8 clients x 30 edits, each to its own zone of the file (scale 5 -> 6),
  // while SIGHUP comes every 0.5 s: a reload that read the file over an edit
  // not yet saved would put scale 5 back.
  constexpr int kClients = 8;
  constexpr int kEdits = 30;
  const auto zone = [](int zoneid, int scale) {
    return "{\"type\": \"zone\", \"zoneid\": " + std::to_string(zoneid) + ", \"camid\": 1, \"scale\": " +
           std::to_string(scale) + ", \"coords\": \"0,0,99,0,99,99\"}";
  };
  std::string file = "[";
  for (int z = 1; z <= kClients * kEdits; ++z) file += zone(z, 5) + ",\n";
  testing::writeFile(path(), file + "{\"type\": \"global\", \"webserver\": " + std::to_string(port) + "}]");
  auto unit = start();
  ASSERT_TRUE(unit->waitForOutput(kReady, 20s)) << unit->out();
  std::atomic<bool> editing{true};
  std::thread hangUps([&] {
    while (editing) {
      unit->signal(SIGHUP);
      std::this_thread::sleep_for(500ms);
    }
  });
  std::atomic<int> refused{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c) {
    clients.emplace_back([&, c] {
      for (int k = 1; k <= kEdits; ++k)
        if (post(port, "/config/update", zone(c * kEdits + k, 6)).statusLine.find(" 200 ") == std::string::npos)
          ++refused;
    });
  }
  for (std::thread& t : clients) t.join();
  editing = false;
  hangUps.join();
  EXPECT_EQ(refused, 0);
  const auto saved = [&] {
    int edited = 0;
    const nlohmann::json parsed = nlohmann::json::parse(readFile(path()), nullptr, false);
    if (parsed.is_array())
      for (const auto& s : parsed) edited += s.value("type", "") == "zone" && s.value("scale", 0) == 6;
    return edited;
  };
  EXPECT_TRUE(pollUntil([&] { return saved() == kClients * kEdits; }, 10s)) << saved();
  EXPECT_EQ(unit->out().find("discarded"), std::string::npos) << unit->out();
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
}

TEST_F(ConfigStartE2E, CameraWhoseStoreCannotBeAllocatedIsNotStartedAndTheUnitRuns) {
  const int port = testsupport::unusedLoopbackPort();
  // A camera section saved earlier whose store the limited process cannot map.
  const std::string file = "[{\"type\": \"global\", \"webserver\": " + std::to_string(port) +
                           R"(}, {"type": "camera", "camid": 5, "bufsize": 4096, "source": "file", "url": "none.264"}])";
  testing::writeFile(path(), file);
  auto unit = startLimited(3000000);
  ASSERT_TRUE(unit->waitForOutput(kReady, 30s)) << unit->out() << unit->err();
  EXPECT_NE(unit->out().find("[ERR] camera 5: frame store of 4096 MiB cannot be allocated, camera not started\n"),
            std::string::npos)
      << unit->out();
  const auto page = httptest::parseReply(httptest::roundTrip(port, "GET /debug/cameras/ HTTP/1.0\r\n\r\n"));
  EXPECT_NE(page.statusLine.find(" 200 "), std::string::npos);
  EXPECT_NE(page.body.find("frame store of 4096 MiB cannot be allocated, camera not started"), std::string::npos)
      << page.body;
  unit->signal(SIGINT);
  EXPECT_EQ(unit->wait(15s), 0);
  EXPECT_EQ(readFile(path()), file);  // the section is kept as written
}

}  // namespace
}  // namespace kovira
