// A software decoder of one stored H.264 frame (libavcodec), decoding from
// the key frame at or before it. Offered beside the hardware pipeline; the
// program itself does not call it.
#pragma once

#include "capture/smartbuf.h"

#include <cstdint>
#include <vector>

namespace kovira {

// How far back the key frame of a frame is looked for.
inline constexpr std::uint32_t kSoftDecodeKeySearch = 150;

// The record of a stored frame of the camera; an iterator that is not
// valid() when the camera is unknown or the store no longer holds it.
SmartBufferIterator findmeta(int camera, std::uint32_t frame);

// Decodes the frame into packed RGB24 rows (width x height x 3 bytes in
// out) and returns that byte count. Failures: -1 no key frame among the
// 150 frames up to it, -2 a frame on the way without its bytes (or gone
// from the store), -4 the decoder failed, -5 no picture came out for it.
int software_decode_frame(int camera, std::uint32_t frame, std::vector<std::uint8_t>& out);

}  // namespace kovira
