// Mapping between image rows and road distance for a calibrated stretch:
// consecutive calibration rows are `metres` apart on the road and distance
// grows linearly with the row inside each band, which is exactly how the
// unit measures distance between calibration marks. Outside the marks the
// nearest band's scale continues. Pure; copyable.
#pragma once

#include <vector>

namespace kovira::scenegen {

class RoadMap {
 public:
  // rows: at least two, strictly increasing; metres > 0 (checked by the scene parser).
  RoadMap(std::vector<int> rows, double metres);

  // Road distance in metres from the first mark to row y (negative above it).
  double metresAt(double y) const;
  // The row at road distance s; the inverse of metresAt.
  double rowAt(double s) const;

 private:
  std::vector<int> rows_;
  double metres_;
};

}  // namespace kovira::scenegen
