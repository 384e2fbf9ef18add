// Decoding speed of the hardware decoder pipeline (elements + emulated
// devices) against bare single-threaded libavcodec on the same streams, and
// the ffmpeg command line as a second anchor. Prints frames/s and the ratio.
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"
#include "tests/codec/h264_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

void run(int w, int h, int frames, int gop) {
  const auto s = fixture::encode(w, h, frames, gop);
  // Pipeline: one parse per group, as the decode stage does.
  V4TVideoParser parser;
  std::size_t pictures = 0;
  const auto t0 = Clock::now();
  for (std::size_t first = 0; first + gop < s.units.size(); first += static_cast<std::size_t>(gop)) {
    const auto bytes = s.slice(first, first + static_cast<std::size_t>(gop));
    std::lock_guard lk(parser.mutex);
    parser.callback = [&](int, int, V4TVideoParserPlane*, int) { ++pictures; };
    parser.parse(bytes.data(), bytes.size(), static_cast<int>(nvv4l2::kFmtNM12));
  }
  const double tp = seconds(t0);
  // Bare decoder over the same frames (each group's frames once).
  const std::size_t groupsEnd = (s.units.size() - 1) / static_cast<std::size_t>(gop) * static_cast<std::size_t>(gop);
  const auto all = s.slice(0, groupsEnd);
  const auto t1 = Clock::now();
  const auto ref = fixture::referenceDecode(all, false);
  const double tr = seconds(t1);
  // The command line, single-threaded.
  const std::string file = "/tmp/kovira-bench-" + std::to_string(w) + ".h264";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(all.data()), static_cast<std::streamsize>(all.size()));
  const auto t2 = Clock::now();
  const int rc = std::system(("ffmpeg -loglevel error -threads 1 -i " + file + " -f null - </dev/null").c_str());
  const double tc = seconds(t2);
  std::remove(file.c_str());
  const double fp = static_cast<double>(pictures) / tp, fr = static_cast<double>(ref.size()) / tr;
  std::printf("%dx%d gop %d: pipeline %zu pictures %.1f fps | libavcodec %zu pictures %.1f fps | ratio %.3f", w, h, gop,
              pictures, fp, ref.size(), fr, fp / fr);
  if (rc == 0) std::printf(" | ffmpeg cli %.1f fps", static_cast<double>(ref.size()) / tc);
  std::printf("\n");
}

}  // namespace

int main() {
  run(1920, 1080, 201, 25);
  run(1280, 720, 301, 25);
  return 0;
}
