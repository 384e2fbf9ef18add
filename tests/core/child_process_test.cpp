// Shell commands in process groups of their own: output and status, the
// limit, leftovers of the command, and killAll() ending everything at once.
#include "core/child_process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <future>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using End = CommandResult::End;
namespace fs = std::filesystem;

// A scratch folder for pid files, removed with the test.
struct Scratch {
  Scratch() {
    char pattern[] = "/tmp/kovira-child-XXXXXX";
    path = ::mkdtemp(pattern) ? pattern : "";
  }
  ~Scratch() { fs::remove_all(path); }
  fs::path path;
};

// A process that exists and is not a zombie waiting for its reaper.
bool alive(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return false;
  const auto close = line.rfind(')');
  return close != std::string::npos && close + 2 < line.size() && line[close + 2] != 'Z';
}

// SIGKILL is delivered when the process is next scheduled: a moment after
// kill() returned.
bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
  return testsupport::waitUntil([pid] { return !alive(pid); }, limit);
}

pid_t pidIn(const fs::path& file) {
  pid_t pid = -1;
  std::ifstream(file) >> pid;
  return pid;
}

struct Case {
  const char* name;
  std::string command;
  std::chrono::milliseconds limit;
  End end;
  std::string output;
  int status;
};

void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class ChildProcessRun : public testing::TestWithParam<Case> {};

TEST_P(ChildProcessRun, EndsAsExpected) {
  const Case& c = GetParam();
  ChildProcesses children;
  const auto t0 = Clock::now();
  const CommandResult r = children.run(c.command, c.limit);
  const auto took = Clock::now() - t0;
  EXPECT_EQ(r.end, c.end);
  EXPECT_EQ(r.output, c.output);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(children.running(), 0u);
  // A cut command ends within the limit and the kill grace; generous.
  EXPECT_LT(took, c.limit + kCommandKillGrace + 5s);
  if (c.end == End::kTimedOut) {
    EXPECT_GE(took, c.limit);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, ChildProcessRun,
    testing::Values(
        Case{"BothStreams", "echo out; echo err 1>&2", 10s, End::kExited, "out\nerr\n", 0},
        Case{"ExitStatus", "echo x; exit 3", 10s, End::kExited, "x\n", 3},
        Case{"ShellNotFoundText", "no-such-tool-here 2>&1 | grep -c 'not found'", 10s, End::kExited, "1\n", 0},
        Case{"StdinIsEmpty", "cat; echo done", 10s, End::kExited, "done\n", 0},
        Case{"HangCut", "echo started; sleep 30; echo finished", 300ms, End::kTimedOut, "started\n", -1},
        Case{"TermIgnoredStillCut", "trap '' TERM; echo t; sleep 30", 300ms, End::kTimedOut, "t\n", -1},
        Case{"ClosedOutputStillCut", "exec >/dev/null 2>&1; sleep 30", 300ms, End::kTimedOut, "", -1},
        Case{"BackgroundHoldsPipe", "sleep 30 & echo bg", 300ms, End::kTimedOut, "bg\n", -1}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(ChildProcess, OutputBeyondTheCapEndsTheCommand) {
  ChildProcesses children;
  const CommandResult r = children.run("yes", 30s);
  EXPECT_EQ(r.end, End::kTooLong);
  EXPECT_EQ(r.output.size(), kCommandOutputMax);
  EXPECT_EQ(r.output.substr(0, 4), "y\ny\n");
  EXPECT_EQ(children.running(), 0u);
}

TEST(ChildProcess, LeftoversOfAFinishedCommandAreEnded) {
  Scratch dir;
  ChildProcesses children;
  const std::string pidFile = (dir.path / "bg.pid").string();
  const CommandResult r = children.run("sleep 30 >/dev/null 2>&1 & echo $! > " + pidFile + "; echo done", 10s);
  EXPECT_EQ(r.end, End::kExited);
  EXPECT_EQ(r.output, "done\n");
  const pid_t bg = pidIn(pidFile);
  ASSERT_GT(bg, 0);
  EXPECT_TRUE(endsWithin(bg, 2s));
}

TEST(ChildProcess, KillAllEndsEveryRunningGroupAndRefusesNewOnes) {
  Scratch dir;
  ChildProcesses children;
  constexpr int kRuns = 3;
  std::vector<std::future<CommandResult>> runs;
  for (int i = 0; i < kRuns; ++i) {
    // The shell waits for a background sleep, as a tool waits for its helper.
    const std::string pidFile = (dir.path / ("bg" + std::to_string(i))).string();
    runs.push_back(std::async(std::launch::async, [&children, pidFile] {
      return children.run("sleep 60 & helper=$!; echo go; echo $helper > " + pidFile + "; wait", 60s);
    }));
  }
  // Every group started and its helper recorded.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        if (children.running() != kRuns) return false;
        for (int i = 0; i < kRuns; ++i)
          if (pidIn(dir.path / ("bg" + std::to_string(i))) <= 0) return false;
        return true;
      },
      10s));

  const auto t0 = Clock::now();
  EXPECT_EQ(children.killAll(), kRuns);
  for (auto& run : runs) {
    ASSERT_EQ(run.wait_for(5s), std::future_status::ready);
    const CommandResult r = run.get();
    EXPECT_EQ(r.end, End::kKilled);
    EXPECT_EQ(r.output, "go\n");
  }
  EXPECT_LT(Clock::now() - t0, 5s);
  EXPECT_EQ(children.running(), 0u);
  for (int i = 0; i < kRuns; ++i) {
    const pid_t bg = pidIn(dir.path / ("bg" + std::to_string(i)));
    EXPECT_TRUE(endsWithin(bg, 2s)) << "helper " << bg;
  }

  // Closed for good: nothing starts, at once.
  const CommandResult late = children.run("echo late", 10s);
  EXPECT_EQ(late.end, End::kKilled);
  EXPECT_EQ(late.output, "");
  EXPECT_EQ(children.killAll(), 0);
}

}  // namespace
