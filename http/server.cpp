#include "http/server.h"

#include "core/log.h"
#include "http/echo_page.h"
#include "http/sockio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// At most one line a second for errors that can repeat at wire speed (a
// connection flood, descriptor exhaustion).
class LogThrottle {
 public:
  bool allow() {
    const auto t = Clock::now();
    if (t - last_ < std::chrono::seconds(1)) return false;
    last_ = t;
    return true;
  }

 private:
  Clock::time_point last_{};
};

// Errors after which the listener goes on accepting. Linux also reports
// network errors pending on the new connection through accept().
bool acceptRetryable(int err) {
  switch (err) {
    case EINTR: case EAGAIN: case ECONNABORTED: case EPROTO: case EPERM:
    case EMFILE: case ENFILE: case ENOBUFS: case ENOMEM:
    case ENETDOWN: case ENOPROTOOPT: case EHOSTDOWN: case ENONET: case EHOSTUNREACH:
    case ENETUNREACH: case ETIMEDOUT:
      return true;
    default:
      return false;
  }
}

// Resource exhaustion: accepting again at once would spin.
bool acceptNeedsBackoff(int err) { return err == EMFILE || err == ENFILE || err == ENOBUFS || err == ENOMEM; }

// Like std::stoi: leading blanks and sign, trailing text ignored, int range.
bool contentLength(const std::string& text, int& value) {
  try {
    value = std::stoi(text);
    return true;
  } catch (const std::logic_error&) {
    return false;
  }
}

bool inputPending(int socket) {
  char byte;
  return ::recv(socket, &byte, 1, MSG_PEEK | MSG_DONTWAIT) > 0;
}

// Closing a socket with unread input makes the kernel send RST, which can
// destroy the response before the client read it. So when input was left
// (a refused or ignored body), send FIN first and drain for a bounded time.
void closeConnection(int socket, bool inputLeft) {
  if (inputLeft || inputPending(socket)) {
    ::shutdown(socket, SHUT_WR);
    const auto end = Clock::now() + std::chrono::milliseconds(http_limits::kLingerMs);
    std::size_t drained = 0;
    char scratch[4096];
    while (drained < http_limits::kLingerMaxBytes) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
      if (left <= 0) break;
      pollfd p{socket, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left)) <= 0) break;
      const ssize_t n = ::recv(socket, scratch, sizeof scratch, MSG_DONTWAIT);
      if (n <= 0) break;
      drained += static_cast<std::size_t>(n);
    }
  }
  ::close(socket);
}

}  // namespace

struct HttpServer::Connection {
  int socket = -1;
  std::string peerip;
  int peerport = 0;
};

struct HttpServer::Core {
  explicit Core(HttpServerOptions o) : options(std::move(o)) {}

  // Finds the first route matching the whole path and runs its handler.
  int dispatch(HttpRequest& request, HttpResponse& response) {
    std::shared_ptr<http_handler_t> route;
    {
      std::shared_lock lock(mutex);
      for (const auto& r : routes) {
        if (boost::regex_match(request.path, request.match, r->regex)) {
          route = r;
          break;
        }
      }
    }
    if (!route) return 404;
    route->hits.fetch_add(1, std::memory_order_relaxed);
    // Called without the lock: a handler may take long, or subscribe.
    return route->handler(request, response);
  }

  // One request on one connection; returns whether request input was left
  // unread.
  bool serve(int socket, const std::string& peerip, int peerport) {
    HttpRequest request(socket, peerip.c_str(), peerport);
    HttpResponse response(socket, options.sendTimeoutSec);

    // 1. Header, byte-exact: the body stays in the socket.
    const int n = sock_readheader(socket, request.headerBuffer(), http_limits::kHeaderMax, options.timeoutSec);
    if (n < 0) {
      if (n == kSockTimeout) response.sendError(408);
      return false;
    }
    // 2. Request line and fields.
    if (!request.ParseHeader(n)) {
      response.sendError(400);
      return true;
    }
    // 3. Body of the declared length; a length that is not a number is
    // ignored, one above the limit (or negative) refused unread.
    std::string declared;
    int length = 0;
    if (request.head("Content-Length", declared) && contentLength(declared, length)) {
      if (static_cast<std::uint32_t>(length) > http_limits::kBodyMax) {
        response.sendError(413);
        return true;
      }
      if (length > 0) {
        request.body.resize(static_cast<std::size_t>(length));
        const int rc = sock_read(socket, reinterpret_cast<unsigned char*>(request.body.data()), length,
                                 options.timeoutSec);
        if (rc < 0) {
          if (rc == kSockTimeout) response.sendError(408);
          return false;
        }
        request.readPOSTargs();
      }
    }
    // 4. The page. The server is the safety net for handlers that throw on
    // input they did not validate.
    int status = 500;
    try {
      status = dispatch(request, response);
    } catch (const std::exception& e) {
      log_error_format("HttpServer: handler of \"%s\" failed: %s", request.path.c_str(), e.what());
      response.discard();
      status = 500;
    } catch (...) {
      log_error_format("HttpServer: handler of \"%s\" failed", request.path.c_str());
      response.discard();
      status = 500;
    }
    // 5. Access line, then the answer.
    log_info_format("%s:%d [*%d] \"%s %s HTTP/%s\" %03d - %d/%d", peerip.c_str(), peerport, socket,
                    request.method.c_str(), request.path.c_str(), request.version.c_str(), status,
                    static_cast<int>(request.body.size()), static_cast<int>(response.bodySize()));
    if (status == 200 || status == 302) {
      if (request.supportcompress()) response.compress = HttpResponse::kCompressAllowed;
      response.sendme(status);
    } else {
      response.sendError(status);
    }
    return false;
  }

  // Hands an accepted connection to an idle connection thread; false when
  // none is waiting.
  bool handToIdle(Connection& c) {
    std::lock_guard lock(poolMutex);
    if (idle <= static_cast<int>(pending.size())) return false;
    pending.push_back(std::move(c));
    poolCv.notify_one();
    return true;
  }

  // Called by a connection thread after its connection closed: waits a
  // while for the next one. False when the thread should end.
  bool nextConnection(Connection& c) {
    std::unique_lock lock(poolMutex);
    ++idle;
    const bool got = poolCv.wait_for(lock, std::chrono::milliseconds(http_limits::kIdleThreadKeepMs),
                                     [&] { return !pending.empty() || stopping; });
    --idle;
    if (!got || pending.empty()) return false;
    c = std::move(pending.front());
    pending.pop_front();
    return true;
  }

  void stop() {
    std::lock_guard lock(poolMutex);
    stopping = true;
    poolCv.notify_all();
  }

  int busy() const {
    std::lock_guard lock(poolMutex);
    return threads.load() - idle;
  }

  const HttpServerOptions options;
  mutable std::shared_mutex mutex;
  std::vector<std::shared_ptr<http_handler_t>> routes;  // guarded by mutex
  int lastId = 0;                                         // guarded by mutex

  // Connection threads, at most options.maxConnections. A thread serves one
  // connection at a time; after it, it waits briefly for the next accepted
  // one instead of ending, since creating a thread costs more than a small
  // page. Every pending connection has an idle thread counted for it.
  std::atomic<int> threads{0};
  mutable std::mutex poolMutex;
  std::condition_variable poolCv;
  std::deque<Connection> pending;  // guarded by poolMutex
  int idle = 0;                    // guarded by poolMutex
  bool stopping = false;           // guarded by poolMutex
};

HttpServer::HttpServer(HttpServerOptions options) : core_(std::make_shared<Core>(std::move(options))) {
  subscribe("^/http_one/?(.*)$", httpEchoPage);
}

HttpServer::~HttpServer() {
  stop_ = 1;
  core_->stop();
  if (listenSocket_ >= 0) ::shutdown(listenSocket_, SHUT_RDWR);
  if (listener_.joinable()) listener_.join();
  if (listenSocket_ >= 0) ::close(listenSocket_);
}

int HttpServer::subscribe(std::string pattern, http_callback_t handler) {
  auto route = std::make_shared<http_handler_t>();
  try {
    route->regex.assign(pattern);
  } catch (const boost::regex_error& e) {
    std::cerr << "http: invalid regular expression:" << std::endl << e.what() << std::endl << pattern << std::endl;
    std::abort();
  }
  route->pattern = std::move(pattern);
  route->handler = std::move(handler);
  std::unique_lock lock(core_->mutex);
  route->id = ++core_->lastId;
  core_->routes.push_back(route);
  return route->id;
}

void HttpServer::unsubscribe(int id) {
  std::unique_lock lock(core_->mutex);
  std::erase_if(core_->routes, [id](const auto& r) { return r->id == id; });
}

void HttpServer::unsubscribe(const std::string& pattern) {
  std::unique_lock lock(core_->mutex);
  std::erase_if(core_->routes, [&](const auto& r) { return r->pattern == pattern; });
}

bool HttpServer::start(int port) {
  if (listener_.joinable()) {
    log_error("HttpServer: already started");
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_error_format("HttpServer: Socket creating error: %d", errno);
    return false;
  }
  const int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  if (::inet_pton(AF_INET, core_->options.bindAddress.c_str(), &addr.sin_addr) != 1) addr.sin_addr.s_addr = INADDR_ANY;
  if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0) {
    log_error_format("HttpServer: Socket binding error: %d", errno);
    ::close(fd);
    return false;
  }
  if (::listen(fd, http_limits::kListenBacklog) < 0) {
    log_error_format("HttpServer: Socket listening error: %d", errno);
    ::close(fd);
    return false;
  }
  listenSocket_ = fd;
  try {
    listener_ = std::thread(ListeningThread, this);
  } catch (const std::system_error& e) {
    log_error_format("HttpServer: listener not started: %s", e.what());
    listenSocket_ = -1;
    ::close(fd);
    return false;
  }
  return true;
}

int HttpServer::HandleRequest(HttpRequest& request, HttpResponse& response) {
  return core_->dispatch(request, response);
}

int HttpServer::boundPort() const {
  if (listenSocket_ < 0) return 0;
  sockaddr_in addr{};
  socklen_t len = sizeof addr;
  if (::getsockname(listenSocket_, reinterpret_cast<sockaddr*>(&addr), &len) < 0) return 0;
  return ntohs(addr.sin_port);
}

int HttpServer::hits(int id) const {
  std::shared_lock lock(core_->mutex);
  for (const auto& r : core_->routes)
    if (r->id == id) return r->hits.load(std::memory_order_relaxed);
  return 0;
}

int HttpServer::liveConnections() const { return core_->busy(); }

void HttpServer::ListeningThread(HttpServer* server) {
  Core& core = *server->core_;
  LogThrottle errorLog;
  LogThrottle refusalLog;
  while (server->stop_ == 0) {
    sockaddr_in peer{};
    socklen_t len = sizeof peer;
    const int fd = ::accept4(server->listenSocket_, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
    if (fd < 0) {
      const int err = errno;
      if (server->stop_ != 0) break;
      if (!acceptRetryable(err)) {
        log_error_format("HttpServer: Socket accepting error: %d", err);
        break;
      }
      // An outside supervisor polls this server: the listener must outlive
      // descriptor exhaustion and aborted handshakes.
      if (err != EINTR && errorLog.allow()) log_error_format("HttpServer: Socket accepting error: %d", err);
      if (acceptNeedsBackoff(err)) std::this_thread::sleep_for(std::chrono::milliseconds(http_limits::kAcceptBackoffMs));
      continue;
    }

    const int sndbuf = http_limits::kSocketSendBuffer;
    if (::setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof sndbuf) < 0)
      log_error_format("HttpServer: Socket setsockopt (SO_SNDBUF) error: %d", errno);
    // A response goes out in many small sends and the connection is closed
    // right after: corked, the kernel sends full segments, and close()
    // pushes the rest at once (no wait for the client's delayed ACK).
    const int cork = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_CORK, &cork, sizeof cork);

    char ip[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &peer.sin_addr, ip, sizeof ip);
    Connection connection{fd, ip, static_cast<int>(ntohs(peer.sin_port))};
    if (core.handToIdle(connection)) continue;

    if (core.threads.fetch_add(1) >= core.options.maxConnections) {
      core.threads.fetch_sub(1);
      ::close(fd);
      if (refusalLog.allow())
        log_warning_format("HttpServer: %d connections busy, connection refused", core.options.maxConnections);
      continue;
    }
    try {
      std::thread(ReadingThread, server->core_, std::move(connection)).detach();
    } catch (const std::system_error& e) {
      core.threads.fetch_sub(1);
      ::close(fd);
      if (errorLog.allow()) log_error_format("HttpServer: connection thread not started: %s", e.what());
    }
  }
}

void HttpServer::ReadingThread(std::shared_ptr<Core> core, Connection connection) {
  do {
    bool inputLeft = false;
    try {
      inputLeft = core->serve(connection.socket, connection.peerip, connection.peerport);
    } catch (const std::exception& e) {
      // Out of memory for a large body and the like: this request is lost,
      // the process is not.
      log_error_format("HttpServer: connection from %s failed: %s", connection.peerip.c_str(), e.what());
    } catch (...) {
      log_error_format("HttpServer: connection from %s failed", connection.peerip.c_str());
    }
    closeConnection(connection.socket, inputLeft);
  } while (core->nextConnection(connection));
  core->threads.fetch_sub(1);
}

HttpServer& webserver() {
  static HttpServer server;
  return server;
}
