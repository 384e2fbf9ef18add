// libFuzzer entry: the input as a sequence parameter set, as an access unit
// searched for one, and as Base64 text (what decodes must encode back).
#include "rtsp/assembly.h"
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
  const std::string text(reinterpret_cast<const char*>(data), size);
  if (const auto decoded = Base64Decode(text)) {
    if (Base64Decode(Base64Encode(*decoded)) != decoded) __builtin_trap();
  }
  if (Base64Decode(Base64Encode(text)) != text) __builtin_trap();
  return 0;
}
