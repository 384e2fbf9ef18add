#include "capture/decode_state.h"

namespace kovira {

std::string longGroupText(std::uint32_t limit) {
  const std::string n = std::to_string(limit);
  return "no group of pictures closes within " + n + " frames (intra refresh, or key frames more than " + n +
         " frames apart): its frames are not decoded";
}

std::string decodeStateLines(const DecodeState& state, std::uint32_t limit, bool hasFrames, std::int64_t oldestSec,
                             std::int64_t nowSec) {
  if (!hasFrames) return "";
  std::string out;
  if (state.longGroups.load(std::memory_order_relaxed)) out += "decode: " + longGroupText(limit) + "\n";
  const std::int64_t last = state.lastPictureSec.load(std::memory_order_relaxed);
  const std::int64_t since = last != 0 ? last : oldestSec;
  if (nowSec - since >= kNothingDecodedSec)
    out += "decode: nothing decoded for " + std::to_string(nowSec - since) + " s\n";
  return out;
}

}  // namespace kovira
