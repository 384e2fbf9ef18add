#include "http/server.h"

#include "core/log.h"
#include "http/connection_pool.h"
#include "http/echo_page.h"
#include "http/listener.h"
#include "http/sockio.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>
#include <cstring>
#include <iostream>
#include <mutex>
#include <shared_mutex>
#include <system_error>
#include <vector>

namespace {

// The overall connection cap when none is configured: a share of the
// descriptor limit, the rest is left to the unit's files, devices and
// clients.
int defaultOpenConnections() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY)
    return http_limits::kOpenConnectionsMax;
  const double share = static_cast<double>(limit.rlim_cur) * http_limits::kOpenShareOfDescriptors;
  return static_cast<int>(
      std::clamp<double>(share, http_limits::kOpenConnectionsMin, http_limits::kOpenConnectionsMax));
}

}  // namespace

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

  // One request whose header and body the listener has read. The answer
  // is rendered into served.answer; the pool and the listener send it.
  ConnectionPool::Served serve(HttpConnection& c) {
    ConnectionPool::Served served;
    HttpRequest request(c.socket, c.peerip.c_str(), c.peerport);
    HttpResponse response(c.socket, options.sendTimeoutSec);
    response.stageTo(&served.answer);
    const int n = static_cast<int>(std::min<std::size_t>(c.header.size(), http_limits::kHeaderMax));
    std::memcpy(request.headerBuffer(), c.header.data(), static_cast<std::size_t>(n));
    c.header = std::string();

    // 1. Request line and fields.
    if (!request.ParseHeader(n)) {
      response.sendError(400);
      served.inputLeft = true;
      return served;
    }
    if (request.argumentsRefused()) {
      response.sendError(413);
      return served;
    }
    // 2. The body the listener collected (it refused lengths above the
    // limit and chunked bodies itself).
    if (!c.body.empty()) {
      served.bytesHeld = c.body.size();
      request.body = std::move(c.body);
      request.readPOSTargs();
      if (request.argumentsRefused()) {
        response.sendError(413);
        return served;
      }
    }
    // 3. The page. The server is the safety net for handlers that throw on
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
    // 4. Access line, then the answer.
    log_info_format("%s:%d [*%d] \"%s %s HTTP/%s\" %03d - %d/%d", c.peerip.c_str(), c.peerport, c.socket,
                    request.method.c_str(), request.path.c_str(), request.version.c_str(), status,
                    static_cast<int>(request.body.size()), static_cast<int>(response.bodySize()));
    if (status == 200 || status == 302) {
      if (request.supportcompress()) response.compress = HttpResponse::kCompressAllowed;
      response.sendme(status);
    } else {
      response.sendError(status);
    }
    return served;
  }

  // The pool's view of serve: nothing escapes a worker.
  ConnectionPool::Served serveSafely(HttpConnection& c) {
    try {
      return serve(c);
    } catch (const std::exception& e) {
      // Out of memory for a large body and the like: this request is lost,
      // the process is not.
      log_error_format("HttpServer: connection from %s failed: %s", c.peerip.c_str(), e.what());
    } catch (...) {
      log_error_format("HttpServer: connection from %s failed", c.peerip.c_str());
    }
    return {};
  }

  const HttpServerOptions options;
  mutable std::shared_mutex mutex;
  std::vector<std::shared_ptr<http_handler_t>> routes;  // guarded by mutex
  int lastId = 0;                                         // guarded by mutex
};

HttpServer::HttpServer(HttpServerOptions options) : core_(std::make_shared<Core>(std::move(options))) {
  subscribe("^/http_one/?(.*)$", httpEchoPage);
}

HttpServer::~HttpServer() { stop(); }

void HttpServer::onGraceExpired(std::function<void()> hook) {
  std::lock_guard lock(hookMutex_);
  graceHook_ = std::move(hook);
}

void HttpServer::stop() {
  stop_ = 1;
  const auto graceEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(http_limits::kStopGraceMs);
  if (loop_) loop_->stopAccepting();
  bool joined = true;
  if (pool_) {
    std::function<void()> hook;
    {
      std::lock_guard lock(hookMutex_);
      hook = graceHook_;
    }
    joined = pool_->stop(std::chrono::milliseconds(http_limits::kStopGraceMs), hook,
                         std::chrono::milliseconds(http_limits::kStopLastWaitMs));
  }
  // Answers already handed to the listener go out within the grace time.
  if (loop_) loop_->finish(graceEnd);
  if (listener_.joinable()) listener_.join();
  if (pool_) pool_->detachDelivery();
  loop_.reset();  // closes what is left
  // A worker still in a handler returns into the pool some time: the pool
  // stays to the process exit.
  if (!joined) static_cast<void>(pool_.release());
  if (listenSocket_ >= 0) {
    ::close(listenSocket_);
    listenSocket_ = -1;
  }
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
  if (listener_.joinable() || stop_ != 0) {
    log_error("HttpServer: already started");
    return false;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
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
  const HttpServerOptions& o = core_->options;
  // Workers hand answers that do not go out at once to the listener; the
  // pool stops delivering (under its lock) before the listener goes.
  auto pool = std::make_unique<ConnectionPool>(
      o.maxConnections, [core = core_](HttpConnection& c) { return core->serveSafely(c); },
      [this](HttpConnection&& c, ConnectionPool::Served&& served) { loop_->deliver(std::move(c), std::move(served)); });
  const Listener::Limits limits{o.timeoutSec,
                                std::max(1, o.sendTimeoutSec),
                                std::max(1, o.peerConnections),
                                o.openConnections > 0 ? o.openConnections : defaultOpenConnections(),
                                o.bodyBudget,
                                o.answerBudget};
  auto loop = std::make_unique<Listener>(fd, limits, *pool);
  if (!loop->ok()) {
    log_error_format("HttpServer: listener not set up: %d", errno);
    ::close(fd);
    return false;
  }
  listenSocket_ = fd;
  pool_ = std::move(pool);
  loop_ = std::move(loop);
  try {
    listener_ = std::thread(ListeningThread, this);
  } catch (const std::system_error& e) {
    log_error_format("HttpServer: listener not started: %s", e.what());
    loop_.reset();
    pool_.reset();
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

int HttpServer::liveConnections() const { return pool_ ? pool_->busy() : 0; }

int HttpServer::openConnections() const { return pool_ ? pool_->openTotal() : 0; }

std::size_t HttpServer::bytesHeld() const { return loop_ ? loop_->held() : 0; }

void HttpServer::ListeningThread(HttpServer* server) {
  try {
    server->loop_->run();
  } catch (const std::exception& e) {
    // Out of memory with thousands of connections: the server stops
    // accepting, the process and the requests in service go on.
    log_error_format("HttpServer: listener ended: %s", e.what());
  }
}

HttpServer& webserver() {
  static HttpServer server;
  return server;
}
