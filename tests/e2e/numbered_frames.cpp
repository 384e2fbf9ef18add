// numbered_frames WIDTH HEIGHT FRAMES: raw 8-bit grey frames on standard
// output for ffmpeg to encode. Frame n shows the stream fixture's barcode
// band and moving texture for n (every frame differs from its neighbours
// over the whole picture) and a plate the recogniser stand-in reads as
// "A" and n in seven digits, so a picture tells which frame it is.
//
// numbered_frames WIDTH HEIGHT FRAMES KIND: the same pictures as an H.264
// Annex-B stream made by the x264 library itself, for what ffmpeg's
// options cannot ask for. KIND "forced-i": 4 references, a key frame every
// FRAMES, and every 25th picture forced to a plain I frame that later
// pictures reference across (x264 makes a forced I frame a key frame once
// half the key-frame interval has passed); "intra-refresh": one IDR picture, then only
// P frames refreshing the picture column by column.
#include "platform/plate/plate_draw.h"
#include "tests/codec/h264_fixture.h"
#include "tests/codec/x264_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void paint(std::uint8_t* luma, int width, int height, int stride, int n) {
  fixture::drawGrey(luma, width, height, stride, n);
  char text[16];
  std::snprintf(text, sizeof text, "A%07d", n % 10000000);
  const kovira::plate::GreyCanvas canvas{luma, width, height, stride};
  kovira::plate::PlateDrawing plate;
  plate.module = 3;
  plate.text = text;
  const kovira::plate::Box box = kovira::plate::plateBox(plate);
  plate.x = (width - box.w) / 2;
  plate.y = height - box.h - height / 8;
  kovira::plate::drawPlate(canvas, plate);
}

int writeX264(int width, int height, int frames, const std::string& kind) {
  fixture::X264Options o;
  o.width = width;
  o.height = height;
  o.frames = frames;
  if (kind == "forced-i") {
    o.keyint = frames;
    o.refs = 4;
    o.forcedIEvery = 25;
  } else if (kind == "intra-refresh") {
    o.keyint = 50;
    o.intraRefresh = true;
  } else {
    return 2;
  }
  const fixture::X264Stream s = fixture::encodeX264(o, paint);
  if (std::fwrite(s.bytes.data(), 1, s.bytes.size(), stdout) != s.bytes.size()) return 1;
  return std::fflush(stdout) == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
  const bool x264 = argc == 5;
  const int width = argc >= 4 ? std::atoi(argv[1]) : 0, height = argc >= 4 ? std::atoi(argv[2]) : 0;
  const int frames = argc >= 4 ? std::atoi(argv[3]) : 0;
  if (argc < 4 || argc > 5 || width < 320 || height < 180 || width > 4096 || height > 4096 || frames < 1) return 2;
  if (x264) return writeX264(width, height, frames, argv[4]);
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(width) * height);
  for (int n = 0; n < frames; ++n) {
    paint(picture.data(), width, height, width, n);
    if (std::fwrite(picture.data(), 1, picture.size(), stdout) != picture.size()) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
