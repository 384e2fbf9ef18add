// A child process for end-to-end tests: runs a program with arguments,
// collects its standard output and error, sends signals and waits with a
// time limit. The destructor kills a child that is still running and, when
// the current test has failed, prints the end of the child's output (a peer
// that refused or died says why there).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ChildProcess {
 public:
  // argv[0] is the program path; cwd empty keeps the test's directory.
  explicit ChildProcess(std::vector<std::string> argv, std::string cwd = {});
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  void signal(int sig);
  // Exit status, or -1 when the child did not end in time (or died by signal).
  int wait(std::chrono::milliseconds limit);
  bool running();

  // Waits until standard output contains text.
  bool waitForOutput(const std::string& text, std::chrono::milliseconds limit);
  std::string out();
  std::string err();

  pid_t pid() const { return child; }

 private:
  void drain(int fd, std::string& into);

  std::string program;
  pid_t child = -1;
  int status = -1;
  bool reaped = false;
  std::mutex mutex;
  std::condition_variable grew;
  std::string stdoutText;  // guarded by mutex
  std::string stderrText;  // guarded by mutex
  std::thread outReader, errReader;
};

// Path of a binary built into build/bin.
std::string binaryPath(const std::string& name);

}  // namespace testsupport
