// The unit's program with a real configuration file: SIGHUP reload, the
// rewrite of a hand-edited file in the store's layout.
#include "tests/config/config_fixture.h"
#include "tests/support/ports.h"
#include "tests/support/process.h"
#include "tests/support/text.h"
#include "tests/support/wait.h"

#include <csignal>
#include <chrono>

namespace kovira {
namespace {

using namespace std::chrono_literals;
using testing::readFile;
using testsupport::ChildProcess;

std::string withPort(std::string text, int port) {
  const std::string mark = "@PORT@";
  text.replace(text.find(mark), mark.size(), std::to_string(port));
  return text;
}

class ConfigE2E : public testing::ConfigTest {};

TEST_F(ConfigE2E, HangUpRewritesAHandEditedFileInTheStoreLayout) {
  const int port = testsupport::unusedLoopbackPort();
  ASSERT_GT(port, 0);
  const std::string cfg = file("kovira.json", withPort(readFile(testing::dataDir() / "e2e_input.json"), port));
  const std::string golden = withPort(readFile(testing::dataDir() / "e2e_golden.json"), port);
  ChildProcess program({testsupport::binaryPath("kovira"), "--cfg", cfg});
  ASSERT_TRUE(program.waitForOutput("Press \"Ctrl-C\" to quit...", 10s)) << program.out();
  EXPECT_NE(readFile(cfg), golden);  // started without rewriting anything

  program.signal(SIGHUP);
  ASSERT_TRUE(testsupport::waitUntil([&] { return readFile(cfg) == golden; }, 10s))
      << readFile(cfg);
  ASSERT_TRUE(program.waitForOutput("[CFG] update (save) config", 10s));
  const std::string out = program.out();
  EXPECT_NE(out.find("[CFG] reload config\n[CFG] update (save) config, hash: " +
                     std::to_string(std::hash<std::string>{}(golden)) + "\n"),
            std::string::npos)
      << out;

  program.signal(SIGINT);
  EXPECT_EQ(program.wait(10s), 0);
  EXPECT_EQ(readFile(cfg), golden);
}

}  // namespace
}  // namespace kovira
