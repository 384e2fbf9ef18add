// Test streams straight from the x264 library, for what its wrapper in
// libavcodec cannot ask for: a picture forced to a plain I frame, periodic
// intra refresh. Units come in decode order, each with the kind x264 gave
// it, so a test can tell the encoder's own key frames from the rest.
#pragma once

#include "tests/codec/h264_fixture.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace fixture {

struct X264Options {
  int width = 160;
  int height = 96;
  int frames = 40;
  int fps = 25;
  int keyint = 250;  // the minimum interval is set as high as x264 allows
  int refs = 1;
  int bframes = 0;
  bool openGop = false;
  bool intraRefresh = false;
  int forcedIEvery = 0;  // pictures n * forcedIEvery (n >= 1) are forced to plain I frames
  int crf = 16;
};

// What x264 made of a picture: 'K' a picture decoding can start at (IDR, or
// an open-GOP I frame), 'I' another I frame, 'R' a P frame that starts an
// intra-refresh cycle, 'P', 'B'.
struct X264Stream : Stream {
  std::vector<char> kinds;  // per unit
};

// Luma of picture `number` (drawGrey when empty); chroma stays grey.
using LumaPainter = std::function<void(std::uint8_t* luma, int width, int height, int stride, int number)>;

// Throws std::runtime_error when the encoder refuses the options or loses
// pictures.
X264Stream encodeX264(const X264Options& options, const LumaPainter& paint = {});

}  // namespace fixture
