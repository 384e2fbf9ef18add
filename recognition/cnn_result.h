// One plate reading of the recogniser library: 56 bytes, little-endian, no padding.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
struct CNN_RESULT {
  std::uint32_t index;   // frame index within the submitted batch
  std::uint32_t zoneid;  // zone whose polygon produced the reading
  char text[20];         // NUL-terminated plate text; empty: no plate text
  std::int32_t type;     // vehicle class; below 1: none
  std::int32_t x, y, w, h;  // plate rectangle
  std::int32_t ox, oy;      // tracking point
};
}
static_assert(sizeof(CNN_RESULT) == 56);
static_assert(offsetof(CNN_RESULT, zoneid) == 4 && offsetof(CNN_RESULT, text) == 8 &&
              offsetof(CNN_RESULT, type) == 28 && offsetof(CNN_RESULT, x) == 32 &&
              offsetof(CNN_RESULT, ox) == 48 && offsetof(CNN_RESULT, oy) == 52);
