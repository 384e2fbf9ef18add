#include "capture/framemeta.h"

#include <utility>

namespace kovira {

namespace {
constexpr auto kRelaxed = std::memory_order_relaxed;
}

FrameMetadata::FrameMetadata(const FrameMetadata& other) { copyFrom(other); }

FrameMetadata& FrameMetadata::operator=(const FrameMetadata& other) {
  if (this != &other) {
    delete results_.exchange(nullptr, std::memory_order_acq_rel);
    copyFrom(other);
  }
  return *this;
}

FrameMetadata::~FrameMetadata() { delete results_.load(std::memory_order_acquire); }

void FrameMetadata::copyFrom(const FrameMetadata& other) {
  type = other.type;
  width.store(other.width.load(kRelaxed), kRelaxed);
  height.store(other.height.load(kRelaxed), kRelaxed);
  seqStart.store(other.seqStart.load(kRelaxed), kRelaxed);
  data.store(other.data.load(kRelaxed), kRelaxed);
  size.store(other.size.load(kRelaxed), kRelaxed);
  sec.store(other.sec.load(kRelaxed), kRelaxed);
  usec.store(other.usec.load(kRelaxed), kRelaxed);
  ts = other.ts;
  position = other.position;
  camTimestamp.store(other.camTimestamp.load(kRelaxed), kRelaxed);
  exposure.store(other.exposure.load(kRelaxed), kRelaxed);
  gain.store(other.gain.load(kRelaxed), kRelaxed);
  flags.store(other.flags.load(kRelaxed), kRelaxed);
  const auto* readings = other.results_.load(std::memory_order_acquire);
  results_.store(readings ? new std::vector<CNN_RESULT>(*readings) : nullptr,
                 std::memory_order_release);
}

FrameBytes FrameMetadata::liveBytes() const {
  // Acquire pairs with the writer's invalidation: once the flag or the
  // cleared size is seen, the older byte fields are not trusted.
  FrameBytes b;
  b.size = size.load(std::memory_order_acquire);
  b.data = data.load(std::memory_order_acquire);
  b.seqStart = seqStart.load(std::memory_order_acquire);
  if ((flags.load(std::memory_order_acquire) & FRAME_OBS) != 0 || !b.present()) return {};
  return b;
}

std::span<const CNN_RESULT> FrameMetadata::results() const {
  const auto* readings = results_.load(std::memory_order_acquire);
  if (readings == nullptr) return {};
  return {readings->data(), readings->size()};
}

bool FrameMetadata::publishResults(std::vector<CNN_RESULT> readings) {
  auto* fresh = new std::vector<CNN_RESULT>(std::move(readings));
  const std::vector<CNN_RESULT>* expected = nullptr;
  if (results_.compare_exchange_strong(expected, fresh, std::memory_order_acq_rel)) return true;
  delete fresh;
  return false;
}

std::uint64_t seqenceSizeBeforeFrame(const FrameMetadata& record) {
  const auto* data = record.data.load(kRelaxed);
  if (data == nullptr) return 0;
  const auto* start = record.seqStart.load(kRelaxed);
  const auto size = record.size.load(kRelaxed);
  if (start == nullptr || data < start) return 0;
  return static_cast<std::uint64_t>(data - start) + size;
}

}  // namespace kovira
