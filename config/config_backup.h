// Configuration backup: a thread that checks every `period` whether the
// configuration text changed since the last successful upload and, when it
// did, posts the whole text to the backup server with the unit's host name
// and token in the query.
//
// Threading: the thread owns `last` and `lasthash`; the object owns the
// thread. stop() (run by the destructor and, for the process-wide `cb`, at
// exit before the configuration is torn down) cancels a post in flight and
// joins the thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>

namespace kovira {
class GlobalConfig;
}

class ConfigBackup {
 public:
  using Clock = std::chrono::steady_clock;
  static constexpr std::chrono::seconds kPeriod{300};
  static constexpr std::chrono::milliseconds kIdleCheck{250};
  static constexpr const char* kPath = "/confback.php";

  enum class Result { Unchanged, Sent, Failed };

  // The first check comes one period after construction. source null:
  // kovira::config().
  explicit ConfigBackup(std::chrono::milliseconds period = kPeriod, const kovira::GlobalConfig* source = nullptr);
  ~ConfigBackup();
  ConfigBackup(const ConfigBackup&) = delete;
  ConfigBackup& operator=(const ConfigBackup&) = delete;

  // The backup address ("http://host[:port]/confback.php"); before start().
  void configure(std::string backupUrl) { url = std::move(backupUrl); }
  void start();
  void stop();
  // The thread body: a check every period until `working` drops or stop().
  void operator()();
  // One check: posts whole(0) when its hash differs from the last upload's.
  Result check();

  std::string url;
  Clock::time_point last;
  Clock::duration period;
  std::uint64_t lasthash = 0;

 private:
  const kovira::GlobalConfig& source() const;

  const kovira::GlobalConfig* source_;
  std::mutex mutex;
  std::condition_variable wake;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

extern ConfigBackup cb;
