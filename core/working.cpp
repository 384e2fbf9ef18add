#include "core/working.h"

#include <csignal>

std::atomic<int> working{1};
std::atomic<unsigned> reloadRequests{0};

namespace {
std::atomic<int> status{0};
}

void signalcallback(int sig) {
  if (sig == SIGINT) working = 0;
  if (sig == SIGHUP) reloadRequests.fetch_add(1, std::memory_order_relaxed);
}

void requestExit(int code) {
  int none = 0;
  status.compare_exchange_strong(none, code);
  working = 0;
}

int exitStatus() { return status.load(); }
