// Time the recogniser stand-in takes per frame, with one zone covering the
// road, for a 1280x720 and a 2592x2048 frame carrying two plates on a
// textured road. The anchor is one histogram pass over the same frame (the
// least any reader must do: look at every pixel once); the ratio to it keeps
// figures comparable between machines.
#include "platform/cnn/cnn.h"
#include "platform/plate/plate_draw.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::vector<std::uint8_t> roadFrame(int w, int h, int module) {
  std::vector<std::uint8_t> px(static_cast<std::size_t>(w) * h);
  std::uint32_t s = 12345;
  for (auto& p : px) {
    s = s * 1664525u + 1013904223u;
    p = static_cast<std::uint8_t>(70 + (s >> 24) % 70);
  }
  const kovira::plate::GreyCanvas c{px.data(), w, h, w};
  const int pw = kovira::plate::kWidthModules * module;
  kovira::plate::drawPlate(c, {w / 4 - pw / 2, h / 3, module, "A123BC77", 2, -1});
  kovira::plate::drawPlate(c, {3 * w / 4 - pw / 2, 2 * h / 3, module, "K456MH199", 0, -1});
  return px;
}

template <class F>
double millisPerCall(F&& f) {
  f();  // warm up
  int n = 0;
  const auto start = Clock::now();
  auto now = start;
  while (n < 20 || now - start < std::chrono::milliseconds(400)) {
    f();
    ++n;
    now = Clock::now();
  }
  return std::chrono::duration<double, std::milli>(now - start).count() / n;
}

void run(int w, int h, int module) {
  std::vector<std::uint8_t> px = roadFrame(w, h, module);
  std::string zone = "1,6,4,4," + std::to_string(w - 5) + ",4," + std::to_string(w - 5) + "," +
                     std::to_string(h - 5) + ",4," + std::to_string(h - 5);
  char* polys[] = {zone.data()};
  void* handle = init_cnn(6, h, w, polys, 1, CNN_MODE_CLASSIFY);
  std::vector<CNN_RESULT> results(512);
  int found = 0;
  const double cnnMs = millisPerCall([&] {
    void* frame = px.data();
    int count = 512;
    cnn(handle, results.data(), &count, &frame, 1, w, h, 1, polys, 1);
    found = count;
  });
  free_cnn(handle);

  std::array<std::uint32_t, 256> hist{};
  const double anchorMs = millisPerCall([&] {
    hist.fill(0);
    for (std::uint8_t p : px) ++hist[p];
  });
  std::printf("cnn %dx%d: %.3f ms/frame (%d plates), anchor histogram %.3f ms, ratio %.1f\n", w, h, cnnMs, found,
              anchorMs, cnnMs / anchorMs);
}

}  // namespace

int main() {
  run(1280, 720, 3);
  run(2592, 2048, 6);
  return 0;
}
