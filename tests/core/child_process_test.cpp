// Shell commands in process groups of their own: output and status, the
// limit, leftovers of the command, and killAll() ending everything at once.
#include "core/child_process.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <future>
#include <ostream>
#include <string>
#include <vector>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using End = CommandResult::End;

// Where a command writes the pid of what it leaves behind ("PIDFILE" in its text).
std::string pidFile(int i) {
  return testing::TempDir() + "kovira-child-" + std::to_string(::getpid()) + "-" + std::to_string(i);
}

pid_t pidIn(const std::string& file) {
  pid_t pid = -1;
  std::ifstream(file) >> pid;
  return pid;
}

// Ended, or a zombie waiting for its reaper. SIGKILL is delivered when the
// process is next scheduled: a moment after kill() returned.
bool endsWithin(pid_t pid, std::chrono::milliseconds limit) {
  return testsupport::waitUntil(
      [pid] {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        return !std::getline(stat, line) || line.substr(line.rfind(')') + 2, 1) == "Z";
      },
      limit);
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

TEST_P(ChildProcessRun, EndsAsExpectedAndLeavesNothing) {
  const Case& c = GetParam();
  std::string command = c.command;
  if (const auto at = command.find("PIDFILE"); at != std::string::npos) command.replace(at, 7, pidFile(0));
  std::filesystem::remove(pidFile(0));
  ChildProcesses children;
  const auto t0 = Clock::now();
  const CommandResult r = children.run(command, c.limit);
  const auto took = Clock::now() - t0;
  EXPECT_EQ(r.end, c.end);
  EXPECT_TRUE(r.output == c.output) << r.output.substr(0, 100);
  EXPECT_EQ(r.status, c.status);
  EXPECT_EQ(children.running(), 0u);
  // A cut command ends within the limit and the kill grace; generous.
  EXPECT_LT(took, c.limit + kCommandKillGrace + 5s);
  if (c.end == End::kTimedOut) {
    EXPECT_GE(took, c.limit);
  }
  // What the command left in the background goes with its group.
  const pid_t left = pidIn(pidFile(0));
  std::filesystem::remove(pidFile(0));
  if (command != c.command) {
    ASSERT_GT(left, 0);
    EXPECT_TRUE(endsWithin(left, 2s));
  }
}

std::string repeat(const std::string& s, std::size_t times) {
  std::string out;
  while (times-- > 0) out += s;
  return out;
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
        Case{"BackgroundHoldsPipe", "sleep 30 & echo $! > PIDFILE; echo bg", 300ms, End::kTimedOut, "bg\n", -1},
        Case{"LeftoversEnded", "sleep 30 >/dev/null 2>&1 & echo $! > PIDFILE; echo done", 10s, End::kExited,
             "done\n", 0},
        Case{"OutputBeyondTheCap", "yes", 30s, End::kTooLong, repeat("y\n", kCommandOutputMax / 2), -1}),
    [](const testing::TestParamInfo<Case>& p) { return std::string(p.param.name); });

TEST(ChildProcess, KillAllEndsEveryRunningGroupAndRefusesNewOnes) {
  ChildProcesses children;
  constexpr int kRuns = 3;
  std::vector<std::future<CommandResult>> runs;
  for (int i = 1; i <= kRuns; ++i) {
    std::filesystem::remove(pidFile(i));
    // The shell waits for a background sleep, as a tool waits for its helper.
    runs.push_back(std::async(std::launch::async, [&children, i] {
      return children.run("sleep 60 & helper=$!; echo go; echo $helper > " + pidFile(i) + "; wait", 60s);
    }));
  }
  // Every group started and its helper recorded.
  ASSERT_TRUE(testsupport::waitUntil(
      [&] {
        for (int i = 1; i <= kRuns; ++i)
          if (pidIn(pidFile(i)) <= 0) return false;
        return children.running() == kRuns;
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
  for (int i = 1; i <= kRuns; ++i) {
    EXPECT_TRUE(endsWithin(pidIn(pidFile(i)), 2s)) << "helper " << i;
    std::filesystem::remove(pidFile(i));
  }

  // Closed for good: nothing starts, at once.
  const CommandResult late = children.run("echo late", 10s);
  EXPECT_EQ(late.end, End::kKilled);
  EXPECT_EQ(late.output, "");
  EXPECT_EQ(children.killAll(), 0);
}

}  // namespace
