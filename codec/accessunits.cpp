#include "codec/accessunits.h"

namespace kovira {

namespace {

// Offset of the next 00 00 01 start code at or after from (length if none).
std::size_t nextStartCode(const std::uint8_t* d, std::size_t length, std::size_t from) {
  for (std::size_t i = from; i + 2 < length; ++i) {
    if (d[i + 2] > 1) {
      i += 2;  // no start code can end at i + 2 or before
    } else if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1) {
      return i;
    }
  }
  return length;
}

bool isSlice(int type) { return type == 1 || type == 5; }

// NAL unit types that open a new access unit when they follow slices.
bool opensUnit(int type) { return type == 6 || type == 7 || type == 8 || type == 9 || (type >= 14 && type <= 18); }

}  // namespace

std::vector<AccessUnit> splitAccessUnits(const std::uint8_t* data, std::size_t length) {
  std::vector<AccessUnit> units;
  if (data == nullptr || length == 0) return units;
  AccessUnit current;
  bool haveSlice = false;
  std::size_t sc = nextStartCode(data, length, 0);
  while (sc < length) {
    const std::size_t header = sc + 3;
    // A four-byte start code's leading zero belongs to this NAL unit.
    const std::size_t nalStart = sc > 0 && data[sc - 1] == 0 ? sc - 1 : sc;
    if (header >= length) break;
    const int type = data[header] & 0x1F;
    // first_mb_in_slice is the first Exp-Golomb code: 0 is the single bit 1.
    const bool firstSlice = isSlice(type) && header + 1 < length && (data[header + 1] & 0x80) != 0;
    if (haveSlice && (opensUnit(type) || firstSlice)) {
      current.size = nalStart - current.offset;
      units.push_back(current);
      current = AccessUnit{nalStart, 0, false};
      haveSlice = false;
    }
    if (isSlice(type)) haveSlice = true;
    if (type == 5 || type == 7) current.key = true;
    sc = nextStartCode(data, length, header + 1);
  }
  current.size = length - current.offset;
  units.push_back(current);
  return units;
}

}  // namespace kovira
