#include "capture/cambuf.h"

#include <algorithm>
#include <cstring>
#include <ctime>

namespace kovira {

namespace {

constexpr auto kRelaxed = std::memory_order_relaxed;

// The bytes a record stands for: its own and, for a frame inside a
// sequence, every byte from the sequence start (a P frame without the
// earlier frames of its group cannot be decoded, so overwriting any of them
// takes its picture away as well): [lowOf, highOf).
const std::uint8_t* lowOf(const FrameMetadata& rec) {
  return std::min(rec.seqStart.load(kRelaxed), rec.data.load(kRelaxed));
}

const std::uint8_t* highOf(const FrameMetadata& rec) {
  return rec.data.load(kRelaxed) + rec.size.load(kRelaxed);
}

bool meets(const FrameMetadata& rec, const std::uint8_t* from, const std::uint8_t* to) {
  return lowOf(rec) < to && highOf(rec) > from;
}

bool liveForWriter(const FrameMetadata& rec) {
  return rec.size.load(kRelaxed) != 0 && rec.data.load(kRelaxed) != nullptr &&
         rec.seqStart.load(kRelaxed) != nullptr && (rec.flags.load(kRelaxed) & FRAME_OBS) == 0;
}

}  // namespace

CamBuf::CamBuf(std::uint64_t bytes)
    : ring(std::make_unique<ByteRing>(bytes)),
      meta_(std::make_unique<SmartBuffer>(kMetaCapacity, 1)) {
  meta_->enableHistory(historyFrames);
  reset();
}

CamBuf::~CamBuf() = default;

void CamBuf::reset() {
  // Records that still say live must not point at the zeroed ring.
  invalidate(ring->base, ring->end(), nullptr, 0);
  spans_.clear();
  liveCount_ = 0;
  live.store(0, kRelaxed);
  ring->seqStart = ring->frameStart = ring->base;
  ring->write.store(ring->base, std::memory_order_release);
  std::memset(ring->base, 0, ring->capacity);
  advanceOldestLive();
}

void CamBuf::invalidate(const std::uint8_t* from, const std::uint8_t* to,
                        const std::uint8_t* keepFrom, std::uint64_t keepLen) {
  auto it = spans_.lower_bound(from);
  // Spans do not overlap, so of those starting before `from` only the
  // nearest can reach into the range.
  if (it != spans_.begin() && std::prev(it)->second.high > from) --it;
  const std::uint64_t oldest = meta_->begin();
  while (it != spans_.end() && it->first < to) {
    Span& span = it->second;
    Span rest{nullptr, 0, 0};
    for (std::uint64_t pos = std::max(span.first, oldest); pos <= span.last; ++pos) {
      FrameMetadata& rec = meta_->writerRecord(pos);
      if (!liveForWriter(rec) || lowOf(rec) != it->first) continue;
      const auto* data = rec.data.load(kRelaxed);
      const bool moving = keepLen != 0 && data >= keepFrom && data < keepFrom + keepLen;
      if (moving || !meets(rec, from, to)) {
        if (rest.high == nullptr) rest.first = pos;
        rest.high = std::max(rest.high, highOf(rec));
        rest.last = pos;
        continue;
      }
      rec.size.store(0, kRelaxed);
      rec.data.store(nullptr, kRelaxed);
      rec.seqStart.store(nullptr, kRelaxed);
      rec.flags.fetch_or(FRAME_OBS, std::memory_order_release);
      --liveCount_;
    }
    if (rest.high == nullptr) {
      it = spans_.erase(it);
    } else {
      span = rest;
      ++it;
    }
  }
  // Readers must see the marks before any of the new bytes.
  std::atomic_thread_fence(std::memory_order_seq_cst);
}

void CamBuf::indexAdd(std::uint64_t position, const FrameMetadata& rec) {
  auto [it, fresh] = spans_.try_emplace(lowOf(rec), Span{highOf(rec), position, position});
  if (!fresh) {
    it->second.high = std::max(it->second.high, highOf(rec));
    it->second.last = position;
  }
}

void CamBuf::indexEvict(std::uint64_t position, const FrameMetadata& rec) {
  // The evicted record is the oldest, so the first of its span.
  auto it = spans_.find(lowOf(rec));
  if (it == spans_.end()) return;
  if (it->second.last <= position) {
    spans_.erase(it);
  } else {
    it->second.first = position + 1;
  }
}

void CamBuf::advanceOldestLive() {
  std::uint64_t pos = std::max(oldestLive_.load(kRelaxed), meta_->begin());
  const std::uint64_t end = meta_->end();
  while (pos < end && !liveForWriter(meta_->writerRecord(pos))) ++pos;
  oldestLive_.store(pos, std::memory_order_release);
}

FrameMetadata& CamBuf::addFrame(std::int32_t width, std::int32_t height, FrameType type,
                                std::uint32_t ts, const void* data, std::uint64_t size) {
  ByteRing& r = *ring;
  std::uint8_t* const ringEnd = r.end();
  std::uint8_t* w = r.write.load(kRelaxed);

  // 1. Decide where the bytes go.
  bool placed = false;
  bool moved = false;
  std::uint8_t* moveFrom = nullptr;
  std::uint64_t moveLen = 0;
  if (!continuesSequence(type)) {
    if (size > static_cast<std::uint64_t>(ringEnd - w)) {
      w = r.base;
      r.seqStart = r.frameStart = r.base;
    }
    if (size <= r.capacity) {
      r.seqStart = w;
      placed = true;
    }
  } else if (size <= static_cast<std::uint64_t>(ringEnd - w)) {
    placed = w != r.base;  // at the base there is no sequence to continue
  } else {
    // The P/B frame does not fit: its group moves to the ring's start.
    moved = true;
    moveFrom = r.seqStart;
    moveLen = static_cast<std::uint64_t>(w - r.seqStart);
    w = r.base + moveLen;
    placed = moveLen != 0 && size <= static_cast<std::uint64_t>(ringEnd - w);
  }

  // 2. Retire the records whose bytes are about to be overwritten, before
  //    writing: the move's destination (whether or not the frame then fits)
  //    and the new frame's place. The moving group itself is corrected,
  //    not retired.
  if (moved) {
    std::uint8_t* to = w + (placed ? size : 0);
    if (to > r.base) invalidate(r.base, to, moveFrom, moveLen);
  } else if (placed && size != 0) {
    invalidate(w, w + size, nullptr, 0);
  }

  // 3. Move the group and correct its records.
  if (moved) {
    r.seqStart = r.base;
    if (moveLen != 0) {
      moveGen_.fetch_add(1, kRelaxed);
      std::atomic_thread_fence(std::memory_order_seq_cst);
      std::memmove(r.base, moveFrom, moveLen);
      r.write.store(w, std::memory_order_release);
      correctMeta(moveFrom - r.base);
      moveGen_.fetch_add(1, std::memory_order_release);
    }
  }

  // 4. Place the bytes.
  if (placed) {
    r.frameStart = w;
    if (size != 0) std::memcpy(w, data, size);
    w += size;
  }
  r.write.store(w, std::memory_order_release);

  // 5. Build and append the record.
  FrameMetadata rec;
  rec.type = type;
  rec.width.store(width, kRelaxed);
  rec.height.store(height, kRelaxed);
  if (placed) {
    rec.seqStart.store(r.seqStart, kRelaxed);
    rec.data.store(r.frameStart, kRelaxed);
    rec.size.store(size, kRelaxed);
  }
  rec.sec.store(static_cast<std::uint32_t>(std::time(nullptr)), kRelaxed);
  rec.ts = ts;

  if (meta_->end() - meta_->begin() >= meta_->capacity()) {
    const std::uint64_t oldest = meta_->begin();
    const FrameMetadata& evicted = meta_->writerRecord(oldest);
    if (liveForWriter(evicted)) {
      indexEvict(oldest, evicted);
      --liveCount_;  // its record is evicted with its bytes still in place
    }
  }
  const std::uint64_t position = meta_->push_back(rec);
  if (placed && size != 0) {
    indexAdd(position, rec);
    ++liveCount_;
  }
  live.store(liveCount_, kRelaxed);
  advanceOldestLive();
  return meta_->writerBack();
}

void CamBuf::correctMeta(std::int64_t delta) {
  const std::uint8_t* from = ring->seqStart + delta;
  const std::uint8_t* to = ring->write.load(kRelaxed) + delta;
  if (auto node = spans_.extract(from); !node.empty()) {
    node.key() = ring->seqStart;
    node.mapped().high -= delta;
    spans_.insert(std::move(node));
  }
  const std::uint64_t stop = std::max(oldestLive_.load(kRelaxed), meta_->begin());
  for (std::uint64_t pos = meta_->end(); pos-- > stop;) {
    FrameMetadata& rec = meta_->writerRecord(pos);
    if (liveForWriter(rec)) {
      auto* data = rec.data.load(kRelaxed);
      if (data >= from && data < to) {
        rec.seqStart.store(rec.seqStart.load(kRelaxed) - delta, kRelaxed);
        rec.data.store(data - delta, kRelaxed);
      }
    }
    if (!continuesSequence(rec.type)) break;  // the group's first frame
  }
}

std::int64_t CamBuf::scrolled() {
  if (meta_->end() == meta_->begin()) return -1;
  const auto* start = meta_->writerBack().seqStart.load(kRelaxed);
  return reinterpret_cast<std::intptr_t>(start) - reinterpret_cast<std::intptr_t>(ring->seqStart);
}

SmartBufferIterator CamBuf::frame(std::uint32_t index) const {
  return meta_->find(static_cast<std::uint64_t>(index));
}

bool CamBuf::empty() const {
  return static_cast<std::uint32_t>(meta_->begin()) == static_cast<std::uint32_t>(meta_->end());
}

std::uint64_t CamBuf::obsDist(const std::uint8_t* p) const {
  const ByteRing& r = *ring;
  if (!r.contains(p)) return 0;
  const std::uint8_t* w = r.write.load(std::memory_order_acquire);
  if (p >= w) return static_cast<std::uint64_t>(p - w);
  return static_cast<std::uint64_t>(r.end() - w) + static_cast<std::uint64_t>(p - r.base);
}

bool CamBuf::validateSeqData(const std::uint8_t* p, std::uint64_t n) const {
  const ByteRing& r = *ring;
  return p >= r.base && p <= r.end() && n <= static_cast<std::uint64_t>(r.end() - p);
}

std::uint32_t CamBuf::framesRemain() const {
  const std::uint64_t stop = oldestLive();
  std::uint32_t count = 0;
  for (auto it = meta_->newest(); it.valid() && it.position() >= stop; it.go_backward()) {
    if (it->hasBytes() && !it->hasFlags(FRAME_DEC)) ++count;
  }
  return count;
}

float CamBuf::congestion() const {
  const std::uint32_t liveNow = liveFrames();
  if (liveNow == 0) return 0.0f;
  const float share = static_cast<float>(framesRemain()) / static_cast<float>(liveNow);
  return std::min(share, 1.0f);
}

SmartBufferIterator CamBuf::lastUnprocFrame() const {
  auto it = meta_->newest();
  if (!it.valid() || it->hasFlags(FRAME_DEC)) return meta_->endIterator();
  for (;;) {
    auto older = it;
    older.go_backward();
    if (!older.valid() || older->hasFlags(FRAME_DEC)) return it;
    it = older;
  }
}

float timeElapsed(CamBuf& buf, std::uint32_t a, std::uint32_t b) {
  auto first = buf.frame(a);
  auto last = buf.frame(b);
  if (!first.valid() || !last.valid()) return 0.0f;
  const double seconds = (static_cast<double>(last->sec) - static_cast<double>(first->sec)) +
                         (static_cast<double>(last->usec) - static_cast<double>(first->usec)) / 1e6;
  return seconds > 0 ? static_cast<float>(seconds) : 0.0f;
}

}  // namespace kovira
