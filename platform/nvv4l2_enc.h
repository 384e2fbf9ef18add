// The board's hardware encoder speaks standard V4L2 memory-to-memory plus
// vendor extension controls (class 0x990000, one control per request) and
// a few records passed by address in a control's pointer field. This header
// names them for both sides of the device seam: the encoder element
// (codec/) and the emulated encoder (platform/v4l2emu/). Plain constants
// and records only.
#pragma once

#include <cstddef>
#include <cstdint>

namespace nvv4l2 {

// Standard MPEG controls as the encoder takes them in the vendor class.
inline constexpr std::uint32_t kCidEncGopSize = 0x9909CB;
inline constexpr std::uint32_t kCidEncBitrateMode = 0x9909CE;
inline constexpr std::uint32_t kCidEncBitrate = 0x9909CF;
inline constexpr std::uint32_t kCidEncH264Level = 0x990A67;
inline constexpr std::uint32_t kCidEncH264Profile = 0x990A6B;
inline constexpr std::uint32_t kCidEncH265Profile = 0x990B01;
inline constexpr std::uint32_t kCidEncIdrInterval = 0x990B02;
inline constexpr std::uint32_t kCidEncForceFrameType = 0x991103;
// Vendor controls.
inline constexpr std::uint32_t kCidEncTemporalTradeoff = 0x990B0D;
inline constexpr std::uint32_t kCidEncSliceLength = 0x990B0E;
inline constexpr std::uint32_t kCidEncRoiParams = 0x990B0F;
inline constexpr std::uint32_t kCidEncVirtualBufferSize = 0x990B10;
inline constexpr std::uint32_t kCidEncNumReferenceFrames = 0x990B11;
inline constexpr std::uint32_t kCidEncSliceIntrarefresh = 0x990B12;
inline constexpr std::uint32_t kCidEncNumBFrames = 0x990B13;
inline constexpr std::uint32_t kCidEncSpsPpsAtIdr = 0x990B14;
inline constexpr std::uint32_t kCidEncOutputMetadata = 0x990B15;
inline constexpr std::uint32_t kCidEncMotionVectorReporting = 0x990B16;
inline constexpr std::uint32_t kCidEncOutputMvMetadata = 0x990B17;
inline constexpr std::uint32_t kCidEncQpRange = 0x990B18;

// Rate control modes (the standard bitrate-mode values).
inline constexpr std::uint32_t kBitrateModeVbr = 0;
inline constexpr std::uint32_t kBitrateModeCbr = 1;

// Record payloads.
struct EncSliceLength {
  std::uint32_t type;
  std::uint32_t length;
};
struct EncVirtualBufferSize {
  std::uint32_t size;
};
struct EncNumReferenceFrames {
  std::uint32_t frames;
};
struct EncSliceIntrarefresh {
  std::uint32_t interval;
};
struct EncQpRange {
  std::uint32_t minQpI, maxQpI, minQpP, maxQpP, minQpB, maxQpB;
};

// Offset of the buffer index inside the per-frame ROI record.
inline constexpr std::size_t kRoiBufferIndexOffset = 164;

}  // namespace nvv4l2

enum v4l2_enc_temporal_tradeoff_level_type : std::uint32_t {
  V4L2_ENC_TEMPORAL_TRADEOFF_LEVEL_DROPNONE = 0,
  V4L2_ENC_TEMPORAL_TRADEOFF_LEVEL_DROP1IN5,
  V4L2_ENC_TEMPORAL_TRADEOFF_LEVEL_DROP1IN3,
  V4L2_ENC_TEMPORAL_TRADEOFF_LEVEL_DROP1IN2,
  V4L2_ENC_TEMPORAL_TRADEOFF_LEVEL_DROP2IN3,
};

enum v4l2_enc_slice_length_type : std::uint32_t {
  V4L2_ENC_SLICE_LENGTH_TYPE_BITS = 0,
  V4L2_ENC_SLICE_LENGTH_TYPE_MBLK,
};

// Per-frame regions of interest: up to eight rectangles with a QP delta
// each, then the index of the output buffer they apply to (at byte 164),
// which the element writes in.
struct v4l2_enc_frame_ROI_params_ {
  std::uint32_t num_ROI_regions;
  struct {
    std::int32_t left, top;
    std::uint32_t width, height;
    float qp_delta;
  } ROI_params[8];
  std::uint32_t v4l2_buffer_index;
  std::uint32_t config_params;
};
static_assert(offsetof(v4l2_enc_frame_ROI_params_, v4l2_buffer_index) == nvv4l2::kRoiBufferIndexOffset);

// What the encoder reports about one coded capture buffer. Byte 0 is the
// key-frame flag the encoder wrapper hands to its owner.
struct v4l2_ctrl_videoenc_outputbuf_metadata_ {
  std::uint8_t KeyFrame;
  std::uint8_t reserved[3];
  std::uint32_t FrameNumber;
  std::uint32_t EncodedBytes;
  std::int32_t AvgQP;
};

// Motion vectors of one coded buffer: where the encoder put them.
struct v4l2_ctrl_videoenc_outputbuf_metadata_MV_ {
  std::uint64_t pMVInfo;
  std::uint32_t bufSize;
};
