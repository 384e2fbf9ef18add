// Access units of an H.264 Annex B elementary stream: where each coded
// picture starts and ends, found from the NAL unit headers alone. Used to
// feed a decoder one picture per input buffer when nothing else tells the
// frame boundaries (a file, a test stream).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace kovira {

struct AccessUnit {
  std::size_t offset = 0;
  std::size_t size = 0;
  bool key = false;  // holds an IDR slice or a sequence parameter set
};

// A new unit starts at an access unit delimiter, SEI, parameter set or
// prefix NAL unit that follows a picture's slices, or at a slice that
// begins a picture (first_mb_in_slice 0). Bytes before the first start
// code belong to the first unit; a buffer without start codes is one unit.
// Units cover the buffer without gaps.
std::vector<AccessUnit> splitAccessUnits(const std::uint8_t* data, std::size_t length);

}  // namespace kovira
