// Descriptor exhaustion: a server process with a small descriptor limit is
// flooded until accept() fails with EMFILE; once the flood is gone the
// same listener answers again.
#include "tests/http/http_test_client.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

extern char** environ;

namespace {

// The helper with pipes on its standard input, output and error.
class HelperProcess {
 public:
  explicit HelperProcess(const std::string& path) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) || ::pipe2(out, O_CLOEXEC) || ::pipe2(err, O_CLOEXEC)) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    if (posix_spawn(&pid_, path.c_str(), &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    stdin_ = in[1];
    stdout_ = out[0];
    stderr_ = err[0];
  }
  ~HelperProcess() {
    if (stdin_ >= 0) ::close(stdin_);  // the helper exits on end of input
    if (pid_ > 0) ::waitpid(pid_, nullptr, 0);
    if (stdout_ >= 0) ::close(stdout_);
    if (stderr_ >= 0) ::close(stderr_);
  }

  bool running() const { return pid_ > 0; }
  // Reads fd until text appears or seconds pass; returns what was read.
  std::string waitFor(bool fromStderr, const std::string& text, int seconds) {
    std::string& seen = fromStderr ? err_ : out_;
    const int fd = fromStderr ? stderr_ : stdout_;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    char buf[4096];
    while (seen.find(text) == std::string::npos && std::chrono::steady_clock::now() < end) {
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      seen.append(buf, static_cast<std::size_t>(n));
    }
    return seen;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1, stdout_ = -1, stderr_ = -1;
  std::string out_, err_;
};

TEST(HttpServerDescriptors, ListenerAnswersAgainAfterEmfileFlood) {
  HelperProcess helper(std::string(KOVIRA_BINARY_DIR) + "/bin/http_emfile_server");
  ASSERT_TRUE(helper.running());
  const std::string out = helper.waitFor(false, "\n", 10);
  const int port = std::atoi(out.c_str());
  ASSERT_GT(port, 0) << out;

  // 24 descriptors: about 19 connections fit, the rest wait in the backlog
  // while accept() fails.
  std::vector<int> flood;
  for (int i = 0; i < 26; ++i) {
    const int fd = httptest::connectTo(port);
    ASSERT_GE(fd, 0);
    flood.push_back(fd);
  }
  const std::string log = helper.waitFor(true, "Socket accepting error: 24", 10);
  ASSERT_NE(log.find("Socket accepting error: 24"), std::string::npos) << log;
  for (const int fd : flood) ::close(fd);

  const std::string reply = httptest::roundTrip(port, "GET /http_one/x HTTP/1.1\r\n\r\n");
  EXPECT_EQ(httptest::parseReply(reply).statusLine, "HTTP/1.1 200 OK") << reply;
}

}  // namespace
