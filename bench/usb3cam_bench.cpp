// Grabs 2592x2048 grey frames with chunk data from the unpaced USB3 camera
// stand-in through the driver into a frame store, and, as the anchor in the
// same run, memcpy's the same frames into a ring of the same size. Prints
// both frame rates and their ratio (the driver's share of a bare copy).
//
// Usage: usb3cam_bench [frames]
#include "capture/cam.h"
#include "capture/usbcam.h"
#include "capture/usbcam_config.h"
#include "core/working.h"
#include "platform/usb3cam/control.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

int main(int argc, char** argv) {
  const int frames = argc > 1 ? std::atoi(argv[1]) : 600;
  constexpr int kWidth = 2592;
  constexpr int kHeight = 2048;
  constexpr std::uint64_t kRing = 256ull << 20;
  working = 1;

  usb3cam::Options o;
  o.width = kWidth;
  o.height = kHeight;
  o.pacing = usb3cam::Pacing::kUnpaced;
  usb3cam::reset(o);
  kovira::Camera& cam = kovira::addCamera(1, kRing);
  cam.updConfig(nlohmann::json{{"source", "basler"}, {"url", "usb"}, {"enabled", 1}});

  using Clock = std::chrono::steady_clock;
  auto t0 = Clock::now();
  const int r = basler_usb3cam(cam, baslerConfig(), static_cast<std::uint64_t>(frames));
  const double driver = std::chrono::duration<double>(Clock::now() - t0).count();
  if (r != 1) {
    std::fprintf(stderr, "the driver stopped: %d (%s)\n", r, baslerConfig().text(&BaslerConfig::status).c_str());
    return 1;
  }

  // The anchor: the same bytes copied into a ring of the same size.
  std::vector<unsigned char> picture(static_cast<std::size_t>(kWidth) * kHeight, 0x55);
  std::vector<unsigned char> ring(kRing);
  std::size_t at = 0;
  t0 = Clock::now();
  for (int i = 0; i < frames; ++i) {
    if (at + picture.size() > ring.size()) at = 0;
    picture[static_cast<std::size_t>(i) % picture.size()] ^= 1;
    std::memcpy(ring.data() + at, picture.data(), picture.size());
    at += picture.size();
  }
  const double anchor = std::chrono::duration<double>(Clock::now() - t0).count();
  volatile unsigned char sink = ring[at / 2];
  (void)sink;

  std::printf("driver into the frame store: %.1f frames/s\n", frames / driver);
  std::printf("memcpy into a ring:          %.1f frames/s\n", frames / anchor);
  std::printf("ratio: %.2f\n", anchor / driver);
  return 0;
}
