// Plain views of 8-bit grey pictures (one byte a pixel, rows `stride` bytes
// apart). They own nothing: the caller keeps the pixels alive.
#pragma once

#include <cstdint>

namespace kovira::plate {

struct GreyView {
  const std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;

  std::uint8_t at(int x, int y) const { return data[static_cast<long>(y) * stride + x]; }
};

struct GreyCanvas {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int stride = 0;

  GreyView view() const { return {data, width, height, stride}; }
};

struct Box {
  int x = 0;
  int y = 0;
  int w = 0;
  int h = 0;
};

}  // namespace kovira::plate
