#include "codec/decodedframe.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace kovira {

namespace {
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 | static_cast<std::uint32_t>(c) << 16 |
         static_cast<std::uint32_t>(d) << 24;
}
}  // namespace

PixelFormat pixFmt(std::uint32_t code) {
  if (code == fourcc('A', 'R', '2', '4')) return PixelAR24;
  if (code == fourcc('X', 'R', '2', '4')) return PixelXR24;
  return PixelGray8;
}

int DecodedFrame::getBpp(PixelFormat f) {
  switch (f) {
    case PixelGray8:
    case PixelGray8Alt: return 1;
    case PixelAR24:
    case PixelXR24: return 4;
  }
  throw std::logic_error("DecodedFrame> Unsupported pixel pormat");
}

DecodedFrame::DecodedFrame(int camid_, unsigned frame_, PixelFormat format_, int width_, int height_,
                           const std::uint8_t* src, std::size_t stride)
    : frame(frame_), camid(camid_), width(width_), height(height_), format(format_) {
  if (!src || width <= 0 || height <= 0) return;
  const std::size_t row = static_cast<std::size_t>(width) * static_cast<std::size_t>(getBpp(format));
  const std::size_t total = row * static_cast<std::size_t>(height);
  pixels = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[total]);
  const std::size_t step = std::max(row, stride);
  for (int r = 0; r < height; ++r) std::memcpy(pixels.get() + r * row, src + r * step, row);
  size = static_cast<std::int64_t>(total);
}

DecodedFrame::DecodedFrame(int camid_, unsigned frame_, PixelFormat format_, int width_, int height_,
                           std::shared_ptr<std::uint8_t[]> packed, std::uint64_t bytes)
    : frame(frame_), camid(camid_), width(width_), height(height_), format(format_) {
  if (!packed || width <= 0 || height <= 0) return;
  const std::uint64_t need = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) *
                             static_cast<std::uint64_t>(getBpp(format));
  if (need > bytes) return;
  pixels = std::move(packed);
  size = static_cast<std::int64_t>(need);
}

}  // namespace kovira
