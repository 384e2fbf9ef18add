// hwencode-demo: codes grey pictures through the encoder wrapper (converter
// and encoder elements over the emulated devices on a host build) and
// writes the H.264 elementary stream, for a person to play.
//
// Usage: hwencode-demo [OUT.h264] [FRAMES] [WIDTHxHEIGHT]
// Each picture shows its number as 16 black and white stripes across the
// top quarter (most significant bit on the left) over a sliding ramp.
#include "codec/v4tvideoenc.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
  const std::string out = argc > 1 ? argv[1] : "hwencode-demo.h264";
  const int frames = argc > 2 ? std::atoi(argv[2]) : 60;
  unsigned w = 640, h = 480;
  if (argc > 3 && std::sscanf(argv[3], "%ux%u", &w, &h) != 2) {
    std::fprintf(stderr, "usage: hwencode-demo [OUT.h264] [FRAMES] [WIDTHxHEIGHT]\n");
    return 2;
  }
  if (frames <= 0 || w < 16 || h < 16 || w > 4096 || h > 4096) {
    std::fprintf(stderr, "hwencode-demo: frames must be positive and the size 16..4096\n");
    return 2;
  }
  std::ofstream file(out, std::ios::binary | std::ios::trunc);
  std::size_t bytes = 0;
  int coded = 0;
  {
    V4TVideoEnc enc(w, h, w, h);
    enc.outputCallback = [&](unsigned, unsigned char* data, unsigned long n) {
      file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(n));
      bytes += n;
    };
    std::vector<unsigned char> grey(static_cast<std::size_t>(w) * h);
    for (int n = 0; n < frames; ++n) {
      for (unsigned y = 0; y < h; ++y)
        for (unsigned x = 0; x < w; ++x) {
          const unsigned stripe = x * 16 / w;
          grey[y * w + x] = y < h / 4 ? ((n >> (15 - stripe)) & 1 ? 235 : 16)
                                      : static_cast<unsigned char>((x + 2 * static_cast<unsigned>(n)) % 200 + 28);
        }
      coded += enc.encode(grey.data()) == 0;
    }
  }
  file.close();
  std::printf("wrote %s: %d of %d pictures, %zu bytes\n", out.c_str(), coded, frames, bytes);
  return coded == frames && file ? 0 : 1;
}
