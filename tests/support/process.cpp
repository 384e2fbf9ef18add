#include "support/process.h"

#include "tests/support/wait.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <iostream>
#include <stdexcept>

namespace testsupport {

namespace {

std::string tail(const std::string& text, std::size_t bytes) {
  return text.size() <= bytes ? text : "..." + text.substr(text.size() - bytes);
}

}  // namespace

ChildProcess::ChildProcess(std::vector<std::string> argv, std::string cwd) : program(argv.at(0)) {
  int out[2], err[2];
  if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe");
  child = fork();
  if (child < 0) throw std::runtime_error("fork");
  if (child == 0) {
    dup2(out[1], 1);
    dup2(err[1], 2);
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(126);
    std::vector<char*> args;
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  close(out[1]);
  close(err[1]);
  outReader = std::thread([this, fd = out[0]] { drain(fd, stdoutText); });
  errReader = std::thread([this, fd = err[0]] { drain(fd, stderrText); });
}

ChildProcess::~ChildProcess() {
  if (running()) {
    kill(child, SIGKILL);
    wait(std::chrono::seconds(5));
  }
  if (outReader.joinable()) outReader.join();
  if (errReader.joinable()) errReader.join();
  if (::testing::Test::HasFailure()) {
    std::cout << "---- output of " << program << " (pid " << child << ", end)\n"
              << tail(stdoutText, 4000) << "\n---- its errors\n" << tail(stderrText, 4000) << std::endl;
  }
}

void ChildProcess::drain(int fd, std::string& into) {
  char buf[4096];
  for (;;) {
    const ssize_t n = read(fd, buf, sizeof buf);
    if (n <= 0) break;
    std::lock_guard<std::mutex> lock(mutex);
    into.append(buf, static_cast<std::size_t>(n));
    grew.notify_all();
  }
  close(fd);
}

void ChildProcess::signal(int sig) { kill(child, sig); }

bool ChildProcess::running() {
  if (reaped) return false;
  int st = 0;
  const pid_t r = waitpid(child, &st, WNOHANG);
  if (r == child) {
    reaped = true;
    status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return false;
  }
  return true;
}

int ChildProcess::wait(std::chrono::milliseconds limit) {
  if (!waitUntil([&] { return !running(); }, limit)) return -1;
  // Output is complete once the child has gone and the pipes are drained.
  if (outReader.joinable()) outReader.join();
  if (errReader.joinable()) errReader.join();
  return status;
}

bool ChildProcess::waitForOutput(const std::string& text, std::chrono::milliseconds limit) {
  std::unique_lock<std::mutex> lock(mutex);
  return grew.wait_for(lock, limit, [&] { return stdoutText.find(text) != std::string::npos; });
}

std::string ChildProcess::out() {
  std::lock_guard<std::mutex> lock(mutex);
  return stdoutText;
}

std::string ChildProcess::err() {
  std::lock_guard<std::mutex> lock(mutex);
  return stderrText;
}

std::string binaryPath(const std::string& name) { return std::string(KOVIRA_BINARY_DIR) + "/bin/" + name; }

}  // namespace testsupport
