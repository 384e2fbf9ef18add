#include "devices/keepalive.h"

#include "core/startup_functions.h"
#include "core/threads.h"
#include "core/working.h"
#include "devices/sttydev.h"

#include <cstdlib>
#include <iostream>

KeepAlive::KeepAlive(SttyDev& board, std::chrono::milliseconds period) : board_(board), period_(period) {}

KeepAlive::~KeepAlive() { stop(); }

void KeepAlive::start() {
  std::lock_guard lock(mutex_);
  if (thread_.joinable()) return;
  stopping_ = false;
  thread_ = std::thread([this] { run(); });
}

void KeepAlive::stop() {
  {
    std::lock_guard lock(mutex_);
    stopping_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable()) thread_.join();
}

void KeepAlive::run() {
  thread_name("watchdog");
  auto next = std::chrono::steady_clock::now();
  while (working > 0) {
    {
      std::unique_lock lock(mutex_);
      // Woken at least once a second so that `working` is seen.
      const auto until = std::min(next, std::chrono::steady_clock::now() + std::chrono::seconds(1));
      if (wake_.wait_until(lock, until, [this] { return stopping_; })) return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now < next) continue;
    // The schedule counts from before the exchange, which may wait for the
    // line or for a board that does not answer.
    next = now + period_;
    try {
      board_.cmd("ALIVE");
    } catch (const std::exception& e) {
      std::cout << "[ERR] watchdog: " << e.what() << std::endl;
    }
  }
}

namespace {
KeepAlive& keepAlive() {
  static KeepAlive alive(sttydev());
  return alive;
}
}  // namespace

namespace wd {
void modinit() {
  keepAlive().start();
  std::atexit([] { keepAlive().stop(); });
}
}  // namespace wd
