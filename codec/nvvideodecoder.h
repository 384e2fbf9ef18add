// The hardware video decoder element on "/dev/nvhost-nvdec": its output
// plane takes the H.264 / H.265 stream, its capture plane gives NM12
// pictures. Adds the decoder's formats and vendor controls to the element
// base. Created by createVideoDecoder, which returns null when the device
// cannot be used.
#pragma once

#include "codec/nvv4l2element.h"

class NvVideoDecoder : public NvV4l2Element {
 public:
  static NvVideoDecoder* createVideoDecoder(const char* name, int flags = 0);
  ~NvVideoDecoder() override;

  int setOutputPlaneFormat(std::uint32_t pixfmt, std::uint32_t sizeimage);
  int setCapturePlaneFormat(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height);
  int disableCompleteFrameInputBuffer();
  int disableDPB();
  int enableMetadataReporting();
  int setSkipFrames(std::uint32_t skip_frames);
  int getMinimumCapturePlaneBuffers(int& num);
  // VIDIOC_DECODER_CMD (or VIDIOC_TRY_DECODER_CMD with tryOnly) with
  // V4L2_DEC_CMD_STOP (drain) or V4L2_DEC_CMD_START (resume after a drain).
  int sendCommand(std::uint32_t cmd, bool tryOnly = false);

 private:
  NvVideoDecoder(const char* name, int flags);
  // Fails (with the message) unless both formats are set and not both planes hold buffers.
  bool checkAfterFormatsBeforeBuffers();
};
