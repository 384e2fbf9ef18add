#include "codec/nvvideodecoder.h"

#include "codec/nvdevice.h"
#include "codec/nvlogging.h"
#include "platform/nvv4l2_ext.h"

#include <cstring>

NvVideoDecoder::NvVideoDecoder(const char* name, int flags)
    : NvV4l2Element(name, nvv4l2::kDecoderPath, flags,
                    NvElementProfiler::PROFILER_FIELD_FPS | NvElementProfiler::PROFILER_FIELD_TOTAL_UNITS) {}

NvVideoDecoder* NvVideoDecoder::createVideoDecoder(const char* name, int flags) {
  auto* dec = new NvVideoDecoder(name, flags);
  if (dec->isInError()) {
    delete dec;
    return nullptr;
  }
  return dec;
}

NvVideoDecoder::~NvVideoDecoder() = default;

int NvVideoDecoder::setOutputPlaneFormat(std::uint32_t pixfmt, std::uint32_t sizeimage) {
  if (pixfmt != nvv4l2::kFmtH264 && pixfmt != nvv4l2::kFmtH265) {
    COMP_ERROR_MSG("Unsupported pixel format for decoder output plane " << pixfmt);
    return -1;
  }
  output_plane_pixfmt = pixfmt;
  struct v4l2_format format;
  std::memset(&format, 0, sizeof format);
  format.fmt.pix_mp.pixelformat = pixfmt;
  format.fmt.pix_mp.num_planes = 1;
  format.fmt.pix_mp.plane_fmt[0].sizeimage = sizeimage;
  return output_plane.setFormat(format);
}

int NvVideoDecoder::setCapturePlaneFormat(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height) {
  if (pixfmt != nvv4l2::kFmtNM12) {
    COMP_ERROR_MSG("Only V4L2_PIX_FMT_NV12M is supported");
    return -1;
  }
  capture_plane_pixfmt = pixfmt;
  return setRawPlaneFormat(capture_plane, pixfmt, width, height);
}

int NvVideoDecoder::disableCompleteFrameInputBuffer() {
  if (output_plane_pixfmt != 0) {
    COMP_ERROR_MSG("Should be called before setting plane formats");
    return -1;
  }
  if (setExtControl(nvv4l2::kCidDecDisableCompleteFrameInput, 0) != 0) {
    COMP_SYS_ERROR_MSG("Disabling decoder complete frame input buffer: failed");
    return -1;
  }
  COMP_DEBUG_MSG("Disabling decoder complete frame input buffer: success");
  return 0;
}

bool NvVideoDecoder::checkAfterFormatsBeforeBuffers() {
  if (output_plane_pixfmt == 0) {
    COMP_ERROR_MSG("Should be called after setting plane formats");
    return false;
  }
  if (output_plane.getNumBuffers() > 0 && capture_plane.getNumBuffers() > 0) {
    COMP_ERROR_MSG("Should be called before requesting buffers on either plane");
    return false;
  }
  return true;
}

int NvVideoDecoder::disableDPB() {
  if (!checkAfterFormatsBeforeBuffers()) return -1;
  if (setExtControl(nvv4l2::kCidDecDisableDpb, 0) != 0) {
    COMP_SYS_ERROR_MSG("Disabling decoder DPB: failed");
    return -1;
  }
  COMP_DEBUG_MSG("Disabling decoder DPB: success");
  return 0;
}

int NvVideoDecoder::enableMetadataReporting() {
  if (!checkAfterFormatsBeforeBuffers()) return -1;
  if (setExtControl(nvv4l2::kCidDecEnableMetadataReporting, 0) != 0) {
    COMP_SYS_ERROR_MSG("Enabling decoder output metadata reporting: failed");
    return -1;
  }
  COMP_DEBUG_MSG("Enabling decoder output metadata reporting: success");
  return 0;
}

int NvVideoDecoder::setSkipFrames(std::uint32_t skip_frames) {
  if (!checkAfterFormatsBeforeBuffers()) return -1;
  if (setExtControl(nvv4l2::kCidDecSkipFrames, static_cast<std::int32_t>(skip_frames)) != 0) {
    COMP_SYS_ERROR_MSG("Setting decoder skip frames to " << skip_frames << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG("Setting decoder skip frames to " << skip_frames << ": success");
  return 0;
}

int NvVideoDecoder::getMinimumCapturePlaneBuffers(int& num) {
  if (getControl(nvv4l2::kCidMinBuffersForCapture, num) != 0) {
    COMP_SYS_ERROR_MSG("Getting decoder minimum capture plane buffers: failed");
    return -1;
  }
  COMP_DEBUG_MSG("Getting decoder minimum capture plane buffers (" << num << "): success");
  return 0;
}

int NvVideoDecoder::sendCommand(std::uint32_t cmd, bool tryOnly) {
  v4l2_decoder_cmd c{};
  c.cmd = cmd;
  if (devIoctl(fd, tryOnly ? VIDIOC_TRY_DECODER_CMD : VIDIOC_DECODER_CMD, &c) != 0) {
    COMP_SYS_ERROR_MSG("Sending decoder command " << cmd << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG("Sending decoder command " << cmd << ": success");
  return 0;
}
