#include "core/child_process.h"

#include "core/console.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/eventfd.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

// A killed shell that still has not ended after this long is stuck in the
// kernel; it stays registered, so killAll() sends it another SIGKILL.
constexpr std::chrono::milliseconds kReapLimit{2000};
// Without a pidfd (an old kernel) the shell's end is looked for this often.
constexpr std::chrono::milliseconds kExitCheckSlice{10};

class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  void reset(int fd = -1) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = fd;
  }

 private:
  int fd_;
};

int msLeft(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return static_cast<int>(std::clamp<std::int64_t>(left, 0, 3600 * 1000));
}

// Whether the child has ended (it stays unreaped, so its process group
// cannot be taken by another process meanwhile).
bool ended(pid_t pid) {
  siginfo_t info{};
  return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == 0 && info.si_pid == pid;
}

// Waits until the child has ended or the deadline passed.
bool waitEnded(pid_t pid, int pidfd, Clock::time_point deadline) {
  for (;;) {
    if (ended(pid)) return true;
    if (Clock::now() >= deadline) return false;
    pollfd p{pidfd, POLLIN, 0};
    const int slice = pidfd >= 0 ? msLeft(deadline) : std::min<int>(msLeft(deadline), kExitCheckSlice.count());
    ::poll(&p, pidfd >= 0 ? 1 : 0, slice);
  }
}

}  // namespace

ChildProcesses::ChildProcesses() : closingFd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

ChildProcesses::~ChildProcesses() {
  if (closingFd_ >= 0) ::close(closingFd_);
}

bool ChildProcesses::spawn(const std::string& command, int outFd, pid_t& pid) {
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  if (posix_spawnattr_init(&attr) != 0) {
    posix_spawn_file_actions_destroy(&actions);
    return false;
  }
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, outFd, STDERR_FILENO);
  // A group of its own: killing it reaches every process the command
  // started, and a Ctrl-C meant for the unit does not reach the command.
  posix_spawnattr_setpgroup(&attr, 0);
  sigset_t none;
  sigemptyset(&none);
  posix_spawnattr_setsigmask(&attr, &none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGPIPE);  // the server ignores it; tools expect it
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

  const char* argv[] = {"sh", "-c", command.c_str(), nullptr};
  const int rc = posix_spawn(&pid, "/bin/sh", &actions, &attr, const_cast<char* const*>(argv), environ);
  posix_spawnattr_destroy(&attr);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0;
}

CommandResult ChildProcesses::run(const std::string& command, std::chrono::milliseconds limit) {
  CommandResult result;
  const auto deadline = Clock::now() + limit;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return result;
  Fd readEnd(fds[0]);
  Fd writeEnd(fds[1]);

  pid_t pid = -1;
  {
    // Spawned and registered in one step: killAll() either sees the group
    // or runs before it and keeps it from starting.
    std::lock_guard lock(mutex_);
    if (closed_) {
      result.end = CommandResult::End::kKilled;
      return result;
    }
    if (!spawn(command, writeEnd.get(), pid)) return result;
    groups_.insert(pid);
  }
  writeEnd.reset();
  const Fd pidfd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0)));

  // 1. The output, until every holder of the pipe has closed it; once the
  // command is cut, what it printed so far is still taken.
  result.end = CommandResult::End::kExited;
  char chunk[65536];
  bool cut = false;
  for (;;) {
    pollfd p[2] = {{readEnd.get(), POLLIN, 0}, {closingFd_, POLLIN, 0}};
    const int r = ::poll(p, cut ? 1 : 2, cut ? 0 : msLeft(deadline));
    if (r < 0 && errno == EINTR) continue;
    if (!cut && p[1].revents != 0) {
      result.end = CommandResult::End::kKilled;
      cut = true;
      continue;
    }
    if (r <= 0) {
      if (!cut) result.end = CommandResult::End::kTimedOut;
      break;
    }
    const ssize_t n = ::read(readEnd.get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const std::size_t room = kCommandOutputMax - result.output.size();
    result.output.append(chunk, std::min(room, static_cast<std::size_t>(n)));
    if (static_cast<std::size_t>(n) > room) {
      result.end = CommandResult::End::kTooLong;
      break;
    }
  }
  readEnd.reset();

  // 2. The shell's own end: it may outlive its output for a moment, or keep
  // running with its output closed until the limit.
  if (result.end == CommandResult::End::kExited && !waitEnded(pid, pidfd.get(), deadline))
    result.end = CommandResult::End::kTimedOut;
  if (result.end == CommandResult::End::kTimedOut) {
    ::kill(-pid, SIGTERM);
    waitEnded(pid, pidfd.get(), Clock::now() + kCommandKillGrace);
  }
  // 3. Whatever is left in the group goes, whether the shell ended or not.
  // The shell is not reaped yet, so the group id is still ours.
  ::kill(-pid, SIGKILL);
  if (!waitEnded(pid, pidfd.get(), Clock::now() + kReapLimit)) {
    consoleLine("[ERR] command did not end after SIGKILL: " + command);
    result.status = -1;
    return result;
  }
  {
    // Reaped and unregistered together: killAll() never signals a group id
    // that may since belong to another process.
    std::lock_guard lock(mutex_);
    int status = 0;
    if (::waitpid(pid, &status, WNOHANG) == pid && result.end == CommandResult::End::kExited) {
      // killAll() may end the output before its wake-up is seen.
      if (closed_ && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL)
        result.end = CommandResult::End::kKilled;
      else
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    groups_.erase(pid);
  }
  return result;
}

int ChildProcesses::killAll() {
  std::lock_guard lock(mutex_);
  closed_ = true;
  int n = 0;
  for (const pid_t pid : groups_)
    if (::kill(-pid, SIGKILL) == 0) ++n;
  if (closingFd_ >= 0) {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t w = ::write(closingFd_, &one, sizeof one);
  }
  return n;
}

std::size_t ChildProcesses::running() const {
  std::lock_guard lock(mutex_);
  return groups_.size();
}

ChildProcesses& childProcesses() {
  static ChildProcesses registry;
  return registry;
}
