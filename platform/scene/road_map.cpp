#include "platform/scene/road_map.h"

#include <utility>

namespace kovira::scenegen {

RoadMap::RoadMap(std::vector<int> rows, double metres) : rows_(std::move(rows)), metres_(metres) {}

double RoadMap::metresAt(double y) const {
  const std::size_t bands = rows_.size() - 1;
  std::size_t i = 0;
  while (i + 1 < bands && y > rows_[i + 1]) ++i;
  const double span = rows_[i + 1] - rows_[i];
  return metres_ * (static_cast<double>(i) + (y - rows_[i]) / span);
}

double RoadMap::rowAt(double s) const {
  const std::size_t bands = rows_.size() - 1;
  std::size_t i = 0;
  while (i + 1 < bands && s > metres_ * static_cast<double>(i + 1)) ++i;
  const double span = rows_[i + 1] - rows_[i];
  return rows_[i] + (s / metres_ - static_cast<double>(i)) * span;
}

}  // namespace kovira::scenegen
