// Camera start-up and exit: starts the sources of the configured cameras
// and routes their frames into the cameras' frame stores.
//
// Sources served by the RTSP receiver ("rtsp": a network stream, "file":
// the receiver's file playback) are started by frames::init_frames; frames
// arrive through catchrtsp. "opencv" cameras are played by threads of
// capture/opencv_play.h. At exit frames::exit_frames disconnects the
// network cameras.
//
// Threading: init_frames and exit_frames run on the main thread (start-up
// and exit registries). catchrtsp runs on the receiver's threads and is the
// only writer of those cameras' stores.
#pragma once

#include "capture/frametypes.h"

#include <cstdint>
#include <string>

namespace frames {

// Sources that the RTSP receiver serves; a camera belongs to the receiver
// when its source is non-empty and occurs in this text.
extern const std::string possible;

// Starts every enabled receiver camera (AddSession, then Connect for
// "rtsp" or PlayFile for "file"); returns how many cameras were started,
// whatever the receiver answered. Throws what getrtsp() throws.
int createCameras();
// Frame sink subscribed on the receiver: stores the frame in every enabled
// camera with that id (the chroma is not used) with its capture time: the
// RTP clock of a network camera (RtpFrameClock), the delivery time of a
// played file (time stamp 0).
void catchrtsp(int camid, FrameType type, int chroma, int width, int height, unsigned ts,
               unsigned char* data, unsigned long size);
// Disconnects every session of the receiver when it was built (whatever
// the cameras' settings are now); file playback goes on.
void closeCameras();

// Capture times of a network camera's frames: its 90 kHz RTP clock anchored
// to the wall clock at the first frame, so that frame intervals keep the
// camera's own spacing however the frames arrive. A stamp more than 1 s
// from the wall clock (a camera restart, a wrapped or jumping clock)
// re-anchors. One object per camera; not thread-safe.
class RtpFrameClock {
 public:
  static constexpr std::int64_t kReanchorUs = 1000000;
  // Wall-clock microseconds of the frame with RTP timestamp ts, received
  // at nowUs.
  std::int64_t stamp(std::uint32_t ts, std::int64_t nowUs);

 private:
  bool anchored_ = false;
  std::uint32_t ts0_ = 0;
  std::int64_t us0_ = 0;
};

}  // namespace frames

namespace kovira {

// True once the cameras' sources were started: a camera that the
// configuration adds later gets no source until the next start.
bool framesAllocated();

}  // namespace kovira
