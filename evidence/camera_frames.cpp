// getframe/framedate over a camera's frame store.
#include "capture/cam.h"
#include "capture/framecopy.h"
#include "evidence/compose_frame.h"
#include "evidence/frameaccess.h"

#include <string>

bool getframe(kovira::Camera& camera, unsigned int frame, cv::Mat& out) {
  const kovira::CamBuf& store = *camera.cambuf;
  // The iterator keeps the record's page alive for the whole call.
  const kovira::SmartBufferIterator it = store.frame(frame);
  kovira::FrameCopy copy;
  // A private copy: a view in place could change under the caller as soon
  // as the writer reaches it.
  const kovira::FrameCopyStatus status =
      it.valid() ? kovira::copyFrame(store, *it, copy, true) : kovira::FrameCopyStatus::Gone;
  if (status != kovira::FrameCopyStatus::Copied) {
    evidence::reportFrameCopy(status, std::to_string(frame));
    return false;
  }
  out = cv::Mat(copy.height, copy.width, CV_8UC1, copy.bytes.data()).clone();
  return true;
}

std::string framedate(kovira::Camera& camera, const char* format, unsigned int frame) {
  const kovira::SmartBufferIterator it = camera.cambuf->frame(frame);
  if (!it.valid()) return {};
  return framedate(format, it->sec.load(), it->usec.load());
}
