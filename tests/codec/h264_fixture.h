// Test streams: H.264 elementary streams encoded at test time with libx264
// (through libavcodec) whose pictures carry their frame number as a barcode
// in the top quarter, plus a reference decoder straight on libavcodec.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace fixture {

struct AccessUnit {
  std::size_t offset;
  std::size_t size;
  bool key;
  int number;  // the number its picture shows (display order differs with B frames)
};

struct Stream {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<AccessUnit> units;  // one per frame, in order

  // The bytes of frames [first, last] (inclusive), as the frame store cuts a
  // group: its frames and the key frame that follows them.
  std::vector<std::uint8_t> slice(std::size_t first, std::size_t last) const;
  void append(const Stream& other);
};

// Frames numbered firstNumber, firstNumber + 1, ... in display order; a key
// frame every gop; up to bframes B frames between references (units are in
// decode order then, each knowing the number it shows).
Stream encode(int width, int height, int frames, int gop, int firstNumber = 0, int bframes = 0);

// Draws the picture of frame `number`: the barcode band and a moving texture.
void drawGrey(std::uint8_t* luma, int width, int height, int stride, int number);
// The number drawn in a luma picture, -1 when unreadable.
int readBarcode(const std::uint8_t* luma, int width, int height, int stride);
// The same from a B, G, R, A picture (green channel).
int readBarcodeBgra(const std::uint8_t* bgra, int width, int height, int stride);

struct Picture {
  int width;
  int height;
  std::vector<std::uint8_t> luma;  // packed rows
  std::vector<std::uint8_t> bgra;  // packed rows, libswscale bilinear
};
// Decodes the whole stream with libavcodec, single-threaded.
std::vector<Picture> referenceDecode(std::span<const std::uint8_t> bytes, bool withBgra);
// libavcodec's picture of each unit of the stream, in unit (decode) order.
std::vector<Picture> referenceByUnit(const Stream& s, bool withBgra);
// Peak signal-to-noise ratio of two equal-sized byte pictures, dB (1000 when equal).
double psnr(const std::vector<std::uint8_t>& a, const std::vector<std::uint8_t>& b);

// Descriptors open in this process, for tests that look for leaks.
int openDescriptors();

}  // namespace fixture
