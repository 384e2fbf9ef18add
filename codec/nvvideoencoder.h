// The hardware video encoder element on "/dev/nvhost-msenc": its output
// plane takes three-plane 4:2:0 pictures ("YM12"), its capture plane gives
// H.264 or H.265 access units. Adds the encoder's formats, frame rate and
// encoding controls to the element base. Created by createVideoEncoder,
// which returns null when the device cannot be used.
//
// Every control is one vendor-class request; the results are 0 or -1 with
// a line in the element's log format. Controls that shape the stream must
// come before buffers exist on both planes.
#pragma once

#include "codec/nvv4l2element.h"
#include "platform/nvv4l2_enc.h"

class NvVideoEncoder : public NvV4l2Element {
 public:
  static NvVideoEncoder* createVideoEncoder(const char* name, int flags = 0);
  ~NvVideoEncoder() override;

  int setOutputPlaneFormat(unsigned int pixfmt, unsigned int width, unsigned int height);
  int setCapturePlaneFormat(unsigned int pixfmt, unsigned int width, unsigned int height, unsigned int sizeimage);
  int setFrameRate(unsigned int framerateNum, unsigned int framerateDen);

  int setBitrate(unsigned int bitrate);
  int setProfile(unsigned int profile);
  int setLevel(enum v4l2_mpeg_video_h264_level level);
  int setRateControlMode(enum v4l2_mpeg_video_bitrate_mode mode);
  int setIFrameInterval(unsigned int interval);
  int setIDRInterval(unsigned int interval);
  int forceIDR();
  int setTemporalTradeoff(v4l2_enc_temporal_tradeoff_level_type level);
  int setSliceLength(v4l2_enc_slice_length_type type, unsigned int length);
  int setROIParams(unsigned int bufferIndex, v4l2_enc_frame_ROI_params_& params);
  int setVirtualBufferSize(unsigned int size);
  int setNumReferenceFrames(unsigned int frames);
  int setSliceIntrarefresh(unsigned int interval);
  int setNumBFrames(unsigned int frames);
  int setInsertSpsPpsAtIdrEnabled(bool enabled);
  int enableMotionVectorReporting();
  int setQpRange(unsigned int minQpI, unsigned int maxQpI, unsigned int minQpP, unsigned int maxQpP,
                 unsigned int minQpB, unsigned int maxQpB);
  int getMetadata(unsigned int bufferIndex, v4l2_ctrl_videoenc_outputbuf_metadata_& metadata);
  int getMotionVectors(unsigned int bufferIndex, v4l2_ctrl_videoenc_outputbuf_metadata_MV_& mv);

 protected:
  NvVideoEncoder(const char* name, int flags);

 private:
  enum class When { Formats, BeforeBuffers, WithBuffers };
  // The preconditions in order: plane formats set (P1), buffers not yet on
  // both planes (P2), buffers on both planes (P3, silent).
  bool allowed(When when);
  // One control of the vendor class, set (or read) with a value or a record.
  int sendControl(std::uint32_t id, std::int32_t value, void* record, std::uint32_t size, bool read);
  template <class Stem>
  int control(When when, std::uint32_t id, std::int32_t value, void* record, std::uint32_t size, bool read,
              Stem stem);
};
