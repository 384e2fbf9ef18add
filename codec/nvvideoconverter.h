// The video image compositor element on "/dev/nvhost-vic": changes pixel
// format, size and memory layout (block-linear to pitch-linear). Its output
// plane takes pictures (the decoder's, shared by descriptor), its capture
// plane gives them in the asked format. Created by createVideoConverter,
// which returns null when the device cannot be used.
#pragma once

#include "codec/nvv4l2element.h"

class NvVideoConverter : public NvV4l2Element {
 public:
  static NvVideoConverter* createVideoConverter(const char* name, int flags = 0);
  ~NvVideoConverter() override;

  int setOutputPlaneBufferLayout(std::uint32_t layout);
  int setCapturePlaneBufferLayout(std::uint32_t layout);
  int setOutputPlaneFormat(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height, std::uint32_t layout);
  int setCapturePlaneFormat(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height, std::uint32_t layout);
  int setInterpolationMethod(std::uint32_t method);
  int setFlipMethod(std::uint32_t method);
  int setTnrAlgorithm(std::uint32_t algorithm);
  int setCropRect(std::uint32_t left, std::uint32_t top, std::uint32_t width, std::uint32_t height);
  int waitForIdle(std::uint32_t max_wait_ms) override;

 private:
  NvVideoConverter(const char* name, int flags);
  bool checkBeforeBuffers();
  int setControlBeforeBuffers(std::uint32_t id, std::uint32_t value, const char* what);
  int setPlaneFormat(NvV4l2ElementPlane& plane, std::uint32_t& stored, std::uint32_t pixfmt, std::uint32_t width,
                     std::uint32_t height, const char* what);
};
