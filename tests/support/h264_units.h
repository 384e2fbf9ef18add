// Cuts an H.264 Annex-B byte stream into access units, as a network
// camera's receiver delivers them to the frame sink.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace testsupport {

struct AccessUnit {
  std::size_t offset = 0;
  std::size_t size = 0;
  bool key = false;
};

// A unit starts at an access-unit delimiter, a parameter set or SEI that
// follows a picture, or at the first slice of a picture (first_mb_in_slice
// == 0, i.e. the first bit after the NAL header is 1) that follows a
// picture.
inline std::vector<AccessUnit> splitAccessUnits(const std::vector<std::uint8_t>& b) {
  std::vector<std::size_t> starts;  // offsets of start codes
  for (std::size_t i = 0; i + 3 < b.size(); ++i)
    if (b[i] == 0 && b[i + 1] == 0 && (b[i + 2] == 1 || (b[i + 2] == 0 && b[i + 3] == 1))) {
      starts.push_back(i);
      i += 2;
    }
  std::vector<AccessUnit> units;
  bool picture = false;  // the open unit holds a slice
  for (std::size_t n = 0; n < starts.size(); ++n) {
    const std::size_t at = starts[n];
    const std::size_t header = at + (b[at + 2] == 1 ? 3 : 4);
    if (header + 1 >= b.size()) break;
    const int type = b[header] & 0x1f;
    const bool slice = type == 1 || type == 5;
    const bool opensUnit = (type == 9 || type == 7 || type == 8 || type == 6) ? picture
                           : slice ? (picture && (b[header + 1] & 0x80) != 0)
                                   : false;
    if (units.empty() || opensUnit) {
      if (!units.empty()) units.back().size = at - units.back().offset;
      units.push_back(AccessUnit{at, 0, false});
      picture = false;
    }
    if (slice) picture = true;
    if (type == 5) units.back().key = true;
  }
  if (!units.empty()) units.back().size = b.size() - units.back().offset;
  return units;
}

}  // namespace testsupport
