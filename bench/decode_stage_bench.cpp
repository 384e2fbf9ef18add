// The decode stage from frame store to recognition queue (sequence copy,
// parser, one packed luma copy per picture) against the bare hardware
// parser on the same groups in the same run. Prints frames/s and the ratio:
// what the stage adds on top of decoding. Streams without and with B frames.
#include "codec/decode.h"
#include "codec/parsers.h"
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"
#include "tests/codec/decode_test_support.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

// Seconds the bare parser takes for the stream's groups, one parse per
// group as the stage cuts them; counts the pictures.
double bareParser(V4TVideoParser& parser, const fixture::Stream& s, std::size_t frames, int gop, std::size_t& bare) {
  bare = 0;
  const auto t0 = Clock::now();
  for (std::size_t first = 0; first < frames; first += static_cast<std::size_t>(gop)) {
    const auto bytes = s.slice(first, first + static_cast<std::size_t>(gop));
    std::lock_guard lk(parser.mutex);
    parser.callback = [&](int, int, V4TVideoParserPlane*, int) { ++bare; };
    parser.parse(bytes.data(), bytes.size(), static_cast<int>(nvv4l2::kFmtNM12));
    parser.callback = nullptr;
  }
  return seconds(t0);
}

// Seconds the stage takes for the same groups from a frame store of its own.
double stage(const fixture::Stream& s, std::size_t frames, int camid, std::size_t& staged) {
  decodetest::CameraScope scope;
  kovira::Camera& cam = scope.add(camid, 256u << 20);
  decodetest::addUnits(cam, s, 0, s.units.size());
  decodetest::Recognition rec;
  kovira::Decode decode(rec.cnn);
  staged = 0;
  const auto t1 = Clock::now();
  while (staged < frames) {
    if (decode.pass().count() > 0) break;
    staged += decodetest::drain(rec.cnn).size();
  }
  return seconds(t1);
}

void run(int w, int h, int groups, int gop, int camid, int bframes = 0) {
  const auto s = fixture::encode(w, h, groups * gop + 1, gop, 1, bframes);
  const std::size_t frames = static_cast<std::size_t>(groups * gop);

  // Both decoders are built and have seen the picture size before they are
  // timed; the best of three alternating rounds each, so that a busy
  // machine's pauses do not land on one side only.
  V4TVideoParser parser;
  std::size_t bare = 0, staged = 0;
  bareParser(parser, s, static_cast<std::size_t>(gop), gop, bare);
  kovira::hwVideoParser(w, h, 0);
  double tBare = 1e9, tStage = 1e9;
  for (int round = 0; round < 3; ++round) {
    tBare = std::min(tBare, bareParser(parser, s, frames, gop, bare));
    tStage = std::min(tStage, stage(s, frames, camid + round * 10, staged));
  }

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
