#include "core/scheduler.h"

#include "tests/support/wait.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

// Records every run of one task and lets the test wait for the n-th.
class RunLog {
 public:
  void record(unsigned elapsed) {
    std::lock_guard<std::mutex> lock(mutex);
    starts.push_back(Clock::now());
    elapsedMs.push_back(elapsed);
    threads.push_back(std::this_thread::get_id());
    cv.notify_all();
  }
  bool waitFor(std::size_t n, std::chrono::milliseconds limit = 5s) {
    std::unique_lock<std::mutex> lock(mutex);
    return cv.wait_for(lock, limit, [&] { return starts.size() >= n; });
  }
  std::mutex mutex;
  std::condition_variable cv;
  std::vector<Clock::time_point> starts;
  std::vector<unsigned> elapsedMs;
  std::vector<std::thread::id> threads;
};

long ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d).count(); }

TEST(Scheduler, RunsEachTaskAtItsOwnPeriodWithElapsedTime) {
  SimpleScheduler s;
  RunLog fast, slow;
  const auto added = Clock::now();
  s.add([&](unsigned e) { fast.record(e); }, 50ms, false);
  s.add([&](unsigned e) { slow.record(e); }, 200ms, false);
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(slow.waitFor(2));
  s.stop();

  // Run k comes no earlier than k + 1 periods after adding: a loaded
  // machine only makes runs later (and a late run shortens the next gap),
  // so these are lower bounds and counts; the upper ones are generous.
  for (std::size_t k = 0; k < fast.starts.size(); ++k)
    EXPECT_GE(ms(fast.starts[k] - added), 50 * static_cast<long>(k + 1) - 5) << "run " << k;
  for (std::size_t k = 0; k < slow.starts.size(); ++k)
    EXPECT_GE(ms(slow.starts[k] - added), 200 * static_cast<long>(k + 1) - 5) << "run " << k;
  // Two slow periods hold about eight fast ones; the fast task runs first.
  EXPECT_GE(fast.starts.size(), 3u);
  EXPECT_LT(fast.starts.front(), slow.starts.front());
  // Elapsed is milliseconds since the previous run: each about the gap the
  // task saw, and together the whole span.
  long sum = 0;
  for (std::size_t i = 1; i < fast.elapsedMs.size(); ++i) {
    EXPECT_LE(fast.elapsedMs[i], ms(fast.starts[i] - fast.starts[i - 1]) + 1000) << "run " << i;
    sum += fast.elapsedMs[i];
  }
  EXPECT_GE(sum, ms(fast.starts.back() - fast.starts.front()) / 2);
}

TEST(Scheduler, OverrunIsNotMadeUp) {
  SimpleScheduler s;
  RunLog log;
  std::vector<Clock::time_point> ends;
  s.add(
      [&](unsigned e) {
        log.record(e);
        std::this_thread::sleep_for(250ms);
        ends.push_back(Clock::now());  // only the scheduler thread writes
      },
      100ms, false);
  ASSERT_TRUE(s.start());
  ASSERT_TRUE(log.waitFor(3));
  s.stop();

  // The next run comes one period after the overrun was noticed, not at once,
  // and the elapsed time shows the real gap.
  for (std::size_t i = 1; i < log.starts.size(); ++i) {
    EXPECT_GE(ms(log.starts[i] - ends[i - 1]), 90) << "run " << i;
    EXPECT_GE(log.elapsedMs[i], 330u) << "run " << i;
  }
}

TEST(Scheduler, AsynchronousTaskRunsOffTheSchedulerThreadAndOverlaps) {
  SimpleScheduler s;
  // Runs are detached threads: the log outlives the test's frame.
  auto log = std::make_shared<RunLog>();
  s.add(
      [log](unsigned e) {
        log->record(e);
        // The first run lasts until the second has started: only a run off
        // the scheduler thread lets that happen.
        (void)log->waitFor(2, 30s);
      },
      40ms, true);
  ASSERT_TRUE(s.start());
  const bool overlapped = log->waitFor(3, 30s);
  s.stop();
  ASSERT_TRUE(overlapped);
  std::lock_guard<std::mutex> lock(log->mutex);
  EXPECT_NE(log->threads[0], log->threads[1]);
}

TEST(Scheduler, StopWakesALongSleepAtOnce) {
  SimpleScheduler s;
  ASSERT_TRUE(s.start());  // an empty list idles until stopped
  std::this_thread::sleep_for(30ms);
  EXPECT_TRUE(s.isRunning());
  s.stop();
  EXPECT_FALSE(s.isRunning());
  s.add([](unsigned) {}, 1h, false);
  ASSERT_TRUE(s.start());
  std::this_thread::sleep_for(20ms);
  const auto t0 = Clock::now();
  s.stop();
  EXPECT_LT(ms(Clock::now() - t0), 10000);  // generous; the sleep is an hour
  s.stop();  // idempotent
}

// Standard output sent to a file while the test runs, so that a line
// printed by a detached task thread can be waited for.
class StdoutTap {
 public:
  StdoutTap() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    ::dup2(::fileno(file_), STDOUT_FILENO);
  }
  ~StdoutTap() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);
    ::close(saved_);
    std::fputs(text().c_str(), stdout);  // failure messages among it go on to the real output
    std::fclose(file_);
  }
  std::string text() const {
    std::ifstream in("/proc/self/fd/" + std::to_string(::fileno(file_)));
    return {std::istreambuf_iterator<char>(in), {}};
  }

 private:
  std::FILE* file_ = std::tmpfile();
  int saved_ = -1;
};

std::size_t count(const std::string& text, const std::string& line) {
  std::size_t n = 0;
  for (auto at = text.find(line + "\n"); at != std::string::npos; at = text.find(line + "\n", at + 1)) ++n;
  return n;
}

// Run on the scheduler's thread or a thread of its own; a std::exception or a bare int.
class SchedulerThrowing : public testing::TestWithParam<std::tuple<bool, bool>> {};

TEST_P(SchedulerThrowing, TaskIsReportedAndKeepsItsPeriod) {
  const auto [async, standard] = GetParam();
  const std::string line = standard ? "[ERR] task probe: sensor gone" : "[ERR] task probe: unknown exception";
  constexpr auto kPeriod = 60ms;
  StdoutTap tap;
  auto log = std::make_shared<RunLog>();  // async runs may outlive the frame
  {
    RunLog neighbour;  // a quiet task on the same thread keeps running too
    SimpleScheduler s;
    const auto added = Clock::now();
    s.add(
        [log, standard](unsigned e) {
          log->record(e);
          if (standard) throw std::runtime_error("sensor gone");
          throw 42;
        },
        kPeriod, async, "probe");
    s.add([&](unsigned e) { neighbour.record(e); }, kPeriod, false, "neighbour");
    ASSERT_TRUE(s.start());
    ASSERT_TRUE(log->waitFor(3, 10s));
    ASSERT_TRUE(neighbour.waitFor(3, 10s));
    s.stop();
    std::lock_guard<std::mutex> lock(log->mutex);
    // Each run keeps to the rhythm: run k no earlier than k + 1 periods.
    for (std::size_t k = 0; k < log->starts.size(); ++k)
      EXPECT_GE(ms(log->starts[k] - added), ms(kPeriod) * static_cast<long>(k + 1) - 5) << "run " << k;
  }
  EXPECT_TRUE(testsupport::waitUntil([&] { return count(tap.text(), line) >= 2; }, 10s)) << tap.text();
}

INSTANTIATE_TEST_SUITE_P(Kinds, SchedulerThrowing, testing::Combine(testing::Bool(), testing::Bool()),
                         [](const auto& p) {
                           return std::string(std::get<0>(p.param) ? "Async" : "Sync") +
                                  (std::get<1>(p.param) ? "Std" : "Other");
                         });

}  // namespace
