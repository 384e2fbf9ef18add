// The one way to copy a stored frame's bytes out of a camera's frame store
// while its writer keeps writing (no lock is taken).
//
// The copy is bracketed by two looks at the record:
//   before: the record is live and the writer is more than
//           kWriterMarginFrames frame sizes away from its bytes, and no
//           sequence move is under way;
//   copy:   the whole frame, or a rectangle of a raw grey frame;
//   after:  (behind an acquire fence) the record holds the same live bytes,
//           the writer's distance is non-zero and has not grown (a larger
//           distance means it went past the bytes or the ring restarted),
//           and no sequence moved meanwhile.
// Only then are the copied bytes handed out; otherwise they are dropped.
//
// Threading: any thread; results are private copies. The record's fields
// are read once, so a caller never mixes values of two frames.
#pragma once

#include "capture/frametypes.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace kovira {

class CamBuf;
struct FrameMetadata;

// The writer must be further than this many frame sizes from a frame before
// it is copied: a copy takes far less time than the camera needs to write
// that much.
inline constexpr std::uint64_t kWriterMarginFrames = 2;

enum class FrameCopyStatus {
  Copied,
  Gone,         // not stored, or its bytes were already released
  Overwritten,  // the writer came close, or the bytes changed during the copy
  WrongType,    // not raw 8-bit grey, or fewer bytes than width x height
};

// A rectangle of a grey picture, in pixels.
struct FrameRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
  bool empty() const { return width <= 0 || height <= 0; }
};

// What a copy took out of the store: the record's fields as read once, and
// the bytes (the whole frame, or the rectangle's rows packed).
struct FrameCopy {
  std::vector<std::uint8_t> bytes;
  FrameType type = FRAME_UNKNOWN;
  std::int32_t width = 0;  // of the stored picture
  std::int32_t height = 0;
  std::uint32_t sec = 0;
  std::uint32_t usec = 0;
  std::uint32_t position = 0;
  std::uint64_t size = 0;  // the record's byte count at the first look
  FrameRect region;  // the part copied (the whole picture for whole copies)
};

// A record that has width x height bytes of raw grey picture.
bool isWholeGrey(FrameType type, std::int32_t width, std::int32_t height, std::uint64_t size);

// Copies the record's bytes. greyOnly refuses anything that is not a whole
// raw grey picture (WrongType). out.bytes' memory is reused; on any status
// but Copied out.bytes is left empty. duringCopy, when set, runs between the
// copy and the second look (tests overwrite the frame at that moment).
[[nodiscard]] FrameCopyStatus copyFrame(const CamBuf& store, const FrameMetadata& record, FrameCopy& out,
                                        bool greyOnly, const std::function<void()>& duringCopy = {});

// Copies the part of rect inside a raw grey picture (out.region says which
// part); WrongType also when rect misses the picture.
[[nodiscard]] FrameCopyStatus copyGreyRegion(const CamBuf& store, const FrameMetadata& record,
                                             const FrameRect& rect, FrameCopy& out,
                                             const std::function<void()>& duringCopy = {});

}  // namespace kovira
