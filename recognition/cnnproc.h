// The recognition stage: reads plates in decoded pictures and pushes the
// readings into the result queue. main builds it over `resproc`, runs
// operator() on its own thread ("kovira: cnnproc"), sets `stop` and joins.
// The decode stage hands it pictures through queueFrame from its own thread.
#pragma once

#include "codec/decodedframe.h"
#include "recognition/resqueue.h"

#include <atomic>
#include <deque>
#include <mutex>

namespace kovira {

class CnnProc {
 public:
  explicit CnnProc(ResQueue& queue);
  CnnProc(const CnnProc&) = delete;
  CnnProc& operator=(const CnnProc&) = delete;

  void operator()();

  // Appends a copy sharing the pixels; never waits except for the mutex.
  void queueFrame(DecodedFrame& frame);
  // Pictures waiting for recognition.
  std::uint32_t queueSize();

  std::atomic<bool> stop{false};

 private:
  ResQueue& results;
  std::mutex queueMutex;
  std::deque<DecodedFrame> queue;  // guarded by queueMutex
};

}  // namespace kovira
