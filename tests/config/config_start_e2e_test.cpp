// The unit's program on configuration files: a hand-edited file rewritten in
// the store's layout at SIGHUP, numbers that do not fit and bytes that are
// not UTF-8 (it starts, saves, starts again), a second edit right after
// SIGHUP (kept), a mistyped module section (the "[FAILURE] " line and
// status 1, no abort).
#include "tests/config/config_fixture.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/wait.h"

#include <nlohmann/json.hpp>

#include <signal.h>

#include <chrono>
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

TEST_F(ConfigStartE2E, MistypedModuleSectionEndsTheUnitWithTheFailureLineAndStatus1) {
  testing::writeFile(path(), "[{\"type\": \"cnnconf\", \"classifier\": \"x\"}, " + global("") + "]");
  auto unit = start();
  EXPECT_EQ(unit->wait(20s), 1) << unit->out() << unit->err();
  EXPECT_NE(unit->out().find("[FAILURE] " + path() + ": [json.exception.type_error.302] type must be number"),
            std::string::npos)
      << unit->out();
}

}  // namespace
}  // namespace kovira
