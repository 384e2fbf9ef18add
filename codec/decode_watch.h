// The decode stage's watch over what cannot be decoded at all: a stream
// whose group of pictures runs past the frame limit (intra refresh never
// closes one; x264's default key-frame interval of 250 frames is over it)
// is found while the group is still open, reported once with one console
// line and a line on the camera page, and its frames are marked taken and
// skipped as they come, so the camera does not stay the most congested one
// and hold the decode thread away from the others. Also notes, per camera,
// when the stage last gave a picture.
//
// Threading: the decode thread only (the camera page reads what it notes
// through the store's DecodeState atomics).
#pragma once

#include <cstdint>
#include <map>

namespace kovira {

struct FrameSequence;

class DecodeWatch {
 public:
  // Nothing complete is pending on the camera: an open group past the
  // limit, or the rest of one, is marked taken and skipped.
  void idle(int cam);
  // A sequence just taken: true when it cannot be decoded because its group
  // ran past the limit (the caller marks it skipped).
  bool undecodable(const FrameSequence& seq);
  // A sequence went through the decoder.
  void decoded(const FrameSequence& seq);

 private:
  void reportLong(int cam);

  std::map<int, bool> inLongGroup_;  // the camera's open group ran past the limit
  std::map<int, bool> reported_;     // its console line was written since its last picture
};

}  // namespace kovira
