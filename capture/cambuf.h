// kovira::CamBuf: the frame store of one camera: a byte ring holding the
// frames' bytes and a SmartBuffer holding one record per frame.
//
// Frames are addressed by frame index (from 1, one per frame). The store
// keeps the newest 20000 records; bytes are overwritten when the ring wraps
// and the records whose bytes (or whose sequence's earlier bytes) were
// overwritten get bit 8 ("OBS") with their byte fields cleared, *before*
// the new bytes go in. H.264 frames of one group lie contiguous in the
// ring; a P or B frame that does not fit at the ring's end moves its whole
// group to the ring's start.
//
// Threading: one writer thread per camera (addFrame, reset, correctMeta);
// readers on any thread without a lock. A reader that uses bytes tests the
// record before and after (FrameMetadata::liveBytes) and, for copies that
// span a sequence, also the move generation (a sequence move is the only
// write that relocates live bytes).
#pragma once

#include "capture/bytering.h"
#include "capture/decode_state.h"
#include "capture/smartbuf.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>

namespace kovira {

class CamBuf {
 public:
  static constexpr std::uint64_t kMetaCapacity = 20000;
  static constexpr std::uint64_t kHistoryFrames = 100;

  // Throws std::logic_error when the ring cannot be allocated.
  explicit CamBuf(std::uint64_t bytes);
  ~CamBuf();
  CamBuf(const CamBuf&) = delete;
  CamBuf& operator=(const CamBuf&) = delete;

  // Writer only: forgets all bytes (records keep their indices but lose
  // their bytes) and restarts the ring at its base.
  void reset();

  // Writer only. Stores one frame and returns its record, which the caller
  // may complete (capture time, camera values). A frame that cannot be
  // placed still gets a record and an index, without bytes.
  FrameMetadata& addFrame(std::int32_t width, std::int32_t height, FrameType type, std::uint32_t ts,
                          const void* data, std::uint64_t size);

  // Iterator on the record of a frame index; END when not retained.
  SmartBufferIterator frame(std::uint32_t index) const;
  SmartBufferIterator find(std::uint32_t index) const { return frame(index); }

  bool empty() const;
  SmartBuffer& meta() { return *meta_; }
  const SmartBuffer& meta() const { return *meta_; }
  const ByteRing& bytes() const { return *ring; }

  // Bytes the writer can still write before it reaches p (0 when p is
  // outside the ring).
  std::uint64_t obsDist(const std::uint8_t* p) const;
  // [p, p + n) lies inside the ring.
  bool validateSeqData(const std::uint8_t* p, std::uint64_t n) const;

  // Live records not yet taken by the decode stage.
  std::uint32_t framesRemain() const;
  // framesRemain() / live: the share of the frames still in the ring that
  // the decode stage has not taken; 0 when nothing is live.
  float congestion() const;
  // Oldest record of the trailing run without bit 1; END when the newest
  // record has bit 1 or the store is empty.
  SmartBufferIterator lastUnprocFrame() const;

  // seqStart of the newest record minus the ring's current sequence start
  // (all ones while empty). Writer only.
  std::int64_t scrolled();
  // Writer only, right after the current sequence was moved down by delta
  // bytes to [ring seqStart, ring write): shifts the byte fields of the
  // live records of that sequence by the same amount.
  void correctMeta(std::int64_t delta);

  // Live frames counted by the latest addFrame (the records with bytes).
  std::uint32_t liveFrames() const { return live.load(std::memory_order_relaxed); }
  // Every record older than this has no bytes.
  std::uint64_t oldestLive() const { return oldestLive_.load(std::memory_order_acquire); }
  // Odd while a sequence move is under way; changes with every move.
  std::uint64_t moveGeneration() const { return moveGen_.load(std::memory_order_acquire); }

  // True the first time only: lets a reader report a camera's oversized
  // sequences once.
  bool firstOversizeReport() { return !oversizeReported_.exchange(true); }

  // Written by the decode stage, shown by the camera page.
  DecodeState decodeState;

  const std::uint64_t metaCapacity = kMetaCapacity;
  const std::uint64_t historyFrames = kHistoryFrames;
  std::unique_ptr<ByteRing> ring;

 private:
  // Clears the byte fields and sets bit 8 of every live record whose
  // sequence bytes meet [from, to), except records whose bytes lie in the
  // sequence being moved ([keepFrom, keepFrom + keepLen)).
  void invalidate(const std::uint8_t* from, const std::uint8_t* to, const std::uint8_t* keepFrom,
                  std::uint64_t keepLen);
  void advanceOldestLive();

  // The writer's index of live bytes: one span per sequence (a frame
  // outside H.264 is a sequence of its own), keyed by its first byte. Live
  // sequences never share bytes, so the spans an overwrite meets are found
  // by offset, and a stored frame touches only the records it overwrites
  // instead of every live record.
  struct Span {
    const std::uint8_t* high;  // one past the last live byte
    std::uint64_t first;       // positions of the sequence's live records
    std::uint64_t last;
  };
  void indexAdd(std::uint64_t position, const FrameMetadata& rec);
  void indexEvict(std::uint64_t position, const FrameMetadata& rec);

  std::unique_ptr<SmartBuffer> meta_;
  std::map<const std::uint8_t*, Span> spans_;  // writer only
  std::atomic<std::uint32_t> live{0};
  std::uint32_t liveCount_ = 0;  // writer only
  std::atomic<std::uint64_t> oldestLive_{1};
  std::atomic<std::uint64_t> moveGen_{0};
  std::atomic<bool> oversizeReported_{false};
};

// Seconds from frame a to frame b of one store: 0 when either is no longer
// retained, and 0 (never a wrapped value) when a is later than b.
float timeElapsed(CamBuf& buf, std::uint32_t a, std::uint32_t b);

}  // namespace kovira
