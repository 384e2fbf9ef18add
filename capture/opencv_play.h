// File playback with OpenCV for cameras of source "opencv": one thread per
// such camera reads its video file at the camera's pace, turns every picture
// to 8-bit grey and stores it as a raw grey frame; at the end of the file it
// pauses 3 seconds and plays the file again (with the URL the configuration
// holds then), until the unit stops (`working` cleared). A file that cannot
// be opened ends its thread.
//
// Threading: each playback thread is the only writer of its camera's store
// and reads the camera's settings under the configuration read lock. The
// threads belong to this module: stopPlayback (the exit registry, or static
// destruction) wakes and joins them; opening and reading a URL wait at most
// a few seconds. The functions below other than opencv_read_init and
// stopPlayback run on a playback thread (tests call them directly).
#pragma once

#include <chrono>
#include <string>

namespace camreadcv {

// Pause between two plays of a file.
inline constexpr std::chrono::seconds kReplayPause{3};
// Frame period when the camera has no frame rate.
inline constexpr unsigned kDefaultPeriodMs = 40;
// Longest wait for opening a URL and for reading one frame from it.
inline constexpr int kOpenTimeoutMs = 5000;
inline constexpr int kReadTimeoutMs = 5000;

// Starts one playback thread per enabled "opencv" camera.
void opencv_read_init();
// The playback thread's body: plays the file again and again while
// `working` is set; returns when the file cannot be opened.
void opencv_play_file(int camid);
// Plays the file once: the number of frames read, or -1 when the file
// cannot be opened.
int opencv_play_once(int camid);
// Stores one grey picture in every enabled camera with that id, when size
// is width x height, with the given capture time.
void opencv_place(int camid, int width, int height, unsigned sec, unsigned usec, const unsigned char* data,
                  unsigned long size);

// Frame period of a camera with this frame rate, in milliseconds.
unsigned framePeriodMs(unsigned fps);
// Thread name of the playback of url: "opencv: " and the first 7
// characters of the URL's last path element.
std::string playbackThreadName(const std::string& url);
// Stops every playback thread and joins it: each ends within a frame period
// or the open/read limit. Playback can be started again afterwards.
void stopPlayback();

}  // namespace camreadcv
