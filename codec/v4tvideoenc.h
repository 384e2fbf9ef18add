// V4TVideoEnc: 8-bit grey pictures to an H.264 stream on the board's
// hardware. Each picture is copied into the converter element's input
// buffer (chroma set to neutral grey), scaled to the encoder's size, and
// handed to the encoder element by descriptor; coded buffers come back on
// the encoder's dequeue thread and go to outputCallback.
//
// Threading: the owner's thread builds it, calls encode (one at a time: all
// pictures use buffer 0) and destroys it; outputCallback runs on the
// encoder capture plane's dequeue thread and must not destroy the wrapper.
// Every wait is bounded: a picture the hardware does not take within
// kPictureWait makes encode return -1, and destruction ends the stream and
// waits at most kEndOfStreamWait before it stops the planes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

class V4TVideoEncPrivate;

class V4TVideoEnc {
 public:
  static constexpr std::chrono::milliseconds kPictureWait{2000};
  static constexpr std::chrono::milliseconds kEndOfStreamWait{2000};

  // Throws std::logic_error when the converter cannot be set up.
  V4TVideoEnc(unsigned int inWidth, unsigned int inHeight, unsigned int outWidth, unsigned int outHeight);
  ~V4TVideoEnc();
  V4TVideoEnc(const V4TVideoEnc&) = delete;
  V4TVideoEnc& operator=(const V4TVideoEnc&) = delete;

  // grey: inHeight packed rows of inWidth bytes. 0 once the encoder took the
  // picture; -1 when nothing was encoded.
  int encode(unsigned char* grey);
  // Into converter input buffer `index`: luma rows at the plane's stride,
  // both chroma planes 128.
  void copyFrame(unsigned int width, unsigned int height, unsigned char* data, int index);
  // Converts and encodes converter input buffer `index`; 0 or -1.
  int encodeFrame(int index);

  // Key-frame flag (metadata byte 0), coded bytes, their number; the bytes
  // are valid only during the call. Set before the first encode.
  std::function<void(unsigned int, unsigned char*, unsigned long)> outputCallback;

 private:
  std::unique_ptr<V4TVideoEncPrivate> priv_;
  std::uint32_t inPixfmt_;
  std::uint32_t codec_;
  std::uint32_t bitrate_ = 0;
};
