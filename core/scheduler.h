// The process-wide periodic task list, run by one thread.
//
// Modules add their tasks from their start-up functions, before main starts
// the thread. Each task gets the milliseconds since its previous run began.
// Synchronous tasks run on the scheduler thread with the task list locked, so
// a callback must not add tasks; asynchronous tasks run on a fresh detached
// thread each period and guard themselves against overlapping. A run that
// overruns its period is not made up: the next run comes one period after
// the overrun was noticed. An exception out of a task, of either kind, is
// reported on the console as "[ERR] task <name>: <what>" and the task stays
// on its period: one faulty task does not end the unit.
//
// Lifetime: the global `scheduler` lives for the whole process; stop() (or
// the destructor) ends and joins the thread.
#pragma once

#include "core/wakeup.h"

#include <chrono>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SimpleScheduler {
 public:
  using Callback = std::function<void(unsigned int)>;
  using Clock = std::chrono::steady_clock;

  struct SimpleTask {
    Callback callback;
    Clock::time_point next{};
    Clock::time_point last{};
    Clock::duration period{};
    bool async = false;
    bool valid = false;
    std::string name;  // for the console line of a task that throws
  };

  SimpleScheduler() = default;
  ~SimpleScheduler();
  SimpleScheduler(const SimpleScheduler&) = delete;
  SimpleScheduler& operator=(const SimpleScheduler&) = delete;

  // First run one period after adding.
  void add(Callback callback, Clock::duration period, bool async, std::string name = "unnamed");

  // Starts the thread on loop(); reports and returns false when it cannot.
  bool start();
  // Ends the loop (waking any sleep) and joins the thread. Idempotent.
  void stop();

  void loop();

  bool isRunning() const;
  std::size_t size() const;

 private:
  // Earliest task; the invalid task stands for an empty list.
  SimpleTask& obtainfirst();  // called with mutex held
  void sortTasks();           // called with mutex held
  void runDue(Clock::time_point now);
  // Sleeps until `until` or stop(); returns false once stopped.
  bool sleepUntil(Clock::time_point until);

  std::vector<SimpleTask> tasks;  // guarded by mutex, sorted by next
  std::unique_ptr<std::thread> thread;
  mutable std::mutex mutex;

  mutable std::mutex wakeMutex;
  Wakeup wake;  // raised by stop()
  bool running = false;  // guarded by wakeMutex
};

extern SimpleScheduler scheduler;
