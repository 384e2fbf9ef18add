// The real kovira binary: command line, banner, signals, log file.
#include "support/process.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <ctime>

namespace {

using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::binaryPath;
namespace bfs = boost::filesystem;

const std::string kBanner = "\nWelcome to Kovira v0.0.2\n";
const std::string kUsage =
    "Usage: kovira [options] ...\n"
    "Options:\n"
    "    --cfg FILE, --cfg=FILE        Specify the configuration file\n"
    "    -h, --help                            Show this message\n";

// A copy of the example configuration: a hang-up reload rewrites the file in
// the store's layout, and the source tree must stay as checked out.
std::string exampleConfig() {
  const bfs::path dir = bfs::path(KOVIRA_BINARY_DIR) / "test-out" / "process";
  bfs::create_directories(dir);
  const bfs::path copy = dir / "minimal.json";
  bfs::copy_file(bfs::path(KOVIRA_SOURCE_DIR) / "examples/minimal.json", copy, bfs::copy_options::overwrite_existing);
  return copy.string();
}

TEST(Process, HelpPrintsUsageAndExitsOne) {
  for (const char* flag : {"-h", "--help"}) {
    ChildProcess p({binaryPath("kovira"), flag});
    EXPECT_EQ(p.wait(10s), 1);
    EXPECT_EQ(p.out(), kBanner + kUsage);
  }
  ChildProcess late({binaryPath("kovira"), "--cfg", exampleConfig(), "--help"});
  EXPECT_EQ(late.wait(10s), 1);
  EXPECT_EQ(late.out(), kBanner + kUsage);
}

TEST(Process, CommandLineErrorsExitOneWithTheUsage) {
  struct Case {
    std::vector<std::string> args;
    std::string line;
  } cases[] = {
      {{"--cfg", "/nonexistent"}, "[CRITICAL] --cfg : /nonexistent - invalid argument"},
      {{"--cfg=/nonexistent"}, "[CRITICAL] --cfg : /nonexistent - invalid argument"},
      {{"-x"}, "[CRITICAL] -x - unknown option"},
      {{"--cfg"}, "[CRITICAL] --cfg - argument required"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> argv{binaryPath("kovira")};
    argv.insert(argv.end(), c.args.begin(), c.args.end());
    ChildProcess q(argv);
    EXPECT_EQ(q.wait(10s), 1);
    EXPECT_EQ(q.out(), kBanner + c.line + "\n\n" + kUsage + "\n");
  }
}

TEST(Process, WithoutConfigurationStartUpFails) {
  ChildProcess p({binaryPath("kovira")});
  EXPECT_EQ(p.wait(10s), 1);
  EXPECT_NE(p.out().find("[FAILURE] cannot open configuration file ()"), std::string::npos);
}

TEST(Process, RunsUntilSigintAndSurvivesSighup) {
  const bfs::path logDir = bfs::path(KOVIRA_BINARY_DIR) / "tmp";
  const std::time_t started = std::time(nullptr);

  ChildProcess p({binaryPath("kovira"), "stray", "--cfg", exampleConfig()});
  ASSERT_TRUE(p.waitForOutput("Press \"Ctrl-C\" to quit...\n\n", 10s)) << p.out();
  // Without server addresses in /etc/kovira.conf the backup, telemetry and
  // upload modules say once that nothing is sent.
  EXPECT_EQ(p.out(), kBanner + "[WARNING] stray - unknown argument\n" +
                         "[DBG] no \"backup\" server in /etc/kovira.conf: configuration backups are not sent\n" +
                         "[DBG] no \"telemetry\" server in /etc/kovira.conf: telemetry is not posted\n" +
                         "[DBG] no \"upload\" server in /etc/kovira.conf: evidence is stored, not uploaded\n" +
                         "\nPress \"Ctrl-C\" to quit...\n\n");

  p.signal(SIGHUP);
  ASSERT_TRUE(p.waitForOutput("[CFG] reload config\n", 5s));
  EXPECT_TRUE(p.running());

  const auto t0 = std::chrono::steady_clock::now();
  p.signal(SIGINT);
  EXPECT_EQ(p.wait(2500ms), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 2500ms);
  const std::string out = p.out();
  EXPECT_NE(out.find("\nQuit program...\n"), std::string::npos);
  EXPECT_NE(out.find("[DBG] ResQueue is waiting for worker N 4 to be joined\n"), std::string::npos);

  // The log lies in build/tmp ("../tmp" beside build/bin) and was written now.
  int fresh = 0;
  for (const auto& e : bfs::directory_iterator(logDir))
    if (e.path().filename().string().rfind("RtspClient_", 0) == 0 && bfs::last_write_time(e.path()) >= started)
      ++fresh;
  EXPECT_GE(fresh, 1);
}

}  // namespace
