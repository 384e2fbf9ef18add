// Frame sequences: runs of consecutive frames of one camera that a decoder
// can process on its own (an H.264 group of pictures, or one frame of any
// other kind), copied out of the camera's ring in one piece.
//
// A copy is made only from bytes that can be trusted: both ends have
// bytes, the writer is far enough from the sequence start, and the records
// (and the ring's move generation) are tested again after the copy; a copy
// made over changing bytes is dropped. A sequence without data is still
// valid: its frames can be marked (the decode stage marks it skipped).
//
// Threading: findUnprocSeq and setFlags run on the decode thread,
// getSequence on page and module threads; all read the store without a
// lock. A FrameSequence is a value; copies share the byte copy.
#pragma once

#include "capture/cambuf.h"

#include <cstdint>
#include <memory>

namespace kovira {

class Camera;

struct FrameSequence {
  static constexpr std::uint32_t kMaxFrames = 200;          // frames per copied sequence
  static constexpr std::uint64_t kWriterMargin = 0x200000;  // 2 MiB ahead of the writer...
  static constexpr std::uint64_t kWriterMarginFrames = 15;  // ...or 15 first frames, the larger

  FrameSequence() = default;
  // Sequence of frames [first, end) of camera cam; both iterators stand on
  // retained records of that camera's store.
  FrameSequence(int cam, SmartBufferIterator first, SmartBufferIterator end);

  bool valid() const { return cam >= 1 && end > first; }
  std::uint32_t frames() const { return end < first ? 0 : end - first; }
  std::uint32_t count() const { return frames(); }
  bool isH264() const;
  // ORs bits into the flags of every retained frame of the sequence.
  void setFlags(std::uint32_t bits) const;

  std::int32_t cam = 0;
  std::uint32_t first = 0;
  std::uint32_t end = 0;
  std::shared_ptr<std::uint8_t[]> data;
  std::uint64_t size = 0;
  // The copy ends with the key frame that follows the sequence (it lets a
  // decoder finish the sequence's last picture); false when that frame was
  // not stored right after it (the ring wrapped) or has not arrived.
  bool withNext = false;

 private:
  void copyFrom(CamBuf& buf, const SmartBufferIterator& firstIt, const SmartBufferIterator& endIt);
};

// The frame that starts the sequence containing frame; end when that start
// is no longer retained.
SmartBufferIterator seqBegin(SmartBufferIterator begin, SmartBufferIterator end,
                             SmartBufferIterator frame);
// The first frame after the sequence that starts at start; end when it has
// not arrived yet.
SmartBufferIterator seqEnd(SmartBufferIterator begin, SmartBufferIterator end,
                           SmartBufferIterator start);
SmartBufferIterator lastUnprocFrame(CamBuf& buf);
// The next complete sequence of camera cam not yet taken by the decode
// stage, or the empty sequence.
FrameSequence findUnprocSeq(int cam);
// The sequence holding frame index (up to the frame before the newest for
// the open group), or the empty sequence.
FrameSequence getSequence(Camera& camera, std::uint32_t index);

}  // namespace kovira
