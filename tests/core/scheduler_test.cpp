#include "core/scheduler.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <ostream>
#include <stdexcept>
#include <string>
#include <thread>
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

// Standard output of the process, read through a pipe while the test runs,
// so that a line printed by a detached task thread can be waited for.
class StdoutTap {
 public:
  StdoutTap() {
    std::fflush(stdout);
    saved_ = ::dup(STDOUT_FILENO);
    int fds[2];
    if (::pipe(fds) != 0) return;
    ::dup2(fds[1], STDOUT_FILENO);
    ::close(fds[1]);
    reader_ = std::thread([this, fd = fds[0]] {
      char chunk[4096];
      ssize_t n = 0;
      while ((n = ::read(fd, chunk, sizeof chunk)) > 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        text_.append(chunk, static_cast<std::size_t>(n));
        cv_.notify_all();
      }
      ::close(fd);
    });
  }
  ~StdoutTap() {
    std::fflush(stdout);
    ::dup2(saved_, STDOUT_FILENO);  // the pipe's last writer gone: the reader ends
    ::close(saved_);
    if (reader_.joinable()) reader_.join();
    // What was taken, failure messages among it, goes on to the real output.
    std::fwrite(text_.data(), 1, text_.size(), stdout);
    std::fflush(stdout);
  }
  // Waits until line (with its line end) was printed `times` times.
  bool waitLines(const std::string& line, std::size_t times, std::chrono::milliseconds limit = 10s) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, limit, [&] { return count(line + "\n") >= times; });
  }
  std::string text() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  std::size_t count(const std::string& needle) const {  // called with mutex_ held
    std::size_t n = 0;
    for (auto at = text_.find(needle); at != std::string::npos; at = text_.find(needle, at + 1)) ++n;
    return n;
  }
  int saved_ = -1;
  std::thread reader_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::string text_;  // guarded by mutex_
};

struct ThrowCase {
  const char* name;
  bool async;
  bool standard;  // a std::exception, else a bare int
  const char* line;
};

void PrintTo(const ThrowCase& c, std::ostream* os) { *os << c.name; }

class SchedulerThrowing : public testing::TestWithParam<ThrowCase> {};

TEST_P(SchedulerThrowing, TaskIsReportedAndKeepsItsPeriod) {
  const ThrowCase& c = GetParam();
  constexpr auto kPeriod = 60ms;
  StdoutTap tap;
  auto log = std::make_shared<RunLog>();  // async runs may outlive the frame
  const bool standard = c.standard;
  {
    // A quiet neighbour on the same thread keeps running too.
    RunLog neighbour;
    SimpleScheduler s;
    const auto added = Clock::now();
    s.add(
        [log, standard](unsigned e) {
          log->record(e);
          if (standard) throw std::runtime_error("sensor gone");
          throw 42;
        },
        kPeriod, c.async, "probe");
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
  EXPECT_TRUE(tap.waitLines(c.line, 2)) << tap.text();
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, SchedulerThrowing,
    testing::Values(ThrowCase{"SyncStd", false, true, "[ERR] task probe: sensor gone"},
                    ThrowCase{"SyncOther", false, false, "[ERR] task probe: unknown exception"},
                    ThrowCase{"AsyncStd", true, true, "[ERR] task probe: sensor gone"},
                    ThrowCase{"AsyncOther", true, false, "[ERR] task probe: unknown exception"}),
    [](const testing::TestParamInfo<ThrowCase>& p) { return std::string(p.param.name); });

}  // namespace
