// Encoding speed of the encoder wrapper (converter + encoder elements over
// the emulated devices) against the ffmpeg command line coding the same
// grey pictures with libx264 ultrafast on one thread. Prints frames/s and
// the ratio (aim: at least 0.8). The two alternate for five rounds and the
// median ratio is the result: one round swings with the machine's load.
#include "codec/v4tvideoenc.h"
#include "tests/codec/h264_fixture.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double seconds(Clock::time_point since) { return std::chrono::duration<double>(Clock::now() - since).count(); }

}  // namespace

int main() {
  constexpr int kW = 1280, kH = 720, kFrames = 300;
  std::vector<std::uint8_t> all(static_cast<std::size_t>(kW) * kH * kFrames);
  for (int k = 0; k < kFrames; ++k) fixture::drawGrey(all.data() + static_cast<std::size_t>(k) * kW * kH, kW, kH, kW, k);

  const std::string file = "/tmp/kovira-encbench-frames.raw";
  std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(all.data()), static_cast<std::streamsize>(all.size()));
  constexpr int kRounds = 5;
  std::vector<double> ratios;
  for (int round = 0; round < kRounds; ++round) {
    std::size_t coded = 0;
    int encoded = 0;
    const auto t0 = Clock::now();
    {
      V4TVideoEnc enc(kW, kH, kW, kH);
      enc.outputCallback = [&](unsigned, unsigned char*, unsigned long n) { coded += n; };
      for (int k = 0; k < kFrames; ++k) encoded += enc.encode(all.data() + static_cast<std::size_t>(k) * kW * kH) == 0;
    }
    const double te = seconds(t0);
    const auto t1 = Clock::now();
    const int rc = std::system(("ffmpeg -loglevel error -f rawvideo -pix_fmt gray -s 1280x720 -i " + file +
                                " -c:v libx264 -preset ultrafast -threads 1 -f null - </dev/null")
                                   .c_str());
    const double tc = seconds(t1);
    const double fe = encoded / te, fc = kFrames / tc;
    ratios.push_back(fe / fc);
    std::printf("1280x720 grey: wrapper %d pictures %.1f fps (%zu bytes) | ffmpeg cli %.1f fps%s | ratio %.3f\n",
                encoded, fe, coded, fc, rc == 0 ? "" : " (failed)", fe / fc);
  }
  std::remove(file.c_str());
  std::sort(ratios.begin(), ratios.end());
  std::printf("median ratio of %d rounds: %.3f\n", kRounds, ratios[kRounds / 2]);
  return 0;
}
