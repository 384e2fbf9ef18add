#include "core/working.h"

#include "config/config.h"

#include <csignal>

std::atomic<int> working{1};

void signalcallback(int sig) {
  if (sig == SIGINT) working = 0;
  if (sig == SIGHUP) kovira::config().reloadcnt.fetch_add(1, std::memory_order_relaxed);
}
