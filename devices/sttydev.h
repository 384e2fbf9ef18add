// SttyDev: the one link to the controller board on its serial line (status,
// tilt, GNSS, lens motors, flash, brush, modem reset, keep-alive). ASCII
// command lines go out one at a time; each reply is collected with poll()
// under hard limits (board_reply.h), so no caller waits longer than one
// bounded exchange plus the exchanges queued before it.
//
// Threading: `mutex` serialises whole exchanges on the line; the status
// history has its own leaf mutex, so readers of the history never wait for
// the line. `version`, `focus`, `iris` and `fd` are atomics read by pages
// without a lock. The polling thread "sttyloop" belongs to the object:
// start() starts it, stop() (also the destructor) wakes and joins it.
// Lifetime: the unit uses one instance, sttydev(), built on first use;
// tests build their own.
#pragma once

#include "core/wakeup.h"
#include "devices/board_reply.h"

#include <termios.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SttyDev {
 public:
  using status_t = board::Status;

  // Exchange limits: time to the first reply byte, silence that ends a
  // reply that is not yet whole, and the overall cap.
  static constexpr std::chrono::milliseconds kFirstByte{250};
  static constexpr std::chrono::milliseconds kSilence{10};
  static constexpr std::chrono::milliseconds kExchangeLimit{1000};
  // History: trim the oldest kHistoryDrop records once more than kHistoryMax.
  static constexpr std::size_t kHistoryMax = 4096;
  static constexpr std::size_t kHistoryDrop = 1024;
  // A record further than this from the asked time is no answer.
  static constexpr std::uint32_t kNearest = 25;
  // Firmware gates (version dates).
  static constexpr std::uint32_t kFwLens = 20180426;    // CF/CI, "FLASH"
  static constexpr std::uint32_t kFwCoords = 20180726;  // "COORDS"

  SttyDev() = default;
  ~SttyDev();
  SttyDev(const SttyDev&) = delete;
  SttyDev& operator=(const SttyDev&) = delete;

  // "path,baud"; empty returns -1 and stores nothing.
  int open(std::string device);
  // (Re)opens from `device`: raw, 8N1, 9600 baud only. Returns fd or -1.
  // Called with mutex held (or before any exchange).
  int open();
  void reset();

  // One exchange (command + "\n"); true and the reply's trimmed last line
  // when the board answers with the command or "OK".
  bool process(const std::string& command, std::string& reply);

  status_t status();
  bool coords(std::string& value);
  std::string coords();
  bool gprmc(std::string& value);
  bool angle(float& value);
  bool temp(int& value);
  bool uptime(unsigned int& value);
  void cmd(const std::string& command);
  bool cmd(const std::string& command, std::string& value);
  void camf(unsigned int n);
  void cami(unsigned int n);
  void setflash(unsigned int n);
  void act(unsigned int n);
  bool devres();

  void emplace(const status_t& st);
  status_t status(unsigned int t);
  status_t statuslast();
  std::size_t historySize();

  static speed_t str2baudrate(const std::string& text);
  static void setBaudrate(termios& tio, const std::string& text);

  // The polling thread: a status every `period`, a failed one retried after
  // `retry` (the unit uses 10 s and 60 s). Idempotent; stop() joins.
  void start(std::chrono::milliseconds period = std::chrono::seconds(10),
             std::chrono::milliseconds retry = std::chrono::seconds(60));
  void stop();
  // The thread's body; returns once stopped or `working` drops to 0.
  void operator()();
  // Status requests the polling thread has made (for its diagnostics).
  unsigned pollAttempts() const { return attempts_; }

  std::atomic<std::uint32_t> version{0};
  std::atomic<std::uint32_t> focus{0};
  std::atomic<std::uint32_t> iris{0};
  std::string device;  // guarded by mutex
  std::atomic<int> fd{-1};
  std::mutex mutex;  // the line: one exchange at a time

 private:
  // Called with mutex held.
  bool exchange(const std::string& command, std::string& reply);
  void closePort();
  // The value of a "NAME value" reply, as for coords() and angle().
  bool valueAfterBlank(const char* command, std::string& value);
  bool twoTokens(const char* command, std::string& second);
  // Sleeps up to d; false once stop() was asked.
  bool pause(std::chrono::milliseconds d);

  std::mutex historyMutex_;
  std::vector<status_t> history_;  // guarded by historyMutex_

  std::mutex runMutex_;
  Wakeup wake_;  // raised by stop()
  std::atomic<unsigned> attempts_{0};
  std::chrono::milliseconds period_{10000};
  std::chrono::milliseconds retry_{60000};
  std::thread thread_;
};

SttyDev& sttydev();
