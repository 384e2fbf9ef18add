// The decode stage from frame store to recognition queue (sequence copy,
// parser, one packed luma copy per picture) against the bare hardware
// parser on the same groups in the same run. Prints frames/s and the ratio:
// what the stage adds on top of decoding. Streams without and with B frames.
#include "codec/decode.h"
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"
#include "tests/codec/decode_test_support.h"

#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void run(int w, int h, int groups, int gop, int camid, int bframes = 0) {
  const auto s = fixture::encode(w, h, groups * gop + 1, gop, 1, bframes);
  const std::size_t frames = static_cast<std::size_t>(groups * gop);

  // Anchor: the parser alone, one parse per group as the stage cuts them.
  V4TVideoParser parser;
  std::size_t bare = 0;
  const auto t0 = Clock::now();
  for (std::size_t first = 0; first < frames; first += static_cast<std::size_t>(gop)) {
    const auto bytes = s.slice(first, first + static_cast<std::size_t>(gop));
    std::lock_guard lk(parser.mutex);
    parser.callback = [&](int, int, V4TVideoParserPlane*, int) { ++bare; };
    parser.parse(bytes.data(), bytes.size(), static_cast<int>(nvv4l2::kFmtNM12));
    parser.callback = nullptr;
  }
  const double tBare = seconds(t0);

  // The stage over a frame store holding the whole stream.
  decodetest::CameraScope scope;
  kovira::Camera& cam = scope.add(camid, 256u << 20);
  decodetest::addUnits(cam, s, 0, s.units.size());
  decodetest::Recognition rec;
  kovira::Decode decode(rec.cnn);
  std::size_t staged = 0;
  const auto t1 = Clock::now();
  while (staged < frames) {
    if (decode.pass().count() > 0) break;
    staged += decodetest::drain(rec.cnn).size();
  }
  const double tStage = seconds(t1);

  std::printf("%dx%d GOP %d, %d B: parser %.1f frames/s (%zu), decode stage %.1f frames/s (%zu), stage/parser time %.3f\n",
              w, h, gop, bframes, static_cast<double>(bare) / tBare, bare, static_cast<double>(staged) / tStage, staged,
              tStage / tBare);
}

}  // namespace

int main() {
  run(1280, 720, 8, 25, 901);
  run(1920, 1080, 4, 25, 902);
  // B frames: the decoder reorders and holds pictures back.
  run(1920, 1080, 4, 25, 903, 2);
  return 0;
}
