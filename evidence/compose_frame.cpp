#include "evidence/compose_frame.h"

#include "capture/cambuf.h"
#include "core/console.h"

#include <cstdio>

namespace evidence {
cv::Mat EvidenceFrame::grey() {
  return cv::Mat(height, width, CV_8UC1, bytes.data(), static_cast<std::size_t>(width));
}

bool framePresent(const kovira::CamBuf& store, unsigned frame) {
  const kovira::SmartBufferIterator it = store.frame(frame);
  return it.valid() && it->liveBytes().size != 0;
}

FrameCopyStatus copyEvidenceFrame(const kovira::CamBuf& store, unsigned frame, EvidenceFrame& out,
                                  const std::function<void()>& duringCopy) {
  // The iterator keeps the record's page alive for the whole copy.
  const kovira::SmartBufferIterator it = store.frame(frame);
  if (!it.valid()) return FrameCopyStatus::Gone;
  kovira::FrameCopy copy;
  copy.bytes = std::move(out.bytes);  // the caller's buffer, used again
  const FrameCopyStatus status = kovira::copyFrame(store, *it, copy, true, duringCopy);
  if (status != FrameCopyStatus::Copied) {
    out.bytes = std::move(copy.bytes);  // empty: refused bytes are never mistaken for a picture
    return status;
  }
  out.bytes = std::move(copy.bytes);
  out.type = static_cast<unsigned>(copy.type);
  out.width = copy.width;
  out.height = copy.height;
  out.sec = copy.sec;
  out.usec = copy.usec;
  return status;
}

bool copyFrameRegion(const kovira::CamBuf& store, unsigned frame, const cv::Rect& rect, cv::Mat& out) {
  const kovira::SmartBufferIterator it = store.frame(frame);
  if (!it.valid()) return false;
  kovira::FrameCopy copy;
  if (kovira::copyGreyRegion(store, *it, {rect.x, rect.y, rect.width, rect.height}, copy) !=
      FrameCopyStatus::Copied)
    return false;
  out = cv::Mat(copy.region.height, copy.region.width, CV_8UC1, copy.bytes.data()).clone();
  return true;
}

void reportFrameCopy(FrameCopyStatus status, const std::string& plate) {
  const char* text = nullptr;
  switch (status) {
    case FrameCopyStatus::Gone: text = "[ERR] кадр уже устарел: "; break;
    case FrameCopyStatus::Overwritten: text = "[ERR] кадр уже устарел (повторная проверка): "; break;
    case FrameCopyStatus::WrongType: text = "[ERR] invalid frametype: "; break;
    case FrameCopyStatus::Copied: return;
  }
  consoleLine(text + plate);
}

}  // namespace evidence
