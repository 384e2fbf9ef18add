#include "capture/framecopy.h"

#include "capture/cambuf.h"

#include <algorithm>
#include <atomic>

namespace kovira {
namespace {

// The record's bytes, the writer's distance to them and the move generation
// at one moment.
struct Look {
  FrameBytes bytes;
  std::uint64_t distance = 0;
  std::uint64_t generation = 0;
};

Look look(const CamBuf& store, const FrameMetadata& record) {
  Look l;
  l.generation = store.moveGeneration();
  l.bytes = record.liveBytes();
  if (l.bytes.present()) l.distance = store.obsDist(l.bytes.data);
  return l;
}

bool safeToCopy(const Look& before) {
  return (before.generation & 1u) == 0 && before.distance > kWriterMarginFrames * before.bytes.size;
}

bool unchanged(const Look& before, const Look& after) {
  return after.bytes.present() && after.bytes.data == before.bytes.data && after.bytes.size == before.bytes.size &&
         after.distance != 0 && after.distance <= before.distance && after.generation == before.generation;
}

void readFields(const FrameMetadata& record, FrameCopy& out) {
  out.type = record.type;
  out.width = record.width.load();
  out.height = record.height.load();
  out.sec = record.sec.load();
  out.usec = record.usec.load();
  out.position = record.position;
}

FrameCopyStatus finish(const CamBuf& store, const FrameMetadata& record, const Look& before, FrameCopy& out,
                       const std::function<void()>& duringCopy) {
  if (duringCopy) duringCopy();
  std::atomic_thread_fence(std::memory_order_acquire);
  if (!unchanged(before, look(store, record))) {
    out.bytes.clear();
    return FrameCopyStatus::Overwritten;
  }
  return FrameCopyStatus::Copied;
}

// A copy that hands out nothing leaves no bytes. The buffer is cleared only
// here, not before a copy: growing a cleared vector would zero every byte
// that the copy overwrites anyway.
FrameCopyStatus without(FrameCopy& out, FrameCopyStatus status) {
  out.bytes.clear();
  return status;
}

}  // namespace

bool isWholeGrey(FrameType type, std::int32_t width, std::int32_t height, std::uint64_t size) {
  if (type != FRAME_GRAY8 || width <= 0 || height <= 0) return false;
  return size >= static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height);
}

FrameCopyStatus copyFrame(const CamBuf& store, const FrameMetadata& record, FrameCopy& out, bool greyOnly,
                          const std::function<void()>& duringCopy) {
  readFields(record, out);
  const Look before = look(store, record);
  out.size = before.bytes.size;
  if (!before.bytes.present()) return without(out, FrameCopyStatus::Gone);
  if (greyOnly && !isWholeGrey(out.type, out.width, out.height, before.bytes.size))
    return without(out, FrameCopyStatus::WrongType);
  if (!safeToCopy(before)) return without(out, FrameCopyStatus::Overwritten);
  out.region = {0, 0, std::max(out.width, 0), std::max(out.height, 0)};
  out.bytes.resize(static_cast<std::size_t>(before.bytes.size));
  copyRingBytes(out.bytes.data(), before.bytes.data, out.bytes.size());
  return finish(store, record, before, out, duringCopy);
}

FrameCopyStatus copyGreyRegion(const CamBuf& store, const FrameMetadata& record, const FrameRect& rect,
                               FrameCopy& out, const std::function<void()>& duringCopy) {
  readFields(record, out);
  const Look before = look(store, record);
  out.size = before.bytes.size;
  if (!before.bytes.present()) return without(out, FrameCopyStatus::Gone);
  if (!isWholeGrey(out.type, out.width, out.height, before.bytes.size))
    return without(out, FrameCopyStatus::WrongType);
  // Clip in 64 bits: a caller's x + width may not fit an int.
  const std::int64_t left = std::max<std::int64_t>(rect.x, 0);
  const std::int64_t top = std::max<std::int64_t>(rect.y, 0);
  const std::int64_t right = std::min<std::int64_t>(std::int64_t{rect.x} + rect.width, out.width);
  const std::int64_t bottom = std::min<std::int64_t>(std::int64_t{rect.y} + rect.height, out.height);
  if (right - left < 1 || bottom - top < 1) return without(out, FrameCopyStatus::WrongType);
  if (!safeToCopy(before)) return without(out, FrameCopyStatus::Overwritten);
  out.region = {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left),
                static_cast<int>(bottom - top)};
  const auto rowBytes = static_cast<std::size_t>(out.region.width);
  out.bytes.resize(rowBytes * static_cast<std::size_t>(out.region.height));
  for (int row = 0; row < out.region.height; ++row) {
    const std::uint8_t* src = before.bytes.data +
                              static_cast<std::uint64_t>(top + row) * static_cast<std::uint64_t>(out.width) +
                              static_cast<std::uint64_t>(left);
    copyRingBytes(out.bytes.data() + rowBytes * static_cast<std::size_t>(row), src, rowBytes);
  }
  return finish(store, record, before, out, duringCopy);
}

}  // namespace kovira
