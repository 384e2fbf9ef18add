// The real kovira binary: command line, banner, signals, log file (also
// through a flood of requests after a start with the clock at 1970).
#include "support/process.h"
#include "tests/support/flood.h"
#include "tests/support/ports.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

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

// The clock library that fakes the unit's clock: the board's real clock
// cannot be set back for one process.
std::string faketimeLibrary() {
  for (const auto& lib : bfs::directory_iterator("/usr/lib")) {
    const bfs::path candidate = lib.path() / "faketime" / "libfaketimeMT.so.1";
    if (bfs::exists(candidate)) return candidate.string();
  }
  return {};
}

// A unit without a battery clock starts at 1970 (its first log file is named
// so) and the time daemon sets the clock a moment later; earlier runs' files,
// at the rotation size, are stamped later than anything this run writes (as
// a board whose clock is behind finds them). A flood of requests rotates the
// log twice: this run's three files all stay, its 1970 file among them, and
// the earlier runs give up their oldest files by run number.
TEST(Process, ARunStartedAt1970KeepsItsLogThroughAFlood) {
  namespace fs = std::filesystem;
  const std::string faketime = faketimeLibrary();
  ASSERT_FALSE(faketime.empty()) << "libfaketime (package faketime) is needed";
  const fs::path root = fs::temp_directory_path() / ("kovira-clock1970-" + std::to_string(::getpid()));
  fs::remove_all(root);
  fs::create_directories(root / "bin");
  fs::create_directories(root / "tmp");
  fs::create_symlink(binaryPath("kovira"), root / "bin" / "kovira");  // its log goes to root/tmp
  const auto place = [&](const std::string& name, fs::file_time_type mtime) {
    std::ofstream(root / "tmp" / name).close();
    fs::resize_file(root / "tmp" / name, 30ull << 20);  // sparse
    fs::last_write_time(root / "tmp" / name, mtime);
  };
  const auto yearAhead = fs::file_time_type::clock::now() + std::chrono::hours(24 * 365);
  const std::string runOne = "RtspClient_run000001_1970-01-01_00-00-03.0.log";
  for (int i = 0; i < 3; ++i)
    place("RtspClient_2020-01-01_00-00-00." + std::to_string(i) + ".log", yearAhead + std::chrono::seconds(i));
  place(runOne, fs::file_time_type::clock::from_sys(std::chrono::system_clock::time_point{}));
  const int port = testsupport::unusedLoopbackPort();
  std::ofstream(root / "cfg.json") << R"([{"type": "global", "webserver": )" << port << "}]";
  std::ofstream(root / "clock") << "@1970-01-01 00:00:05\n";

  // The console (a copy of every record) goes nowhere; the clock file is
  // read again every second, the steady clock left alone.
  ChildProcess unit({"/bin/bash", "-c",
                     "LD_PRELOAD=\"$2\" FAKETIME_TIMESTAMP_FILE=\"$3\" FAKETIME_CACHE_DURATION=1 DONT_FAKE_MONOTONIC=1 "
                     "exec \"$0\" --cfg \"$1\" 2>/dev/null",
                     (root / "bin" / "kovira").string(), (root / "cfg.json").string(), faketime,
                     (root / "clock").string()});
  ASSERT_TRUE(unit.waitForOutput("Press \"Ctrl-C\" to quit...\n", 20s)) << unit.out();
  const auto ours = [&] {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(root / "tmp"))
      if (e.path().filename().string().rfind("RtspClient_run000002_", 0) == 0)
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());  // in the order of opening: the clock only went forward
    return names;
  };
  ASSERT_EQ(ours().size(), 1u);
  const std::string first = ours()[0];
  EXPECT_EQ(first.find("RtspClient_run000002_1970-01-01_"), 0u) << first;

  // The time daemon: until the unit's records carry the set clock.
  std::ofstream(root / "clock") << "+0\n";
  const auto lastLine = [&] {
    std::ifstream in(root / "tmp" / first);
    std::string line, last;
    while (std::getline(in, line)) last = line;
    return last;
  };
  const auto synced = std::chrono::steady_clock::now() + 20s;
  while (lastLine().rfind("[1970-", 0) == 0 && std::chrono::steady_clock::now() < synced) {
    testsupport::requestFrom(0, port, "GET /clock HTTP/1.1\r\nHost: unit\r\n\r\n");
    std::this_thread::sleep_for(100ms);  // the clock file is read once a second
  }
  ASSERT_EQ(lastLine().rfind("[20", 0), 0u) << lastLine();

  // The flood, until this run's third file opens (about 60 MiB of records).
  const std::string text = "GET /flood/" + std::string(960, 'p') + " HTTP/1.1\r\nHost: unit\r\n\r\n";
  std::atomic<bool> third{false};
  std::atomic<int> sent{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < 8; ++c)
    clients.emplace_back([&, c] {
      for (int i = 1; !third && sent++ < 200000; ++i) {
        testsupport::requestFrom(c, port, text);
        if (i % 512 == 0 && ours().size() >= 3) third = true;
      }
    });
  for (auto& t : clients) t.join();
  unit.signal(SIGINT);
  EXPECT_EQ(unit.wait(10s), 0);
  ASSERT_TRUE(third) << sent << " requests";

  const std::vector<std::string> kept = ours();
  ASSERT_EQ(kept.size(), 3u);
  EXPECT_EQ(kept[0], first);  // the file named at 1970
  for (const std::string& name : {kept[1], kept[2]}) EXPECT_EQ(name.find("_1970-"), std::string::npos) << name;
  std::vector<std::string> earlier;
  for (const auto& e : fs::directory_iterator(root / "tmp"))
    if (e.path().filename().string().rfind("RtspClient_run000002_", 0) != 0)
      earlier.push_back(e.path().filename().string());
  std::sort(earlier.begin(), earlier.end());
  EXPECT_EQ(earlier, (std::vector<std::string>{"RtspClient_2020-01-01_00-00-00.2.log", runOne}));
  fs::remove_all(root);
}

}  // namespace
