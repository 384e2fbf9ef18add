#include "capture/sequence.h"

#include "capture/cam.h"

#include <algorithm>
#include <iostream>

namespace kovira {

namespace {

bool sameBytes(const FrameBytes& a, const FrameBytes& b) {
  return a.present() && a.seqStart == b.seqStart && a.data == b.data && a.size == b.size;
}

void reportOversize(CamBuf& buf, int cam, std::uint32_t frames, std::uint64_t bytes) {
  if (!buf.firstOversizeReport()) return;
  std::cout << "[WARNING] camera " << cam << ": frame sequence of " << frames << " frames, "
            << bytes << " bytes is too long to decode (limit " << FrameSequence::kMaxFrames
            << " frames); such sequences are skipped" << std::endl;
}

}  // namespace

FrameSequence::FrameSequence(int camId, SmartBufferIterator firstIt, SmartBufferIterator endIt)
    : cam(camId) {
  if (!firstIt.valid() || !endIt.valid()) return;
  first = firstIt->position;
  end = endIt->position;
  if (CamBuf* buf = storeOf(cam)) copyFrom(*buf, firstIt, endIt);
}

void FrameSequence::copyFrom(CamBuf& buf, const SmartBufferIterator& firstIt,
                             const SmartBufferIterator& endIt) {
  // 1. Both ends must have bytes.
  const FrameBytes head = firstIt->liveBytes();
  const FrameBytes next = endIt->liveBytes();
  if (!head.present() || !next.present()) return;
  SmartBufferIterator lastIt = endIt;
  lastIt.go_backward();
  if (!lastIt.valid() || lastIt.position() < firstIt.position()) return;
  const FrameBytes tail = lastIt->liveBytes();

  // 2. Bytes from the sequence start to the end of its last frame. The next
  //    key frame goes along only when it follows right after (it is then
  //    what lets a decoder finish the last picture); after a wrap it lies
  //    at the ring's base and the group is copied alone. The open group
  //    (end is its newest P frame) never takes that frame along.
  size = tail.sequenceBytes();
  const bool h264 = kovira::isH264(firstIt->type);
  const bool withNext = h264 && endIt->type == FRAME_I && tail.present() &&
                        next.data == tail.data + tail.size;
  if (withNext) size += next.size;

  // 3. Limits.
  std::uint8_t* const start = head.seqStart;
  if (start == nullptr || size == 0 || tail.seqStart != start) return;
  const std::uint32_t n = frames();
  if (n < 1) return;
  // A group is never refused for its bytes: the decoder takes one frame at
  // a time, and every frame the receiver accepts fits its input buffers.
  if (n > kMaxFrames) {
    reportOversize(buf, cam, n, size);
    return;
  }
  // The writer must be well away from the sequence start. A small ring
  // cannot offer 2 MiB, so the margin is at most a quarter of the ring; the
  // checks after the copy are what finally guard it.
  const std::uint64_t margin = std::min(std::max(kWriterMarginFrames * head.size, kWriterMargin),
                                        buf.bytes().capacity / 4);
  if (!(margin < buf.obsDist(start))) return;
  if (!buf.validateSeqData(start, size)) return;

  // 4. Copy, then test that nothing changed under the copy.
  const std::uint64_t generation = buf.moveGeneration();
  if ((generation & 1) != 0) return;
  std::shared_ptr<std::uint8_t[]> copy(new std::uint8_t[size]);
  copyRingBytes(copy.get(), start, size);
  std::atomic_thread_fence(std::memory_order_acquire);
  if (buf.moveGeneration() != generation) return;
  if (!sameBytes(firstIt->liveBytes(), head) || !sameBytes(lastIt->liveBytes(), tail)) return;
  if (withNext && !sameBytes(endIt->liveBytes(), next)) return;
  data = std::move(copy);
  this->withNext = withNext;
}

bool FrameSequence::isH264() const {
  if (first >= end) return false;
  CamBuf* buf = storeOf(cam);
  if (buf == nullptr) return false;
  auto it = buf->frame(first);
  return it.valid() && kovira::isH264(it->type);
}

void FrameSequence::setFlags(std::uint32_t bits) const {
  CamBuf* buf = storeOf(cam);
  if (buf == nullptr || first >= end) return;
  auto it = buf->frame(first);
  if (!it.valid()) it = buf->meta().oldest();
  for (; it.valid() && it.position() < end; it.go_forward()) it->setFlags(bits);
}

SmartBufferIterator seqEnd(SmartBufferIterator /*begin*/, SmartBufferIterator end,
                           SmartBufferIterator start) {
  if (start == end) return end;
  SmartBufferIterator it = start;
  it.go_forward();  // the start frame always belongs to the sequence
  while (!(it == end) && it.valid() && continuesSequence(it->type)) it.go_forward();
  return it;
}

SmartBufferIterator seqBegin(SmartBufferIterator /*begin*/, SmartBufferIterator end,
                             SmartBufferIterator frame) {
  if (frame == end) return end;
  // Re-synchronise: a frame evicted meanwhile becomes the oldest retained.
  SmartBufferIterator it = frame;
  it.go_backward();
  it.go_forward();
  if (!it.valid()) return end;
  while (continuesSequence(it->type)) {
    it.go_backward();
    if (!it.valid()) return end;  // the sequence start is no longer retained
  }
  return it;
}

SmartBufferIterator lastUnprocFrame(CamBuf& buf) { return buf.lastUnprocFrame(); }

FrameSequence findUnprocSeq(int cam) {
  CamBuf* buf = storeOf(cam);
  if (buf == nullptr) return {};
  SmartBufferIterator first = buf->lastUnprocFrame();
  if (!first.valid()) return {};
  const SmartBufferIterator endIt = buf->meta().endIterator();
  SmartBufferIterator next = seqEnd(buf->meta().oldest(), endIt, first);
  if (next == endIt || !next.valid()) return {};
  return FrameSequence(cam, first, next);
}

FrameSequence getSequence(Camera& camera, std::uint32_t index) {
  CamBuf& buf = *camera.cambuf;
  const SmartBufferIterator endIt = buf.meta().endIterator();
  SmartBufferIterator b = seqBegin(buf.meta().oldest(), endIt, buf.frame(index));
  if (b == endIt || !b.valid()) return {};
  SmartBufferIterator e = seqEnd(buf.meta().oldest(), endIt, b);
  if (e == endIt || !e.valid()) e = buf.meta().newest();
  if (!e.valid()) return {};
  return FrameSequence(camera.camid, b, e);
}

}  // namespace kovira
