#include "recognition/resqueue.h"

#include "core/threads.h"
#include "core/working.h"

#include <chrono>
#include <iostream>
#include <string>
#include <system_error>

kovira::ResQueue resproc;

namespace kovira {

namespace {
constexpr auto kWorkerIdle = std::chrono::milliseconds(250);
constexpr auto kQueueTick = std::chrono::milliseconds(100);
}  // namespace

ResQueue::ResQueue() {
  for (int i = 1; i <= kWorkers; ++i) {
    try {
      workers.emplace_back(&ResQueue::worker, this, i);
    } catch (const std::system_error& e) {
      std::cout << "[ERR] result queue worker " << i << " not started: " << e.what() << std::endl;
    }
  }
}

// Leaving main early (help, a bad configuration) must not abort on joinable
// threads; the workers are joined quietly.
ResQueue::~ResQueue() {
  stopped = true;
  for (auto& w : workers)
    if (w.joinable()) w.join();
}

void ResQueue::worker(int number) {
  thread_name("worker: " + std::to_string(number));
  while (!stopped && working >= 1) std::this_thread::sleep_for(kWorkerIdle);
}

void ResQueue::operator()() {
  thread_name("kovria: queue");
  while (!stopped && working >= 1) std::this_thread::sleep_for(kQueueTick);
}

void ResQueue::stop() {
  stopped = true;
  int number = 0;
  for (auto& w : workers) {
    ++number;
    if (!w.joinable()) continue;
    std::cout << "[DBG] ResQueue is waiting for worker N " << number << " to be joined" << std::endl;
    w.join();
  }
}

}  // namespace kovira
