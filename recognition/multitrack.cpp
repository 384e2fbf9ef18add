#include "recognition/multitrack.h"

#include <algorithm>
#include <stdexcept>

namespace kovira {

std::string MultiTrack::text() const { return tracks.empty() ? std::string() : tracks.front().text(); }

std::vector<Track>::iterator MultiTrack::_track(std::uint32_t zone) {
  return std::find_if(tracks.begin(), tracks.end(), [zone](const Track& t) { return t.zone == zone; });
}

bool MultiTrack::hasTrack(std::uint32_t zone) const {
  return std::any_of(tracks.begin(), tracks.end(), [zone](const Track& t) { return t.zone == zone; });
}

Track& MultiTrack::track(std::uint32_t zone) {
  const auto it = _track(zone);
  if (it == tracks.end())
    throw std::logic_error("track was not found in MultiTrack [zoneid=" + std::to_string(zone) + "]");
  return *it;
}

bool MultiTrack::addTrack(const Track& t) {
  const auto it = _track(t.zone);
  if (it != tracks.end()) return it->joinTrack(t);
  tracks.push_back(t);
  return true;
}

}  // namespace kovira
