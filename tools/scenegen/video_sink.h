// Video outputs of the scene generator. Each sink owns its encoder (an
// OpenCV writer, or an ffmpeg process fed through a pipe) and finishes the
// file in close() or its destructor. One thread uses a sink.
#pragma once

#include "platform/plate/grey_image.h"

#include <memory>
#include <string>

namespace kovira::scenegen {

class VideoSink {
 public:
  virtual ~VideoSink() = default;
  // False when the encoder refused the frame; the file is then unusable.
  [[nodiscard]] virtual bool write(plate::GreyView frame) = 0;
  // Finishes the file; false when the encoder reported a failure.
  [[nodiscard]] virtual bool close() = 0;
};

// Grey AVI for "opencv" cameras: FFV1 (lossless), or MJPEG at quality 100
// where FFV1 is missing. Null with an error text when neither opens.
std::unique_ptr<VideoSink> openGreyAvi(const std::string& path, int width, int height, int fps, std::string& error);

// Annex-B H.264 (libx264 through the ffmpeg command): a key frame every
// second with its parameter sets repeated, no B-frames, for file playback and
// RTSP cameras that may join the stream at any key frame.
std::unique_ptr<VideoSink> openH264(const std::string& path, int width, int height, int fps, std::string& error);

}  // namespace kovira::scenegen
