// The board's keep-alive: the controller board runs a hardware watchdog that
// expects "ALIVE" from us; one thread "watchdog" sends it at once and then
// every period for as long as the unit runs. A failed exchange is neither
// retried nor reported: the next slot sends again.
//
// Threading and lifetime: the thread belongs to the object; start() starts
// it, stop() (and the destructor) wakes and joins it. The period is taken
// on the monotonic clock, so a wall clock set at boot does not delay it.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

class SttyDev;

class KeepAlive {
 public:
  static constexpr std::chrono::seconds kPeriod{120};

  explicit KeepAlive(SttyDev& board, std::chrono::milliseconds period = kPeriod);
  ~KeepAlive();
  KeepAlive(const KeepAlive&) = delete;
  KeepAlive& operator=(const KeepAlive&) = delete;

  void start();
  void stop();

 private:
  void run();

  SttyDev& board_;
  std::chrono::milliseconds period_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stopping_ = false;  // guarded by mutex_
  std::thread thread_;
};
