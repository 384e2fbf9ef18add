// Shell commands run as child processes of the unit, each in a process group
// of its own, their output read under a deadline.
//
// Every running group is registered with its ChildProcesses owner while it
// runs, so that shut-down can end them all at once with killAll(): a tool
// that hangs (on a dead mount, a missing device) then cannot hold the unit's
// exit, and whatever the command left behind in its group goes with it.
// After killAll() the owner starts nothing more, and callers blocked in
// run() return at once.
//
// Threading: any thread; run() blocks only its caller. Lifetime: the owner
// outlives its callers; the process-wide one, childProcesses(), lives for
// the whole process.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <mutex>
#include <set>
#include <string>

struct CommandResult {
  enum class End {
    kExited,      // the shell ended by itself (status holds its exit status)
    kTimedOut,    // the limit ran out; the group was ended
    kKilled,      // killAll() ended the group, or refused to start it
    kTooLong,     // the output passed kCommandOutputMax; the group was ended
    kNotStarted,  // no pipe or no process
  };
  std::string output;  // standard output and error together, as printed
  End end = End::kNotStarted;
  int status = -1;  // exit status for kExited, else -1
};

// Output kept from one command; more ends it as kTooLong.
inline constexpr std::size_t kCommandOutputMax = 4 * 1024 * 1024;
// A timed-out group gets SIGTERM, then SIGKILL after this long.
inline constexpr std::chrono::milliseconds kCommandKillGrace{1000};

class ChildProcesses {
 public:
  ChildProcesses();
  ~ChildProcesses();
  ChildProcesses(const ChildProcesses&) = delete;
  ChildProcesses& operator=(const ChildProcesses&) = delete;

  // Runs `/bin/sh -c command` with standard input from /dev/null and both
  // output streams on one pipe, in a new process group. Returns when the
  // shell has ended and its output is read, when the limit runs out, or on
  // killAll(); on every way out the whole group is ended and the shell
  // reaped, so nothing of the command outlives the call.
  [[nodiscard]] CommandResult run(const std::string& command, std::chrono::milliseconds limit);

  // SIGKILL to every running group; from now on run() starts nothing.
  // Returns the number of groups signalled.
  int killAll();

  // Groups running now.
  std::size_t running() const;

 private:
  // posix_spawn of the shell into a new group; called with mutex_ held.
  static bool spawn(const std::string& command, int outFd, pid_t& pid);

  mutable std::mutex mutex_;
  std::set<pid_t> groups_;  // guarded by mutex_; each pid leads its own group
  bool closed_ = false;     // guarded by mutex_
  int closingFd_ = -1;      // eventfd, readable once killAll() ran
};

// The unit's own registry: every shell command of the unit runs through it,
// and main's shut-down ends what is still running.
ChildProcesses& childProcesses();
