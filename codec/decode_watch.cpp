#include "codec/decode_watch.h"

#include "capture/cam.h"
#include "capture/sequence.h"
#include "core/clock.h"

#include <iostream>

namespace kovira {

namespace {

// Marks the run from first: first itself and the frames that continue its
// group, never a key frame that arrived meanwhile. Returns the frames marked.
std::uint32_t skipRun(CamBuf& buf, SmartBufferIterator it) {
  std::uint32_t n = 0;
  const SmartBufferIterator end = buf.meta().endIterator();
  for (; !(it == end) && it.valid() && (n == 0 || continuesSequence(it->type)); it.go_forward(), ++n)
    it->setFlags(FRAME_DEC | FRAME_SKIP);
  return n;
}

// Frames from first on, at most limit + 1.
std::uint32_t runLength(CamBuf& buf, SmartBufferIterator it, std::uint32_t limit) {
  std::uint32_t n = 0;
  const SmartBufferIterator end = buf.meta().endIterator();
  for (; !(it == end) && it.valid() && n <= limit; it.go_forward()) ++n;
  return n;
}

}  // namespace

void DecodeWatch::idle(int cam) {
  CamBuf* buf = storeOf(cam);
  if (buf == nullptr) return;
  const SmartBufferIterator first = buf->lastUnprocFrame();
  if (!first.valid() || !isH264(first->type)) return;
  if (continuesSequence(first->type)) {
    // Frames with no key frame before them: the rest of a group past the
    // limit; otherwise a stream joined mid-group, which its next key frame
    // ends as it always did.
    if (inLongGroup_[cam]) skipRun(*buf, first);
    return;
  }
  if (runLength(*buf, first, FrameSequence::kMaxFrames) <= FrameSequence::kMaxFrames) return;
  inLongGroup_[cam] = true;
  reportLong(cam);
  skipRun(*buf, first);
}

bool DecodeWatch::undecodable(const FrameSequence& seq) {
  const SmartBufferIterator head = storedRecord(seq.cam, seq.first);
  if (!head.valid() || !isH264(head->type)) return false;
  if (continuesSequence(head->type)) {
    // The rest of a group past the limit, closed by a key frame now.
    const bool rest = inLongGroup_[seq.cam];
    inLongGroup_[seq.cam] = false;
    return rest;
  }
  inLongGroup_[seq.cam] = false;
  if (seq.frames() <= FrameSequence::kMaxFrames) return false;
  // Closed before the idle watch saw it open: the sequence has printed its
  // own line about it (capture/sequence.cpp); the page still says why.
  reported_[seq.cam] = true;
  reportLong(seq.cam);
  return true;
}

void DecodeWatch::decoded(const FrameSequence& seq) {
  bool any = false;
  for (std::uint32_t n = seq.first; n < seq.end && !any; ++n) {
    const SmartBufferIterator it = storedRecord(seq.cam, n);
    any = it.valid() && !it->hasFlags(FRAME_SKIP);
  }
  CamBuf* buf = storeOf(seq.cam);
  if (!any || buf == nullptr) return;
  buf->decodeState.lastPictureSec.store(NowSec(), std::memory_order_relaxed);
  buf->decodeState.longGroups.store(false, std::memory_order_relaxed);
  reported_[seq.cam] = false;
}

void DecodeWatch::reportLong(int cam) {
  if (CamBuf* buf = storeOf(cam)) buf->decodeState.longGroups.store(true, std::memory_order_relaxed);
  if (reported_[cam]) return;
  reported_[cam] = true;
  std::cout << "[WARNING] camera " << cam << ": " << longGroupText(FrameSequence::kMaxFrames) << std::endl;
}

}  // namespace kovira
