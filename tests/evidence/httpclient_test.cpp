// HTTP client calls against the loopback collector (POST) and a scripted raw
// server (GET replies with chosen header bytes).
#include "evidence/crypto.h"
#include "http/httpclient.h"
#include "support/collector.h"
#include "support/text.h"

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::Collector;

using testsupport::randomBytes;

std::string md5of(const std::string& s) { return md5(reinterpret_cast<const unsigned char*>(s.data()), s.size()); }

// Answers one GET with the given raw bytes, then closes.
class RawServer {
 public:
  explicit RawServer(std::string reply) : reply_(std::move(reply)) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 1);
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      const int c = ::accept(fd_, nullptr, nullptr);
      if (c < 0) return;
      std::string request;
      char buf[4096];
      while (request.find("\r\n\r\n") == std::string::npos) {
        const ssize_t n = ::read(c, buf, sizeof buf);
        if (n <= 0) break;
        request.append(buf, static_cast<std::size_t>(n));
      }
      request_ = request;
      ::send(c, reply_.data(), reply_.size(), MSG_NOSIGNAL);
      ::close(c);
    });
  }
  ~RawServer() {
    ::shutdown(fd_, SHUT_RDWR);
    ::close(fd_);
    if (thread_.joinable()) thread_.join();
  }
  std::string url() const { return "http://127.0.0.1:" + std::to_string(port_) + "/list.txt"; }
  // What the client sent (waits for the exchange to end).
  std::string request() {
    if (thread_.joinable()) thread_.join();
    return request_;
  }

 private:
  std::string reply_;
  std::string request_;
  int fd_ = -1;
  int port_ = 0;
  std::thread thread_;
};

TEST(HttpPost, OnlyStatus200IsSuccess) {
  Collector collector(R"({"*": {"status": [201, 204, 500, 200]}})");
  ASSERT_TRUE(collector.ok());
  const std::string body = "abc";
  for (int expected : {-1, -1, -1, 0}) EXPECT_EQ(httppost(collector.base() + "/p", body.data(), body.size()), expected);
}

TEST(HttpPost, EmptyBodyOrNoServerFails) {
  Collector collector;
  ASSERT_TRUE(collector.ok());
  EXPECT_EQ(httppost(collector.base() + "/p", "x", 0), -1);
  const std::string url = "http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/p";
  EXPECT_EQ(httppost(url, "x", 1), -1);
  EXPECT_EQ(httppost("file:///etc/passwd", "x", 1), -1);  // only HTTP
  collector.stop();
  EXPECT_TRUE(collector.records().empty());
}

TEST(HttpFetch, VerifiesTheDigestOfAStandardCrlfReply) {
  const std::string body = "A123BC\nX777XX\n";
  std::string hash = md5of(body);
  for (char& c : hash) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  RawServer good("HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\nx-hash: " + hash +
                 "\r\n\r\n" + body);
  std::string got, header;
  EXPECT_EQ(httpfetch(good.url(), got, header), static_cast<int>(body.size()));
  EXPECT_EQ(got, body);
  EXPECT_NE(header.find("x-hash"), std::string::npos);
  const std::string request = good.request();
  EXPECT_EQ(request.rfind("GET /list.txt HTTP/1.1\r\n", 0), 0u) << request;
  EXPECT_NE(request.find("Content-Type: application/octet-stream\r\n"), std::string::npos);

  // Refused: another digest (the body stays), an announced length that
  // differs from what chunked transfer gave (the body is emptied), another status.
  const std::pair<std::string, std::string> refused[] = {
      {"HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nX-Hash: 0123456789abcdef0123456789abcdef\r\n\r\n" + body,
       body},
      {"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\ncontent-length: 10\r\n\r\n9\r\n123456789\r\n0\r\n\r\n", ""},
      {"HTTP/1.1 404 Not Found\r\nContent-Length: 2\r\n\r\nno", "no"},
  };
  for (const auto& [reply, kept] : refused) {
    RawServer server(reply);
    got.clear();
    EXPECT_EQ(httpfetch(server.url(), got), -1) << reply;
    EXPECT_EQ(got, kept);
  }
}

TEST(HttpFetch, AnnouncementsAreReadWithoutCaseOrCarriageReturn) {
  using httpclient::parseAnnounced;
  auto a = parseAnnounced("HTTP/1.1 200 OK\r\nCONTENT-LENGTH: 10\r\nX-HASH: ABCdef01\r\n\r\n");
  EXPECT_EQ(a.length, 10u);
  EXPECT_EQ(a.hash, "abcdef01");
  a = parseAnnounced("Content-Length:5\nContent-Length:  7\n");  // the later line wins
  EXPECT_EQ(a.length, 7u);
  a = parseAnnounced("Content-Length: 12x\nX-Hash: xyz\nX-Hash-Other: ab\nX-Hash:\n");
  EXPECT_FALSE(a.length);
  EXPECT_FALSE(a.hash);
  a = parseAnnounced("Content-Length: 4294967297\n");  // reduced to 32 bits
  EXPECT_EQ(a.length, 1u);
}

}  // namespace

#include "evidence/common.h"

namespace {

TEST(ProcScript, SendsTheBytesToTheLocalPortAndRejectsBadAddresses) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(::listen(fd, 1), 0);
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
  const std::string payload = randomBytes(20000, 3);  // several 4096-byte chunks
  std::string received;
  std::thread reader([&] {
    const int c = ::accept(fd, nullptr, nullptr);
    char buf[8192];
    for (ssize_t n; (n = ::read(c, buf, sizeof buf)) > 0;) received.append(buf, static_cast<std::size_t>(n));
    ::close(c);
  });
  procscript(payload.data(), payload.size(), "ignored.host:" + std::to_string(ntohs(addr.sin_port)));
  reader.join();
  ::close(fd);
  EXPECT_EQ(received, payload);

  testing::internal::CaptureStdout();
  procscript("x", 1, "");  // no address: nothing to do, nothing to report
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  for (const char* bad : {"no-port", ":123", "host:", "host:99999"}) {
    testing::internal::CaptureStdout();
    procscript("x", 1, bad);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Fail\n") << bad;
  }
}

}  // namespace
