// libFuzzer entry: the input as a sequence parameter set, as an access unit
// searched for one, typed by its first slice header and searched for its
// leading parameter sets and its recovery point, and as Base64 text (what decodes must encode back).
#include "rtsp/assembly.h"
#include "rtsp/h264_nal.h"
#include "rtsp/util.h"

#include <cstdint>
#include <span>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> bytes(data, size);
  unsigned w = 0, h = 0, chroma = 0;
  if (ParseSps(bytes, w, h, chroma) && (w == 0 || h == 0 || w > kMaxSpsPictureSide || h > kMaxSpsPictureSide))
    __builtin_trap();
  if (chroma > 3) __builtin_trap();
  if (FindSpsPictureSize(bytes, w, h, chroma) && (w == 0 || h == 0)) __builtin_trap();
  const FrameType type = H264FrameType(bytes, FRAME_UNKNOWN);
  if (type != FRAME_UNKNOWN && type != FRAME_I && type != FRAME_P && type != FRAME_B) __builtin_trap();
  static_cast<void>(H264RecoveryFrameCount(bytes));
  const H264ParameterSets sets = H264LeadingParameterSets(bytes);
  if (sets.bytes.size() > kMaxParameterSetBytes || sets.bytes.size() > size) __builtin_trap();
  if ((sets.sps || sets.pps) == sets.bytes.empty()) __builtin_trap();
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto decoded = Base64Decode(text)) {
    if (Base64Decode(Base64Encode(*decoded)) != decoded) __builtin_trap();
  }
  if (Base64Decode(Base64Encode(text)) != text) __builtin_trap();
  return 0;
}
