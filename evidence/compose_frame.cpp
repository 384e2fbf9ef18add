#include "evidence/compose_frame.h"

#include "capture/cambuf.h"
#include "core/console.h"

#include <cstdio>
#include <cstring>

namespace evidence {
namespace {

// The record's bytes as they are now, and the writer's distance to them.
struct Look {
  kovira::FrameBytes bytes;
  std::uint64_t distance = 0;
};

Look look(const kovira::CamBuf& store, const kovira::FrameMetadata& record) {
  Look l;
  l.bytes = record.liveBytes();
  if (l.bytes.present()) l.distance = store.obsDist(l.bytes.data);
  return l;
}

// The writer only ever comes closer to bytes it has not reached; a larger
// distance afterwards means it went past them (or the ring restarted).
bool unchanged(const Look& before, const Look& after) {
  return after.bytes.present() && after.bytes.data == before.bytes.data && after.bytes.size == before.bytes.size &&
         after.distance != 0 && after.distance <= before.distance;
}

bool farFromWriter(const Look& l) {
  return l.distance > kWriterMarginFrames * l.bytes.size;
}

bool wholeGrey(unsigned type, int width, int height, std::uint64_t size) {
  if (type != FRAME_GRAY8 || width <= 0 || height <= 0) return false;
  return size >= static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
}

}  // namespace

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
  const Look before = look(store, *it);
  if (!before.bytes.present()) return FrameCopyStatus::Gone;
  if (!farFromWriter(before)) return FrameCopyStatus::Overwritten;

  EvidenceFrame copy;
  copy.bytes = std::move(out.bytes);  // the caller's buffer, used again
  copy.type = static_cast<unsigned>(it->type);
  copy.width = it->width.load();
  copy.height = it->height.load();
  copy.sec = it->sec.load();
  copy.usec = it->usec.load();
  copy.bytes.resize(static_cast<std::size_t>(before.bytes.size));
  std::memcpy(copy.bytes.data(), before.bytes.data, copy.bytes.size());
  if (duringCopy) duringCopy();

  FrameCopyStatus status = FrameCopyStatus::Copied;
  if (!unchanged(before, look(store, *it))) {
    status = FrameCopyStatus::Overwritten;
  } else if (!wholeGrey(copy.type, copy.width, copy.height, copy.bytes.size())) {
    status = FrameCopyStatus::WrongType;
  }
  if (status != FrameCopyStatus::Copied) {
    copy.bytes.clear();  // refused bytes are never mistaken for a picture
    out.bytes = std::move(copy.bytes);
    return status;
  }
  out = std::move(copy);
  return status;
}

bool copyFrameRegion(const kovira::CamBuf& store, unsigned frame, const cv::Rect& rect, cv::Mat& out) {
  const kovira::SmartBufferIterator it = store.frame(frame);
  if (!it.valid()) return false;
  const Look before = look(store, *it);
  if (!before.bytes.present() || !farFromWriter(before)) return false;
  const int width = it->width.load();
  const int height = it->height.load();
  if (!wholeGrey(static_cast<unsigned>(it->type), width, height, before.bytes.size)) return false;
  const cv::Rect clipped = rect & cv::Rect(0, 0, width, height);
  if (clipped.empty()) return false;

  const cv::Mat inPlace(height, width, CV_8UC1, before.bytes.data, static_cast<std::size_t>(width));
  cv::Mat copy = inPlace(clipped).clone();
  if (!unchanged(before, look(store, *it))) return false;
  out = std::move(copy);
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
