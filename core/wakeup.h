// A sleep that another thread can cut short: the stop signal of a loop that
// waits between runs (the scheduler, the board's polling thread).
//
// The wait is poll(2) on an eventfd with a relative timeout, measured against
// the monotonic clock and renewed until the deadline, rather than a
// condition variable: a monotonic condition-variable wait is a futex wait on
// an absolute kernel time, which time-scaling preloads (used to run the
// unit's five-minute periods in seconds of test time) cannot scale, while a
// relative poll they can. Behaviour is otherwise the same.
//
// Threading: raise() and clear() from any thread; any number of sleepers.
// Lifetime: the owner outlives every sleeper.
#pragma once

#include <atomic>
#include <chrono>

class Wakeup {
 public:
  using Clock = std::chrono::steady_clock;

  Wakeup();
  ~Wakeup();
  Wakeup(const Wakeup&) = delete;
  Wakeup& operator=(const Wakeup&) = delete;

  // Wakes every sleeper, and makes every later sleep return at once, until
  // clear().
  void raise();
  void clear();
  bool raised() const { return raised_.load(); }

  // Sleeps until `until` or raise(); true when raised.
  bool sleepUntil(Clock::time_point until);
  bool sleepFor(Clock::duration d) { return sleepUntil(Clock::now() + d); }

 private:
  std::atomic<bool> raised_{false};
  int fd_ = -1;  // eventfd, readable while raised; -1: sleeps in short slices
};
