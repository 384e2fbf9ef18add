// Frame kinds and the flag bits of a frame record.
//
// FrameType is stored as an unsigned 32-bit value in every frame record;
// only the H.264 kinds (key, P and B frames) are grouped into multi-frame
// sequences, every other kind is a sequence of its own.
#pragma once

#include <cstdint>
#include <iosfwd>

enum FrameType : std::uint32_t {
  FRAME_UNKNOWN = 0,
  FRAME_I = 1,      // H.264 key frame, starts a sequence
  FRAME_P = 2,      // H.264 P frame
  FRAME_B = 3,      // H.264 B frame
  FRAME_MJPEG = 4,  // one MJPEG picture
  FRAME_GRAY8 = 5,  // raw 8-bit grey, one byte per pixel
  FRAME_RGB24 = 6,  // raw RGB, three bytes per pixel
  FRAME_RAW = 7,    // other raw data
};

// Bits of FrameMetadata::flags. Bits are only ever added, never cleared.
enum FrameMetaFlags : std::uint32_t {
  FRAME_DEC = 1,   // taken by the decode stage
  FRAME_SKIP = 2,  // not recognised (no bytes, recognition failed or skipped it)
  FRAME_CNN = 4,   // submitted to the plate recogniser
  FRAME_OBS = 8,   // bytes overwritten in the ring; seqStart/data/size cleared
};

// Writes "I-frame", "P-frame", ... ; anything outside 1..7 is "UNKNOWN".
std::ostream& operator<<(std::ostream& os, FrameType type);

namespace kovira {

// Text of a frame type as the stream operator writes it.
const char* frameTypeName(FrameType type);

// Types 1..3 (the unsigned difference type - 1 is at most 2).
constexpr bool isH264(FrameType type) {
  return static_cast<std::uint32_t>(type) - 1u <= 2u;
}
// A P or B frame: continues the sequence of the key frame before it.
constexpr bool continuesSequence(FrameType type) {
  return type == FRAME_P || type == FRAME_B;
}

}  // namespace kovira
