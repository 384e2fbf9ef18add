// The unit's stages behind its cameras for in-process tests: the decode
// stage over the recognition stage and the process-wide result queue, each
// on its own thread; the destructor stops and joins them. One per process
// (the result queue cannot start again once stopped).
#pragma once

#include "codec/decode.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_binding.h"

#include <functional>
#include <thread>

namespace testsupport {

class RoadStages {
 public:
  // The recognition stage reads the scene through the binding: bound first.
  RoadStages() : bound_((kovira::bindSceneAccess(), true)) {}
  ~RoadStages() {
    decode_.stop = true;
    recognition_.stop = true;
    decodeThread_.join();
    cnnThread_.join();
    resproc.stop();
    queueThread_.join();
  }
  RoadStages(const RoadStages&) = delete;
  RoadStages& operator=(const RoadStages&) = delete;

 private:
  bool bound_;
  kovira::CnnProc recognition_{resproc};
  kovira::Decode decode_{recognition_};
  std::thread queueThread_{std::ref(resproc)};
  std::thread cnnThread_{std::ref(recognition_)};
  std::thread decodeThread_{std::ref(decode_)};
};

}  // namespace testsupport
