// One decoded picture handed from the decode stage to recognition and to the
// frame view. Passed by value; copies share the pixel bytes, which are packed
// rows (row r starts at r * width * bytes per pixel).
#pragma once

#include <cstdint>
#include <memory>

namespace kovira {

// Decoded pixel layouts; the values are the interface.
enum PixelFormat : std::uint32_t {
  PixelGray8 = 0,    // one byte per pixel: grey frames, luma of decoded H.264
  PixelGray8Alt = 1, // one byte per pixel; never produced
  PixelAR24 = 2,     // four bytes per pixel, converter output "AR24"
  PixelXR24 = 3,     // four bytes per pixel, converter output "XR24"
};

// "AR24" -> 2, "XR24" -> 3, any other four-character code -> 0.
PixelFormat pixFmt(std::uint32_t fourcc);

class DecodedFrame {
 public:
  DecodedFrame() = default;
  // Copies height rows of width * bpp bytes from src, stepping by stride
  // bytes per row (0: rows are packed). The buffer is one that a picture of
  // the same size gave back, when there is one.
  DecodedFrame(int camid, unsigned frame, PixelFormat format, int width, int height, const std::uint8_t* src,
               std::size_t stride);
  // Shares packed rows someone else already owns (no copy): a picture that
  // is a copy made earlier, such as a grey frame's copy taken out of its
  // store. Invalid unless `bytes` covers width * height * bpp.
  DecodedFrame(int camid, unsigned frame, PixelFormat format, int width, int height,
               std::shared_ptr<std::uint8_t[]> packed, std::uint64_t bytes);

  // Bytes per pixel; throws std::logic_error for an unknown format.
  static int getBpp(PixelFormat format);
  bool isValid() const { return camid > 0 && pixels && size > 0; }

  unsigned frame = 0;
  int camid = 0;
  int width = 0;
  int height = 0;
  PixelFormat format = PixelGray8;
  std::shared_ptr<std::uint8_t[]> pixels;
  std::int64_t size = 0;
};

}  // namespace kovira
