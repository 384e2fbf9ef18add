// numbered_frames WIDTH HEIGHT FRAMES: raw 8-bit grey frames on standard
// output for ffmpeg to encode. Frame n shows the stream fixture's barcode
// band and moving texture for n (every frame differs from its neighbours
// over the whole picture) and a plate the recogniser stand-in reads as
// "A" and n in seven digits, so a picture tells which frame it is.
#include "platform/plate/plate_draw.h"
#include "tests/codec/h264_fixture.h"

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const int width = argc == 4 ? std::atoi(argv[1]) : 0, height = argc == 4 ? std::atoi(argv[2]) : 0;
  const int frames = argc == 4 ? std::atoi(argv[3]) : 0;
  if (width < 320 || height < 180 || width > 4096 || height > 4096 || frames < 1) return 2;
  std::vector<std::uint8_t> picture(static_cast<std::size_t>(width) * height);
  const kovira::plate::GreyCanvas canvas{picture.data(), width, height, width};
  for (int n = 0; n < frames; ++n) {
    fixture::drawGrey(picture.data(), width, height, width, n);
    char text[16];
    std::snprintf(text, sizeof text, "A%07d", n % 10000000);
    kovira::plate::PlateDrawing plate;
    plate.module = 3;
    plate.text = text;
    const kovira::plate::Box box = kovira::plate::plateBox(plate);
    plate.x = (width - box.w) / 2;
    plate.y = height - box.h - height / 8;
    kovira::plate::drawPlate(canvas, plate);
    if (std::fwrite(picture.data(), 1, picture.size(), stdout) != picture.size()) return 1;
  }
  return std::fflush(stdout) == 0 ? 0 : 1;
}
