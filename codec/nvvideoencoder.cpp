#include "codec/nvvideoencoder.h"

#include "codec/nvlogging.h"
#include "platform/nvv4l2_ext.h"

#include <cstring>
#include <iostream>
#include <sstream>

NvVideoEncoder::NvVideoEncoder(const char* name, int flags)
    : NvV4l2Element(name, nvv4l2::kEncoderPath, flags,
                    NvElementProfiler::PROFILER_FIELD_FPS | NvElementProfiler::PROFILER_FIELD_LATENCIES |
                        NvElementProfiler::PROFILER_FIELD_TOTAL_UNITS) {}

NvVideoEncoder* NvVideoEncoder::createVideoEncoder(const char* name, int flags) {
  auto* enc = new NvVideoEncoder(name, flags);
  if (enc->isInError()) {
    delete enc;
    return nullptr;
  }
  return enc;
}

NvVideoEncoder::~NvVideoEncoder() = default;

int NvVideoEncoder::setOutputPlaneFormat(unsigned int pixfmt, unsigned int width, unsigned int height) {
  if (pixfmt != nvv4l2::kFmtYM12) {
    COMP_ERROR_MSG("Only V4L2_PIX_FMT_YUV420M is supported");
    return -1;
  }
  output_plane_pixfmt = pixfmt;
  return setRawPlaneFormat(output_plane, pixfmt, width, height);
}

int NvVideoEncoder::setCapturePlaneFormat(unsigned int pixfmt, unsigned int width, unsigned int height,
                                          unsigned int sizeimage) {
  if (pixfmt != nvv4l2::kFmtH264 && pixfmt != nvv4l2::kFmtH265) {
    NVLOG_LINE(nvlog::kError, nullptr, nullptr, "Unknown supported pixel format for encoder " << pixfmt, false);
    return -1;
  }
  capture_plane_pixfmt = pixfmt;
  struct v4l2_format format;
  std::memset(&format, 0, sizeof format);
  format.fmt.pix_mp.pixelformat = pixfmt;
  format.fmt.pix_mp.width = width;
  format.fmt.pix_mp.height = height;
  format.fmt.pix_mp.num_planes = 1;
  format.fmt.pix_mp.plane_fmt[0].sizeimage = sizeimage;
  return capture_plane.setFormat(format);
}

int NvVideoEncoder::setFrameRate(unsigned int framerateNum, unsigned int framerateDen) {
  if (!allowed(When::Formats)) return -1;
  struct v4l2_streamparm parm;
  std::memset(&parm, 0, sizeof parm);
  parm.parm.output.timeperframe.numerator = framerateDen;
  parm.parm.output.timeperframe.denominator = framerateNum;
  if (output_plane.setStreamParms(parm) != 0) {
    COMP_SYS_ERROR_MSG("Setting framerate to " << framerateNum << "/" << framerateDen << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG("Setting framerate to " << framerateNum << "/" << framerateDen << ": success");
  return 0;
}

bool NvVideoEncoder::allowed(When when) {
  if (output_plane_pixfmt == 0 || capture_plane_pixfmt == 0) {
    COMP_ERROR_MSG("Should be called after setting plane formats");
    return false;
  }
  const bool outBufs = output_plane.getNumBuffers() > 0;
  const bool capBufs = capture_plane.getNumBuffers() > 0;
  if (when == When::BeforeBuffers && outBufs && capBufs) {
    COMP_ERROR_MSG("Should be called before requesting buffers on either plane");
    return false;
  }
  if (when == When::WithBuffers && !(outBufs && capBufs)) return false;
  return true;
}

int NvVideoEncoder::sendControl(std::uint32_t id, std::int32_t value, void* record, std::uint32_t size, bool read) {
  struct v4l2_ext_control control;
  struct v4l2_ext_controls ctrls;
  std::memset(&control, 0, sizeof control);
  std::memset(&ctrls, 0, sizeof ctrls);
  control.id = id;
  if (record) {
    control.ptr = record;
    control.size = size;
  } else {
    control.value = value;
  }
  ctrls.ctrl_class = nvv4l2::kCtrlClassVendor;
  ctrls.count = 1;
  ctrls.controls = &control;
  return read ? getExtControls(ctrls) : setExtControls(ctrls);
}

template <class Stem>
int NvVideoEncoder::control(When when, std::uint32_t id, std::int32_t value, void* record, std::uint32_t size,
                            bool read, Stem stem) {
  if (!allowed(when)) return -1;
  std::ostringstream text;
  stem(text);
  if (sendControl(id, value, record, size, read) != 0) {
    COMP_SYS_ERROR_MSG(text.str() << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG(text.str() << ": success");
  return 0;
}

int NvVideoEncoder::setBitrate(unsigned int bitrate) {
  // Both formats go to standard output first, whatever the log level.
  std::cout << capture_plane_pixfmt << "\n" << output_plane_pixfmt << "\n" << std::flush;
  return control(When::Formats, nvv4l2::kCidEncBitrate, static_cast<std::int32_t>(bitrate), nullptr, 0, false,
                 [&](std::ostream& o) { o << "Setting encoder bitrate to " << bitrate; });
}

int NvVideoEncoder::setProfile(unsigned int profile) {
  if (!allowed(When::BeforeBuffers)) return -1;
  std::uint32_t id = 0;
  if (capture_plane_pixfmt == nvv4l2::kFmtH264) id = nvv4l2::kCidEncH264Profile;
  else if (capture_plane_pixfmt == nvv4l2::kFmtH265) id = nvv4l2::kCidEncH265Profile;
  else {
    COMP_ERROR_MSG("Unsupported encoder type");
    return -1;
  }
  return control(When::BeforeBuffers, id, static_cast<std::int32_t>(profile), nullptr, 0, false,
                 [&](std::ostream& o) { o << "Setting encoder profile to " << profile; });
}

int NvVideoEncoder::setLevel(enum v4l2_mpeg_video_h264_level level) {
  if (!allowed(When::BeforeBuffers)) return -1;
  if (capture_plane_pixfmt != nvv4l2::kFmtH264) {
    COMP_ERROR_MSG("Currently only supported for H.264");
    return -1;
  }
  return control(When::BeforeBuffers, nvv4l2::kCidEncH264Level, static_cast<std::int32_t>(level), nullptr, 0, false,
                 [&](std::ostream& o) { o << "Setting encoder level to " << static_cast<unsigned>(level); });
}

int NvVideoEncoder::setRateControlMode(enum v4l2_mpeg_video_bitrate_mode mode) {
  return control(When::BeforeBuffers, nvv4l2::kCidEncBitrateMode, static_cast<std::int32_t>(mode), nullptr, 0, false,
                 [&](std::ostream& o) { o << "Setting encoder rate control mode to " << static_cast<unsigned>(mode); });
}

int NvVideoEncoder::setIFrameInterval(unsigned int interval) {
  return control(When::BeforeBuffers, nvv4l2::kCidEncGopSize, static_cast<std::int32_t>(interval), nullptr, 0, false,
                 [&](std::ostream& o) { o << "Setting encoder I-frame interval to " << interval; });
}

int NvVideoEncoder::setIDRInterval(unsigned int interval) {
  return control(When::BeforeBuffers, nvv4l2::kCidEncIdrInterval, static_cast<std::int32_t>(interval), nullptr, 0,
                 false, [&](std::ostream& o) { o << "Setting encoder IDR interval to " << interval; });
}

int NvVideoEncoder::forceIDR() {
  return control(When::Formats, nvv4l2::kCidEncForceFrameType, 0, nullptr, 0, false,
                 [&](std::ostream& o) { o << "Forcing IDR"; });
}

int NvVideoEncoder::setTemporalTradeoff(v4l2_enc_temporal_tradeoff_level_type level) {
  return control(When::BeforeBuffers, nvv4l2::kCidEncTemporalTradeoff, static_cast<std::int32_t>(level), nullptr, 0,
                 false, [&](std::ostream& o) {
                   o << "Setting encoder temporal tradeoff level to " << static_cast<unsigned>(level);
                 });
}

int NvVideoEncoder::setSliceLength(v4l2_enc_slice_length_type type, unsigned int length) {
  nvv4l2::EncSliceLength record{static_cast<std::uint32_t>(type), length};
  return control(When::BeforeBuffers, nvv4l2::kCidEncSliceLength, 0, &record, sizeof record, false,
                 [&](std::ostream& o) {
                   o << "Setting encoder packet type to " << static_cast<unsigned>(type) << ", length to " << length;
                 });
}

int NvVideoEncoder::setROIParams(unsigned int bufferIndex, v4l2_enc_frame_ROI_params_& params) {
  params.v4l2_buffer_index = bufferIndex;
  return control(When::WithBuffers, nvv4l2::kCidEncRoiParams, 0, &params, sizeof params, false,
                 [&](std::ostream& o) { o << "Setting encoder ROI params for buffer " << bufferIndex; });
}

int NvVideoEncoder::setVirtualBufferSize(unsigned int size) {
  nvv4l2::EncVirtualBufferSize record{size};
  return control(When::BeforeBuffers, nvv4l2::kCidEncVirtualBufferSize, 0, &record, sizeof record, false,
                 [&](std::ostream& o) { o << "Setting encoder virtual buffer size to " << size; });
}

int NvVideoEncoder::setNumReferenceFrames(unsigned int frames) {
  nvv4l2::EncNumReferenceFrames record{frames};
  return control(When::BeforeBuffers, nvv4l2::kCidEncNumReferenceFrames, 0, &record, sizeof record, false,
                 [&](std::ostream& o) { o << "Setting encoder number of reference frames to " << frames; });
}

int NvVideoEncoder::setSliceIntrarefresh(unsigned int interval) {
  nvv4l2::EncSliceIntrarefresh record{interval};
  return control(When::BeforeBuffers, nvv4l2::kCidEncSliceIntrarefresh, 0, &record, sizeof record, false,
                 [&](std::ostream& o) { o << "Setting encoder slice intrarefresh interval to " << interval; });
}

int NvVideoEncoder::setNumBFrames(unsigned int frames) {
  return control(When::BeforeBuffers, nvv4l2::kCidEncNumBFrames, static_cast<std::int32_t>(frames), nullptr, 0,
                 false, [&](std::ostream& o) { o << "Setting encoder number of B frames to " << frames; });
}

int NvVideoEncoder::setInsertSpsPpsAtIdrEnabled(bool enabled) {
  const unsigned value = enabled ? 1 : 0;
  return control(When::BeforeBuffers, nvv4l2::kCidEncSpsPpsAtIdr, static_cast<std::int32_t>(value), nullptr, 0,
                 false, [&](std::ostream& o) { o << "Setting encoder SPSPPSatIDR to " << value; });
}

int NvVideoEncoder::enableMotionVectorReporting() {
  return control(When::BeforeBuffers, nvv4l2::kCidEncMotionVectorReporting, 1, nullptr, 0, false,
                 [&](std::ostream& o) { o << "Enabling encoder motion vector reporting"; });
}

int NvVideoEncoder::setQpRange(unsigned int minQpI, unsigned int maxQpI, unsigned int minQpP, unsigned int maxQpP,
                               unsigned int minQpB, unsigned int maxQpB) {
  nvv4l2::EncQpRange record{minQpI, maxQpI, minQpP, maxQpP, minQpB, maxQpB};
  return control(When::BeforeBuffers, nvv4l2::kCidEncQpRange, 0, &record, sizeof record, false,
                 [&](std::ostream& o) {
                   o << "Setting encoder Qp range " << minQpI << "," << maxQpI << "," << minQpP << "," << maxQpP
                     << "," << minQpB << "," << maxQpB;
                 });
}

int NvVideoEncoder::getMetadata(unsigned int bufferIndex, v4l2_ctrl_videoenc_outputbuf_metadata_& metadata) {
  nvv4l2::MetadataRequest request{};
  request.encoderMetadata = reinterpret_cast<std::uint64_t>(&metadata);
  request.bufferIndex = bufferIndex;
  return control(When::WithBuffers, nvv4l2::kCidEncOutputMetadata, 0, &request, sizeof request, true,
                 [&](std::ostream& o) { o << "Getting encoder output metadata for buffer " << bufferIndex; });
}

int NvVideoEncoder::getMotionVectors(unsigned int bufferIndex, v4l2_ctrl_videoenc_outputbuf_metadata_MV_& mv) {
  nvv4l2::MetadataRequest request{};
  request.encoderMvMetadata = reinterpret_cast<std::uint64_t>(&mv);
  request.bufferIndex = bufferIndex;
  return control(When::WithBuffers, nvv4l2::kCidEncOutputMvMetadata, 0, &request, sizeof request, true,
                 [&](std::ostream& o) { o << "Getting encoder output MV metadata for buffer " << bufferIndex; });
}
