// The recognition stage: reads plates in decoded pictures and pushes the
// readings into the result queue. main builds it over `resproc`, runs
// operator() on its own thread ("kovira: cnnproc"), sets `stop` and joins.
#pragma once

#include "recognition/resqueue.h"

#include <atomic>

namespace kovira {

class CnnProc {
 public:
  explicit CnnProc(ResQueue& queue);
  CnnProc(const CnnProc&) = delete;
  CnnProc& operator=(const CnnProc&) = delete;

  void operator()();

  std::atomic<bool> stop{false};

 private:
  ResQueue& results;
};

}  // namespace kovira
