// A plate group: the finished tracks of one plate text, at most one per
// zone, handed to the processing modules.
//
// Threading: built by the result-queue thread, then owned by the one worker
// that runs the modules on it; modules change it (the counter) without a lock.
#pragma once

#include "recognition/track.h"

#include <cstdint>
#include <string>
#include <vector>

namespace kovira {

class MultiTrack {
 public:
  std::string text() const;
  bool hasTrack(std::uint32_t zone) const;
  // Throws std::logic_error when the group has no track of that zone.
  Track& track(std::uint32_t zone);
  std::vector<Track>::iterator _track(std::uint32_t zone);
  // A second track of a zone is merged into the first (Track::joinTrack);
  // false when it refuses, and then t is not part of the group.
  bool addTrack(const Track& t);

  // Pieces of evidence produced for this group by the modules run so far.
  std::uint32_t counter = 0;
  std::vector<Track> tracks;
};

}  // namespace kovira
