// Controller-board simulator: answers the board's line protocol on a
// pseudo-terminal the way the firmware does (status, coordinates, RMC
// sentence, angle, lens echoes, OK/ERR, firmware gates), and misbehaves on
// request: late, trickling, silent, absent, vanishing, CRLF, chunked, junk.
//
//   --link PATH   makes its own pty pair and links PATH to the slave
//   --port PATH   serves an existing terminal (e.g. the namespace runner's
//                 ".peer" end of a null-modem pair)
//
// Control lines (standard input of the program, control() in tests):
//   set KEY=VALUE ...      status keys V U V1 V2 I S O B P F CF CI G A T1,
//                          and coords, rmc, angle (the ANGLE reply value)
//   mode normal|stale|trickle|silent|crlf|chunked|junk
//                          (trickle: a byte of noise every 5 ms, endlessly;
//                          stale: answers 300 ms late)
//   gap MS                 pause between the two chunks of "chunked"
//   answer CMD => TEXT     answer CMD with TEXT and a line feed
//   absent | vanish        the board goes away (--link: pair closed, link
//                          removed; --port: terminal closed)
//   present | return       it comes back (--link: a new pair)
//
// Threading: one serving thread owned by the object (start/stop, joined by
// the destructor); control() and the accessors may be called from any
// thread. Every command received is kept with its time and passed to the
// log callback.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace boardsim {

enum class Mode { normal, stale, trickle, silent, crlf, chunked, junk };

struct Options {
  std::string link;  // exactly one of link and port
  std::string port;
  bool absent = false;  // start without a board
  std::function<void(const std::string&)> log;  // "HH:MM:SS.mmm CMD" per command
};

struct Received {
  std::chrono::steady_clock::time_point at;
  std::string command;
};

class Simulator {
 public:
  static constexpr std::chrono::milliseconds kStaleDelay{300};
  static constexpr std::chrono::milliseconds kTrickleStep{5};
  static constexpr std::size_t kMaxLine = 4096;  // a longer command line is dropped

  explicit Simulator(Options options);
  ~Simulator();
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // Opens the terminal (unless absent) and starts serving; false and a
  // message when it cannot.
  bool start(std::string& error);
  void stop();

  // One control line (see above); false when it is not understood.
  bool control(const std::string& line);

  std::vector<Received> received() const;
  // Waits until `command` was received `count` times in all.
  bool waitFor(const std::string& command, std::size_t count, std::chrono::milliseconds limit) const;
  // Bytes written to the line so far.
  std::size_t sent() const;
  // Waits until at least `bytes` were written.
  bool waitSent(std::size_t bytes, std::chrono::milliseconds limit) const;

 private:
  struct Pending {
    std::chrono::steady_clock::time_point due;
    std::string bytes;
  };

  void run();
  bool openTerminal(std::string& error);  // called with mutex_ held
  void closeTerminal();                   // called with mutex_ held
  void handle(const std::string& command, std::chrono::steady_clock::time_point now);  // mutex_ held
  std::string answer(const std::string& command);  // mutex_ held
  void flushDue(std::chrono::steady_clock::time_point now);  // mutex_ held

  Options options_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  // All guarded by mutex_.
  std::map<std::string, std::string> values_;
  std::map<std::string, std::string> answers_;
  Mode mode_ = Mode::normal;
  std::chrono::milliseconds gap_{5};
  int fd_ = -1;       // the end we serve (pty master, or the given port)
  int slave_ = -1;    // --link: our own hold on the slave
  std::string input_;
  std::deque<Pending> out_;
  std::string trickle_;  // bytes still to trickle; endless noise after them
  std::chrono::steady_clock::time_point trickleDue_{};
  bool trickling_ = false;
  std::vector<Received> received_;
  std::size_t sent_ = 0;
  bool stopping_ = false;
  std::thread thread_;
};

}  // namespace boardsim
