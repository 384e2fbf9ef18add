// The result queue: joins plate readings into tracks and runs the processing
// modules on four worker threads. The global `resproc` is built at static
// initialisation and starts its workers then; main runs operator() on the
// queue thread and calls stop() at shut-down. The destructor stops and joins
// the workers too, so leaving main early never aborts on running threads.
#pragma once

#include <atomic>
#include <thread>
#include <vector>

namespace kovira {

class ResQueue {
 public:
  static constexpr int kWorkers = 4;

  ResQueue();
  ~ResQueue();
  ResQueue(const ResQueue&) = delete;
  ResQueue& operator=(const ResQueue&) = delete;

  // Queue thread body ("kovria: queue"); returns once stopped.
  void operator()();
  // Sets the stop flag and joins every worker.
  void stop();

 private:
  void worker(int number);

  std::atomic<bool> stopped{false};
  std::vector<std::thread> workers;
};

}  // namespace kovira

extern kovira::ResQueue resproc;
