// A collection server that answers a POST with an endless stream: what the
// client keeps of the answer stays bounded while the stream runs.
#include "evidence/httpclient.h"
#include "support/ports.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

// Peak resident memory of this process, bytes.
std::uint64_t peakResident() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

class EndlessServer {
 public:
  EndlessServer() : fd_(testsupport::listenOnLoopback(port_)) {
    thread_ = std::thread([this] { serve(); });
  }
  ~EndlessServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/upload.php"; }
  // Waits until at least `bytes` of answer went out; false after `limit`.
  bool waitSent(std::uint64_t bytes, std::chrono::seconds limit) {
    std::unique_lock lock(mu_);
    return cv_.wait_for(lock, limit, [&] { return sent_ >= bytes || ended_; }) && sent_ >= bytes;
  }

 private:
  void serve() {
    const int c = ::accept(fd_, nullptr, nullptr);
    if (c < 0) return finish();
    std::string request;
    char in[4096];
    while (request.find("\r\n\r\n") == std::string::npos) {
      const ssize_t n = ::read(c, in, sizeof in);
      if (n <= 0) break;
      request.append(in, static_cast<std::size_t>(n));
    }
    const std::string head = "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";
    ::send(c, head.data(), head.size(), MSG_NOSIGNAL);
    const std::string chunk(1 << 20, 'z');
    for (;;) {
      const ssize_t n = ::send(c, chunk.data(), chunk.size(), MSG_NOSIGNAL);
      if (n <= 0) break;
      std::lock_guard lock(mu_);
      sent_ += static_cast<std::uint64_t>(n);
      cv_.notify_all();
    }
    ::close(c);
    finish();
  }
  void finish() {
    std::lock_guard lock(mu_);
    ended_ = true;
    cv_.notify_all();
  }

  int port_ = 0;
  int fd_ = -1;
  std::mutex mu_;
  std::condition_variable cv_;
  std::uint64_t sent_ = 0;  // guarded by mu_
  bool ended_ = false;      // guarded by mu_
  std::thread thread_;
};

TEST(HttpPostBounds, AnEndlessAnswerIsNotKept) {
  constexpr std::uint64_t kStreamed = 512ull << 20;
  EndlessServer server;
  const std::uint64_t before = peakResident();
  std::atomic<bool> cancel{false};
  int result = 0;
  std::thread post([&] { result = httppost(server.url(), "abc", 3, &cancel); });
  const bool streamed = server.waitSent(kStreamed, 120s);
  cancel = true;
  post.join();
  ASSERT_TRUE(streamed);
  EXPECT_EQ(result, -1);  // given up: the answer never ended
  EXPECT_LT(peakResident() - before, kStreamed / 4);
}

}  // namespace
