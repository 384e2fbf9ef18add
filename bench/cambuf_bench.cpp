// Frame-store cost against the copy it cannot avoid: addFrame of grey and
// H.264-sized frames, and in the same run a plain memcpy of the same bytes
// into a ring of the same size. The ratio (memcpy time / addFrame time) is
// printed per frame kind; 1.0 means the store costs nothing beyond the copy.
#include "capture/cambuf.h"

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace {

constexpr std::uint64_t kRing = 256ull << 20;

struct Kind {
  const char* name;
  std::vector<std::uint64_t> sizes;  // one group or one frame, repeated
  std::vector<FrameType> types;
};

const Kind kKinds[] = {
    {"gray1280x720", {1280 * 720}, {FRAME_GRAY8}},
    {"gray2592x2048", {2592 * 2048}, {FRAME_GRAY8}},
    // One second of 1080p H.264 at 25 fps: a 150 KB key frame and 24 P frames of 30 KB.
    {"h264", {150000, 30000}, {FRAME_I, FRAME_P}},
};

std::uint64_t frameSize(const Kind& k, std::uint64_t i) {
  return k.sizes.size() == 1 ? k.sizes[0] : (i % 25 == 0 ? k.sizes[0] : k.sizes[1]);
}
FrameType frameType(const Kind& k, std::uint64_t i) {
  return k.types.size() == 1 ? k.types[0] : (i % 25 == 0 ? k.types[0] : k.types[1]);
}

void BM_addFrame(benchmark::State& state) {
  const Kind& k = kKinds[state.range(0)];
  static kovira::CamBuf* buf = nullptr;
  if (buf == nullptr) buf = new kovira::CamBuf(kRing);  // kept: one ring per process
  std::vector<std::uint8_t> src(k.sizes[0], 0x5a);
  std::uint64_t i = 0, bytes = 0;
  for (auto _ : state) {
    const std::uint64_t n = frameSize(k, i);
    benchmark::DoNotOptimize(&buf->addFrame(1280, 720, frameType(k, i), 0, src.data(), n));
    bytes += n;
    ++i;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(i));
}

void BM_memcpy(benchmark::State& state) {
  const Kind& k = kKinds[state.range(0)];
  static std::uint8_t* ring = nullptr;
  if (ring == nullptr) {
    ring = static_cast<std::uint8_t*>(std::aligned_alloc(4096, kRing));
    std::memset(ring, 0, kRing);
  }
  std::vector<std::uint8_t> src(k.sizes[0], 0x5a);
  std::uint64_t i = 0, bytes = 0, write = 0;
  for (auto _ : state) {
    const std::uint64_t n = frameSize(k, i);
    if (write + n > kRing) write = 0;
    std::memcpy(ring + write, src.data(), n);
    benchmark::ClobberMemory();
    write += n;
    bytes += n;
    ++i;
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(bytes));
  state.SetItemsProcessed(static_cast<std::int64_t>(i));
}

BENCHMARK(BM_memcpy)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_addFrame)->DenseRange(0, 2)->Unit(benchmark::kMicrosecond);

// Collects per-frame times and prints the ratio to memcpy at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const auto& r : runs) {
      const std::string name = r.benchmark_name();
      const double perIter = r.real_accumulated_time / static_cast<double>(r.iterations);
      times_[name] = perIter;
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-16s %12s %10s %10s %12s\n", "frames", "addFrame f/s", "GB/s", "memcpy GB/s",
                "ratio");
    for (int i = 0; i < 3; ++i) {
      const Kind& k = kKinds[i];
      const double add = times_["BM_addFrame/" + std::to_string(i)];
      const double copy = times_["BM_memcpy/" + std::to_string(i)];
      double avg = 0;
      for (int f = 0; f < 25; ++f) avg += static_cast<double>(frameSize(k, static_cast<std::uint64_t>(f)));
      avg /= 25;
      if (add <= 0 || copy <= 0) continue;
      std::printf("%-16s %12.0f %10.2f %10.2f %12.2f\n", k.name, 1 / add, avg / add / 1e9,
                  avg / copy / 1e9, copy / add);
    }
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
