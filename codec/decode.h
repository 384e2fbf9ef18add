// The decode stage: cuts unprocessed frame sequences from the cameras' frame
// stores, decodes them and queues the pictures on the recognition stage.
// main runs operator() on its own thread ("kovira: decode"), sets `stop`
// and joins.
#pragma once

#include "recognition/cnnproc.h"

#include <atomic>

namespace kovira {

class Decode {
 public:
  explicit Decode(CnnProc& cnn);
  Decode(const Decode&) = delete;
  Decode& operator=(const Decode&) = delete;

  void operator()();

  std::atomic<bool> stop{false};

 private:
  CnnProc& recognition;
};

}  // namespace kovira
