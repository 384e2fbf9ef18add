// The server against clients that do not play along: idle and half-sent
// headers, one peer taking every connection, slow readers, floods of
// arguments, control bytes meant for the log, and a unit stopped while
// large posts are in flight. Peers are told apart by their loopback
// source address (127.0.0.0/8).
#include "core/fs.h"
#include "core/log.h"
#include "http/server.h"
#include "support/ports.h"
#include "support/process.h"
#include "support/wait.h"
#include "tests/http/http_test_client.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <future>
#include <sstream>
#include <thread>

namespace {

using namespace std::chrono_literals;
using httptest::parseReply;
namespace bfs = boost::filesystem;

// Waits for a condition the server reaches on its own threads.
bool eventually(const std::function<bool()>& condition) { return testsupport::waitUntil(condition, 20s); }

// True once the server closed fd (end of input or reset) without answering.
bool closedUnanswered(int fd) {
  char byte;
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, 10000) <= 0) return false;
  return ::recv(fd, &byte, 1, 0) <= 0;
}

std::string requestFrom(const char* source, int port, const std::string& request) {
  const int fd = httptest::connectTo(port, 0, source);
  if (fd < 0) return "no connection";
  std::string reply;
  if (httptest::sendAll(fd, request)) reply = httptest::readAll(fd);
  ::close(fd);
  return reply;
}

std::string status(const std::string& reply) { return parseReply(reply).statusLine; }

struct Connections {
  std::vector<int> fds;
  ~Connections() {
    for (const int fd : fds) ::close(fd);
  }
};

// One log per process, in a temporary program directory: the access lines
// are checked there.
class HostileClients : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root_ = new bfs::path(bfs::temp_directory_path() / bfs::unique_path("kovira-http-%%%%-%%%%"));
    bfs::create_directories(*root_ / "bin");
    SetCurrentPath((*root_ / "bin" / "kovira").string().c_str());
    log_init();
    std::ofstream(file().string(), std::ios::binary) << pattern();
  }
  static void TearDownTestSuite() {
    bfs::remove_all(*root_);
    delete root_;
  }
  static bfs::path file() { return *root_ / "big.bin"; }
  // 2 MiB of a pattern: the body of /mb (its first MiB) and the file of /file.
  static const std::string& pattern() {
    static const std::string text = [] {
      std::string t(2 << 20, '\0');
      for (std::size_t i = 0; i < t.size(); ++i) t[i] = static_cast<char>(i * 31 % 251);
      return t;
    }();
    return text;
  }
  static std::string logText() {
    std::string text;
    for (const auto& entry : bfs::directory_iterator(*root_ / "tmp")) {
      std::ifstream in(entry.path().string(), std::ios::binary);
      text += std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    return text;
  }

  // A loopback server with the given limits and five routes: /args
  // (argument count), /big (8 MB), /mb (1 MiB of the pattern), /file (the
  // pattern's file), /hold (waits for release_).
  HttpServer& serve(HttpServerOptions o) {
    o.bindAddress = "127.0.0.1";
    server_ = std::make_unique<HttpServer>(o);
    server_->subscribe("^/args$", [](const HttpRequest& req, HttpResponse& res) {
      res.body << req.args.size();
      return 200;
    });
    server_->subscribe("^/big$", [](const HttpRequest&, HttpResponse& res) {
      res.body << std::string(8 << 20, 'b');
      return 200;
    });
    server_->subscribe("^/mb$", [](const HttpRequest&, HttpResponse& res) {
      res.body << pattern().substr(0, 1 << 20);
      return 200;
    });
    server_->subscribe("^/file$", [](const HttpRequest&, HttpResponse& res) {
      const int fd = ::open(file().string().c_str(), O_RDONLY | O_CLOEXEC);
      if (fd < 0) return 404;
      res.fileBody(fd, pattern().size());
      return 200;
    });
    server_->subscribe("^/hold$", [this](const HttpRequest&, HttpResponse& res) {
      released_.wait();
      res.body << "held";
      return 200;
    });
    EXPECT_TRUE(server_->start(0));
    port_ = server_->boundPort();
    return *server_;
  }
  void TearDown() override {
    release_.set_value();
    server_.reset();
  }

  static bfs::path* root_;
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
  std::unique_ptr<HttpServer> server_;
  int port_ = 0;
};

bfs::path* HostileClients::root_ = nullptr;

TEST_F(HostileClients, IdleAndHalfSentHeadersHoldNoWorker) {
  HttpServerOptions o;
  o.maxConnections = 2;
  o.timeoutSec = 60;
  HttpServer& server = serve(o);
  Connections crowd;
  for (int i = 0; i < 60; ++i) {
    const std::string source = "127.0.2." + std::to_string(1 + i / 10);
    const int fd = httptest::connectTo(port_, 0, source.c_str());
    ASSERT_GE(fd, 0);
    if (i % 3 == 0) {
      ASSERT_TRUE(httptest::sendAll(fd, "GET /args HTTP/1.1\r\nHo"));
    }
    crowd.fds.push_back(fd);
  }
  ASSERT_TRUE(eventually([&] { return server.openConnections() == 60; })) << server.openConnections();
  for (int i = 0; i < 5; ++i) EXPECT_EQ(status(requestFrom("127.0.0.1", port_, "GET /args HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
  EXPECT_EQ(server.liveConnections(), 0);

  for (const int fd : crowd.fds) ::close(fd);
  crowd.fds.clear();
  EXPECT_TRUE(eventually([&] { return server.openConnections() == 0; })) << server.openConnections();
}

TEST_F(HostileClients, PeerCapReplacesItsOldestWaitingConnectionButNeverOneInService) {
  HttpServerOptions o;
  o.peerConnections = 3;
  HttpServer& server = serve(o);
  Connections idle;
  for (int i = 0; i < 3; ++i) idle.fds.push_back(httptest::connectTo(port_, 0, "127.0.4.1"));
  ASSERT_TRUE(eventually([&] { return server.openConnections() == 3; }));
  idle.fds.push_back(httptest::connectTo(port_, 0, "127.0.4.1"));
  EXPECT_TRUE(closedUnanswered(idle.fds[0])) << "the oldest idle connection gives way";
  EXPECT_EQ(status(requestFrom("127.0.4.1", port_, "GET /args HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
  EXPECT_TRUE(closedUnanswered(idle.fds[1]));
  EXPECT_LE(server.openConnections(), 3);

  // Three requests of another peer in service: its fourth connection has
  // nothing to replace and is closed.
  std::vector<std::future<std::string>> held;
  for (int i = 0; i < 3; ++i)
    held.push_back(std::async(std::launch::async,
                              [this] { return requestFrom("127.0.4.2", port_, "GET /hold HTTP/1.1\r\n\r\n"); }));
  ASSERT_TRUE(eventually([&] { return server.liveConnections() == 3; }));
  const int refused = httptest::connectTo(port_, 0, "127.0.4.2");
  EXPECT_TRUE(closedUnanswered(refused));
  ::close(refused);
  EXPECT_EQ(status(requestFrom("127.0.4.3", port_, "GET /args HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
  release_.set_value();
  release_ = {};
  for (auto& f : held) EXPECT_EQ(parseReply(f.get()).body, "held");
}

TEST_F(HostileClients, FullServerStillLetsANewPeerIn) {
  HttpServerOptions o;
  o.openConnections = 4;
  o.peerConnections = 4;
  HttpServer& server = serve(o);
  Connections idle;
  for (int i = 0; i < 4; ++i) idle.fds.push_back(httptest::connectTo(port_, 0, "127.0.5.1"));
  ASSERT_TRUE(eventually([&] { return server.openConnections() == 4; }));
  EXPECT_EQ(status(requestFrom("127.0.5.2", port_, "GET /args HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
  EXPECT_TRUE(closedUnanswered(idle.fds[0]));
}

TEST_F(HostileClients, SlowReaderIsDroppedAndTheOnlyWorkerServesTheNext) {
  HttpServerOptions o;
  o.maxConnections = 1;
  o.sendTimeoutSec = 1;
  HttpServer& server = serve(o);
  const int reader = httptest::connectTo(port_, 4096);
  ASSERT_TRUE(httptest::sendAll(reader, "GET /big HTTP/1.1\r\n\r\n"));
  pollfd p{reader, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 10000), 1) << "the answer has started";
  // The only worker is free: the rest of the 8 MB waits in the listener.
  EXPECT_EQ(parseReply(requestFrom("127.0.6.1", port_, "GET /args HTTP/1.1\r\n\r\n")).body, "0");
  // Not read within the send time-out: dropped, its memory given back.
  EXPECT_TRUE(eventually([&] { return server.openConnections() == 0 && server.bytesHeld() == 0; }))
      << server.openConnections() << " " << server.bytesHeld();
  ::close(reader);
}

TEST_F(HostileClients, ArgumentsBeyondTheCapAndLengthsBeyondIntAre413) {
  serve({});
  const auto pairs = [](int n) {
    std::string text;
    for (int i = 0; i < n; ++i) text += "a" + std::to_string(i) + "=&";
    return text;
  };
  const auto multipart = [](int n) {
    std::string body;
    for (int i = 0; i < n; ++i) body += "--XyZ123\r\nContent-Disposition: form-data; name=\"f" + std::to_string(i) + "\"\r\n\r\nv\r\n";
    return body + "--XyZ123--\r\n";
  };
  const auto post = [](const std::string& type, const std::string& body) {
    return "POST /args HTTP/1.1\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\n\r\n" + body;
  };
  const std::string form = "application/x-www-form-urlencoded";
  const std::string parts = "multipart/form-data; boundary=XyZ123";
  const struct {
    std::string request;
    std::string statusLine;
  } cases[] = {
      {"GET /args?" + pairs(1024) + " HTTP/1.1\r\n\r\n", "HTTP/1.1 200 OK"},
      {"GET /args?" + pairs(1025) + " HTTP/1.1\r\n\r\n", "HTTP/1.1 413 Request Entity Too Large"},
      {post(form, pairs(1024)), "HTTP/1.1 200 OK"},
      {"POST /args HTTP/1.1\r\nContent-Length: 99999999999\r\n\r\nx", "HTTP/1.1 413 Request Entity Too Large"},
      {"POST /args HTTP/1.1\r\nContent-Length: -99999999999\r\n\r\nx", "HTTP/1.1 413 Request Entity Too Large"},
      {post(form, pairs(120000)), "HTTP/1.1 413 Request Entity Too Large"},
      {post(parts, multipart(1025)), "HTTP/1.1 413 Request Entity Too Large"},
      {"POST /args?" + pairs(1000) + " HTTP/1.1\r\nContent-Type: " + form + "\r\nContent-Length: 120\r\n\r\n" +
           pairs(30).substr(0, 120),
       "HTTP/1.1 413 Request Entity Too Large"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(status(requestFrom("127.0.0.1", port_, c.request)), c.statusLine) << c.request.substr(0, 60);
}

TEST_F(HostileClients, ControlBytesOfThePathReachTheLogEscaped) {
  serve({});
  const struct {
    std::string path;
    std::string logged;
  } cases[] = {
      {"/e\x1b[2Jx", "/e\\x1b[2Jx"},
      {"/c\rforged [info] line", "/c\\x0dforged [info] line"},
      {"/t\tdel\x7f", "/t\\x09del\\x7f"},
      {"/ok/\xd0\xba", "/ok/\xd0\xba"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(status(requestFrom("127.0.0.1", port_, "GET " + c.path + " HTTP/1.1\r\n\r\n")),
              "HTTP/1.1 404 Not Found");
  const std::string log = logText();
  for (const auto& c : cases) EXPECT_NE(log.find("\"GET " + c.logged + " HTTP/1.1\" 404"), std::string::npos) << c.logged;
  EXPECT_EQ(log.find('\x1b'), std::string::npos);
  EXPECT_EQ(log.find('\r'), std::string::npos);
}

// Attacks a normal client must not notice: while each runs, a GET from
// another address is answered at once, and when the attackers leave the
// server holds no connection and no memory for them.
enum class Attack {
  kStalledBodies,        // two peers, 32 declared bodies each that never come, reconnecting
  kTrickledBodies,       // bodies sent a byte at a time
  kBodiesStalledMidway,  // half a large body, then nothing
  kNonReaders,           // large answers nobody reads
  kSlowReaders,          // large answers read slowly, to the end
  kFileNonReaders,       // file downloads nobody reads
  kChunkedUpload,        // a body framing the server does not take
  kPipelined,            // a second request sent before the first answer
};

class HostileClientsAttack : public HostileClients, public ::testing::WithParamInterface<int> {
 protected:
  Attack attack() const { return static_cast<Attack>(GetParam()); }
  // Generous: a request waiting for a worker held by an attacker waits
  // for the request time-out (10 s here).
  void probe() {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(status(requestFrom("127.0.0.1", port_, "GET /args HTTP/1.1\r\n\r\n")), "HTTP/1.1 200 OK");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 3s) << "a normal client waited";
  }
  void open(const char* source, const std::string& request, int rcvbuf = 0) {
    const int fd = httptest::connectTo(port_, rcvbuf, source);
    EXPECT_GE(fd, 0);
    if (fd >= 0) {
      EXPECT_TRUE(httptest::sendAll(fd, request));
      attackers_.fds.push_back(fd);
    }
  }
  void leave() {
    for (const int fd : attackers_.fds) ::close(fd);
    attackers_.fds.clear();
  }
  Connections attackers_;
};

TEST_P(HostileClientsAttack, OthersAreAnsweredAndNothingIsLeftAfterwards) {
  HttpServerOptions o;
  o.maxConnections = 8;
  o.timeoutSec = 10;
  o.bodyBudget = 2 << 20;
  o.answerBudget = 4 << 20;
  if (attack() == Attack::kTrickledBodies || attack() == Attack::kBodiesStalledMidway) o.timeoutSec = 2;
  if (attack() == Attack::kSlowReaders) o.answerBudget = http_limits::kAnswerBudget;
  HttpServer& server = serve(o);
  std::size_t mostHeld = 0;
  const auto sample = [&] { mostHeld = std::max(mostHeld, server.bytesHeld()); };
  const std::string mb = pattern().substr(0, 1 << 20);

  switch (attack()) {
    case Attack::kStalledBodies: {
      const auto end = std::chrono::steady_clock::now() + 5s;
      while (std::chrono::steady_clock::now() < end) {
        for (int i = 0; i < 64; ++i)
          open(i % 2 ? "127.0.0.2" : "127.0.0.3", "POST /args HTTP/1.1\r\nContent-Length: 809600\r\n\r\n");
        ASSERT_TRUE(eventually([&] { return server.openConnections() == 64; })) << server.openConnections();
        for (int i = 0; i < 3; ++i) probe();
        EXPECT_EQ(server.liveConnections(), 0) << "a body not sent holds no worker";
        sample();
        leave();  // and reconnect
      }
      EXPECT_EQ(mostHeld, 0u) << "a body not sent holds no memory";
      break;
    }
    case Attack::kTrickledBodies: {
      for (int i = 0; i < 4; ++i) open("127.0.9.1", "POST /args HTTP/1.1\r\nContent-Length: 100\r\n\r\n");
      const std::vector<int>& fds = attackers_.fds;
      std::atomic<bool> answered{false};
      std::thread trickle([&] {
        for (int k = 0; k < 40 && !answered; ++k) {
          for (const int fd : fds) ::send(fd, "x", 1, MSG_NOSIGNAL);
          std::this_thread::sleep_for(250ms);  // the attacker's pace, not synchronisation
        }
      });
      probe();
      for (const int fd : fds) EXPECT_EQ(status(httptest::readAll(fd)), "HTTP/1.1 408 Request Timeout");
      answered = true;
      trickle.join();
      break;
    }
    case Attack::kBodiesStalledMidway: {
      // Four halves of large bodies from one peer and one from another:
      // beyond the body budget the first peer's oldest goes.
      for (int i = 0; i < 5; ++i) {
        const int fd = httptest::connectTo(port_, 0, i < 4 ? "127.0.9.2" : "127.0.9.3");
        ASSERT_GE(fd, 0);
        attackers_.fds.push_back(fd);
        // May fail once the server dropped the body: that is the point.
        httptest::sendAll(fd, "POST /args HTTP/1.1\r\nContent-Length: 809600\r\n\r\n" + mb.substr(0, 500000));
        sample();
      }
      probe();
      sample();
      std::vector<std::string> statuses;
      for (const int fd : attackers_.fds) statuses.push_back(status(httptest::readAll(fd)));
      EXPECT_EQ(statuses.back(), "HTTP/1.1 408 Request Timeout") << "the lighter peer keeps its body until the time-out";
      EXPECT_EQ(statuses.front(), "") << "the heaviest peer's oldest body gave way";
      EXPECT_LE(mostHeld, o.bodyBudget);
      break;
    }
    case Attack::kNonReaders: {
      for (int i = 0; i < 64; ++i) open(("127.0.10." + std::to_string(1 + i / 16)).c_str(), "GET /mb HTTP/1.1\r\n\r\n", 2048);
      for (int i = 0; i < 5; ++i) {
        probe();
        sample();
      }
      ASSERT_TRUE(eventually([&] {
        sample();
        return server.liveConnections() == 0;
      }));
      EXPECT_GT(mostHeld, 0u);
      EXPECT_LE(mostHeld, o.answerBudget);
      break;
    }
    case Attack::kSlowReaders: {
      for (int i = 0; i < 16; ++i) open(i % 2 ? "127.0.11.1" : "127.0.11.2", "GET /mb HTTP/1.1\r\n\r\n", 2048);
      const std::vector<int>& fds = attackers_.fds;
      std::vector<std::string> replies(fds.size());
      std::vector<bool> reading(fds.size(), true);
      char buf[4096];
      for (int turn = 0; std::count(reading.begin(), reading.end(), true) > 0 && turn < 20000; ++turn) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
          if (!reading[i]) continue;
          const ssize_t n = ::recv(fds[i], buf, sizeof buf, MSG_DONTWAIT);
          if (n > 0) replies[i].append(buf, static_cast<std::size_t>(n));
          if (n == 0 || (n < 0 && errno != EAGAIN)) reading[i] = false;
        }
        if (turn % 100 == 0) probe();
        std::this_thread::sleep_for(2ms);  // the readers' pace, not synchronisation
      }
      for (const auto& raw : replies) {
        const auto reply = parseReply(raw);
        EXPECT_EQ(reply.statusLine, "HTTP/1.1 200 OK");
        EXPECT_TRUE(reply.body == mb) << reply.body.size();
      }
      break;
    }
    case Attack::kFileNonReaders: {
      // A file goes out a piece at a time: it holds a piece, not the file,
      // and is not dropped for the budget.
      for (int i = 0; i < 16; ++i) open("127.0.12.1", "GET /file HTTP/1.1\r\n\r\n", 2048);
      ASSERT_TRUE(eventually([&] {
        sample();
        return server.liveConnections() == 0 && server.openConnections() == 16 && server.bytesHeld() > 0;
      }));
      probe();
      sample();
      EXPECT_LE(mostHeld, 16 * 2 * http_limits::kSendChunk);
      const auto reply = parseReply(httptest::readAll(attackers_.fds.front(), 30));
      EXPECT_TRUE(reply.body == pattern()) << reply.body.size();
      break;
    }
    case Attack::kChunkedUpload:
      EXPECT_EQ(status(requestFrom("127.0.0.1", port_,
                                   "POST /args HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n5\r\nhello\r\n0\r\n\r\n")),
                "HTTP/1.1 411 Length Required");
      break;
    case Attack::kPipelined: {
      // One request per connection: the first is answered whole, the
      // second is read away, not answered and does not reset the first.
      const std::string raw = requestFrom("127.0.0.1", port_,
                                          "GET /args?a=1 HTTP/1.1\r\n\r\nGET /args?a=1&b=2 HTTP/1.1\r\n\r\n");
      EXPECT_EQ(parseReply(raw).body, "1");
      EXPECT_EQ(raw.find("HTTP/1.1", 1), std::string::npos) << raw;
      break;
    }
  }
  leave();
  EXPECT_TRUE(eventually([&] { return server.openConnections() == 0 && server.bytesHeld() == 0; }))
      << server.openConnections() << " connections, " << server.bytesHeld() << " bytes";
  probe();
}

const char* const kAttackNames[] = {"StalledBodies", "TrickledBodies", "BodiesStalledMidway", "NonReaders",
                                    "SlowReaders",   "FileNonReaders", "ChunkedUpload",       "Pipelined"};
INSTANTIATE_TEST_SUITE_P(Kinds, HostileClientsAttack, ::testing::Range(0, 8),
                         [](const auto& kind) { return std::string(kAttackNames[kind.param]); });

// The real unit stopped with SIGINT while large posts are half sent.
TEST(HostileClientsUnit, SigintWithLargePostsInFlightExitsZero) {
  const int port = testsupport::unusedLoopbackPort();
  const bfs::path dir = bfs::temp_directory_path() / bfs::unique_path("kovira-stop-%%%%-%%%%");
  bfs::create_directories(dir);
  const std::string cfg = (dir / "cfg.json").string();
  std::ofstream(cfg) << "[{\"type\": \"global\", \"webserver\": " << port << "}]";

  testsupport::ChildProcess unit({testsupport::binaryPath("kovira"), "--cfg", cfg});
  ASSERT_TRUE(unit.waitForOutput("Press \"Ctrl-C\" to quit...", 20s)) << unit.out();
  Connections posts;
  const std::string body(800000, 'x');
  for (int i = 0; i < 16; ++i) {
    const std::string source = "127.0.7." + std::to_string(1 + i);
    const int fd = httptest::connectTo(port, 0, source.c_str());
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(httptest::sendAll(fd, "POST /http_one/ HTTP/1.1\r\nContent-Type: application/x-www-form-urlencoded\r\n"
                                      "Content-Length: 800000\r\n\r\nx=" + body.substr(0, 300000)));
    posts.fds.push_back(fd);
  }
  // One complete post is answered: the others are in the server by now.
  EXPECT_EQ(status(requestFrom("127.0.7.100", port, "POST /http_one/ HTTP/1.1\r\nContent-Length: 800000\r\n\r\n" + body)),
            "HTTP/1.1 200 OK");
  unit.signal(SIGINT);
  EXPECT_EQ(unit.wait(20s), 0) << unit.err().substr(0, 2000);
  bfs::remove_all(dir);
}

}  // namespace
