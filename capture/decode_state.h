// What the decode stage has found out about a camera's stream, for the
// camera page: when it last gave a picture, and whether the stream's groups
// of pictures are too long to decode (intra refresh never closes a group).
// The decode stage finds it out on its own, without a page asking.
//
// Threading: written by the decode thread, read by page threads; each value
// is an atomic of its own. Lives in the camera's frame store.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

namespace kovira {

struct DecodeState {
  std::atomic<std::int64_t> lastPictureSec{0};  // Unix seconds of the last picture given; 0: none yet
  std::atomic<bool> longGroups{false};          // a group ran past the frame limit since the last picture
};

// Why a camera with groups past the limit gets no pictures; the console
// line and the camera page say the same.
std::string longGroupText(std::uint32_t limit);

// The camera page says so when nothing of a camera has decoded for this long.
inline constexpr std::int64_t kNothingDecodedSec = 10;

// The camera page's lines about decoding, each ending in a line feed: why
// groups are not decoded, and for how long nothing has been, once that is
// kNothingDecodedSec or more (counted from the oldest stored frame when
// there was no picture yet). "" with no frames stored or all well.
std::string decodeStateLines(const DecodeState& state, std::uint32_t limit, bool hasFrames, std::int64_t oldestSec,
                             std::int64_t nowSec);

}  // namespace kovira
