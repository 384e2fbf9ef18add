// The process's HTTP server: one listener thread that accepts connections,
// collects requests and sends answers without blocking (http/listener.h), a
// pool of worker threads that serve one request per connection (http/
// connection_pool.h), and an ordered list of routes (Boost regular
// expressions matched against the whole request path, without the query,
// not decoded; the first registered match wins).
//
// Threads: the listener and the workers are owned by the server; stop()
// (also run by the destructor) ends the listener, lets requests in flight
// finish and joins every worker, within a bounded time whatever handlers
// do (see stop()).
// Routes may be subscribed and unsubscribed at any time (normally only by
// start-up functions, before start()).
//
// A handler fills the response from the read-only request and returns the
// HTTP status. An exception escaping a handler is logged and answered with
// the standard 500 page; the process lives on.
#pragma once

#include "http/limits.h"
#include "http/request.h"
#include "http/response.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

using http_callback_t = std::function<int(const HttpRequest&, HttpResponse&)>;

// One route.
struct http_handler_t {
  int id = 0;
  std::atomic<int> hits{0};  // statistics only
  std::string pattern;
  boost::regex regex;  // compiled once, at subscription
  http_callback_t handler;
};

struct HttpServerOptions {
  int timeoutSec = http_limits::kRequestTimeoutSec;  // header and body reading
  int sendTimeoutSec = http_limits::kSendTimeoutSec;  // per kSendChunk of response
  std::size_t bodyBudget = http_limits::kBodyBudget;      // request bodies being read
  std::size_t answerBudget = http_limits::kAnswerBudget;  // answers not yet taken
  int maxConnections = http_limits::kMaxConnections;  // worker threads
  int peerConnections = http_limits::kPeerConnectionsMax;
  int openConnections = 0;  // 0: a share of the descriptor limit
  std::string bindAddress = "0.0.0.0";  // IPv4 text
};

class ConnectionPool;
class Listener;

class HttpServer {
 public:
  // Subscribes the echo page "^/http_one/?(.*)$" as route 1.
  explicit HttpServer(HttpServerOptions options = {});
  // stop().
  ~HttpServer();

  HttpServer(const HttpServer&) = delete;
  HttpServer& operator=(const HttpServer&) = delete;

  // Appends a route and returns its id (1, 2, ...). An invalid pattern is a
  // programming error: three lines on stderr, then abort().
  int subscribe(std::string pattern, http_callback_t handler);
  void unsubscribe(int id);
  void unsubscribe(const std::string& pattern);

  // Listens on port (0: any free port, see boundPort) and starts the
  // listener. Failures are logged and give false; the routes stay.
  bool start(int port);
  bool start() { return start(1025); }
  // Stops accepting, closes connections still sending their request or
  // waiting for a worker, and gives requests in flight kStopGraceMs to
  // finish and their answers to go out. When handlers are still running
  // then, calls the grace hook once and waits at most kStopLastWaitMs more;
  // a handler stuck beyond that is left to the process exit (its worker is
  // detached and the pool kept). Idempotent; the server cannot be started
  // again.
  void stop();
  // The hook stop() calls when the grace time is over and requests are
  // still in flight, for example to end child processes handlers wait for.
  // Runs on the thread calling stop(); must not call back into the server.
  void onGraceExpired(std::function<void()> hook);

  // Dispatches to the first route whose pattern matches the whole path;
  // 404 (response untouched) when none does.
  int HandleRequest(HttpRequest& request, HttpResponse& response);

  // The port actually listened on, 0 before a successful start.
  int boundPort() const;
  // Times the route with this id was dispatched (0 for unknown ids).
  int hits(int id) const;
  // Requests being served now.
  int liveConnections() const;
  // Connections open now: sending their request, queued, served, taking
  // their answer.
  int openConnections() const;
  // Memory held now by request bodies being read and answers not yet taken
  // (each kind bounded by its budget).
  std::size_t bytesHeld() const;

 private:
  struct Core;

  static void ListeningThread(HttpServer* server);

  std::shared_ptr<Core> core_;
  std::unique_ptr<ConnectionPool> pool_;
  std::unique_ptr<Listener> loop_;
  int listenSocket_ = -1;
  std::thread listener_;
  std::atomic<int> stop_{0};
  std::mutex hookMutex_;
  std::function<void()> graceHook_;  // guarded by hookMutex_
};

// The process-wide server, built on first use.
HttpServer& webserver();
