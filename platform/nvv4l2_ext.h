// The board's codec devices speak standard V4L2 memory-to-memory plus a set
// of vendor extension controls, a resolution-change event and a per-picture
// metadata record. This header names those extensions for both sides of the
// device seam: the codec element classes (codec/) and our in-process
// emulation of the devices (platform/v4l2emu/). It holds plain constants and
// records only, so it can be included anywhere without videodev2.h.
#pragma once

#include <cstdint>

namespace nvv4l2 {

// Device nodes of the three codec engines.
inline constexpr const char* kDecoderPath = "/dev/nvhost-nvdec";
inline constexpr const char* kConverterPath = "/dev/nvhost-vic";
inline constexpr const char* kEncoderPath = "/dev/nvhost-msenc";

// Four-character codes, as V4L2 packs them (first letter in the low byte).
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(static_cast<unsigned char>(a)) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(b)) << 8) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(c)) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(d)) << 24);
}
inline constexpr std::uint32_t kFmtH264 = fourcc('H', '2', '6', '4');
inline constexpr std::uint32_t kFmtH265 = fourcc('H', '2', '6', '5');
inline constexpr std::uint32_t kFmtNM12 = fourcc('N', 'M', '1', '2');
inline constexpr std::uint32_t kFmtYM12 = fourcc('Y', 'M', '1', '2');
inline constexpr std::uint32_t kFmtYM21 = fourcc('Y', 'M', '2', '1');
inline constexpr std::uint32_t kFmt422M = fourcc('4', '2', '2', 'M');
inline constexpr std::uint32_t kFmt42RM = fourcc('4', '2', 'R', 'M');
inline constexpr std::uint32_t kFmtYM44 = fourcc('Y', 'M', '4', '4');
inline constexpr std::uint32_t kFmtYUYV = fourcc('Y', 'U', 'Y', 'V');
inline constexpr std::uint32_t kFmtYVYU = fourcc('Y', 'V', 'Y', 'U');
inline constexpr std::uint32_t kFmtUYVY = fourcc('U', 'Y', 'V', 'Y');
inline constexpr std::uint32_t kFmtVYUY = fourcc('V', 'Y', 'U', 'Y');
inline constexpr std::uint32_t kFmtGREY = fourcc('G', 'R', 'E', 'Y');
inline constexpr std::uint32_t kFmtAR24 = fourcc('A', 'R', '2', '4');
inline constexpr std::uint32_t kFmtBX24 = fourcc('B', 'X', '2', '4');
inline constexpr std::uint32_t kFmtXR24 = fourcc('X', 'R', '2', '4');

// Event raised by the decoder before its first picture and whenever the
// coded picture size changes (the standard source-change event number).
inline constexpr std::uint32_t kEventResolutionChange = 5;

// Standard control read from the decoder.
inline constexpr std::uint32_t kCidMinBuffersForCapture = 0x980927;

// Vendor extension controls, class 0x990000; one control per request.
inline constexpr std::uint32_t kCtrlClassVendor = 0x990000;
inline constexpr std::uint32_t kCidDecDisableCompleteFrameInput = 0x990B03;
inline constexpr std::uint32_t kCidDecDisableDpb = 0x990B04;
inline constexpr std::uint32_t kCidDecEnableMetadataReporting = 0x990B05;
inline constexpr std::uint32_t kCidDecSkipFrames = 0x990B06;
inline constexpr std::uint32_t kCidConvOutputBufferLayout = 0x990B08;
inline constexpr std::uint32_t kCidConvCaptureBufferLayout = 0x990B09;
inline constexpr std::uint32_t kCidConvFlipMethod = 0x990B0A;
inline constexpr std::uint32_t kCidConvInterpolationMethod = 0x990B0B;
inline constexpr std::uint32_t kCidConvTnrAlgorithm = 0x990B0C;

// Buffer layouts of the converter's planes.
inline constexpr std::uint32_t kLayoutPitch = 0;
inline constexpr std::uint32_t kLayoutBlockLinear = 1;

// The payload of the encoder's output-metadata controls: addresses of
// records the device fills for the coded buffer `bufferIndex`.
struct MetadataRequest {
  std::uint64_t decoderMetadata;  // unused: the decoder's per-picture record is not read
  std::uint64_t encoderMetadata;
  std::uint64_t encoderMvMetadata;
  std::uint32_t bufferIndex;
};

}  // namespace nvv4l2
