// Where the decode stage hands its pictures: the recognition stage
// implements it, start-up wires the two together.
//
// Threading: both calls come from the decode thread (and queueSize from
// pages); an implementation guards its own queue.
#pragma once

#include "codec/decodedframe.h"

#include <cstdint>

namespace kovira {

class PictureSink {
 public:
  virtual ~PictureSink() = default;
  // Queues the picture: the entry takes it over (a caller that keeps its
  // own copy shares the pixel buffer; the bytes are never copied again).
  virtual void queueFrame(DecodedFrame frame) = 0;
  // Pictures waiting; the decode stage holds back while there are many.
  virtual std::uint32_t queueSize() = 0;
};

}  // namespace kovira
