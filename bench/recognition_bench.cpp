// What the road from frame store to tracks costs beyond the recogniser: the
// frames of a generated one-vehicle scene wait in a camera's frame store (the
// camera's work, not timed: cambuf_bench measures it), are copied out as
// decoded grey pictures (what the decode stage does for raw frames, with its
// back-pressure), recognised by the recognition stage over libcnn.so and
// joined by the result queue. The anchor is the recogniser alone on the same
// frames in the same batches of 21. Runs alternate between the two; the
// figure is the median over the runs of the processor time (all threads) of
// the pipeline against the anchor's of the same round (1.0 = the pipeline is
// free). Wall-clock rates are printed beside it.
//
// Usage: recognition_bench [SCENE.json [FRAMES]]
#include "capture/cam.h"
#include "codec/decode.h"
#include "config/config.h"
#include "config/zones.h"
#include "platform/scene/scene.h"
#include "platform/scene/scene_render.h"
#include "recognition/cnn_library.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_access.h"
#include "recognition/scene_binding.h"
#include "tools/scenegen/scene_outputs.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <list>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/resource.h>

namespace {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<std::uint8_t>;

constexpr int kRuns = 7;  // median of
constexpr unsigned kBatch = kovira::CnnProc::kMaxBatch;
constexpr std::uint64_t kStoreBytes = 512ull << 20;

struct Timing {
  double wall = 0;  // seconds
  double cpu = 0;   // processor seconds, all threads
};

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Processor time of the whole process (every thread), user and system.
double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The recogniser alone: one handle, the zones' descriptions, batches of 21.
// Its processor time includes starting the recogniser, as the pipeline's does.
Timing recogniserAlone(const std::vector<Frame>& frames, int w, int h) {
  const double cpu = cpuSeconds();
  std::list<std::string> polys;
  {
    kovira::ConfigReadLock lock;
    for (const kovira::Zone& z : kovira::zones())
      for (std::string& d : z.cnnPolygons()) polys.push_back(std::move(d));
  }
  polys.sort();
  std::vector<char*> ptrs;
  for (std::string& p : polys) ptrs.push_back(p.data());
  const kovira::CnnLibrary& lib = kovira::libcnnLibrary();
  void* handle = lib.init(6, h, w, ptrs.data(), static_cast<int>(ptrs.size()), 2);
  if (handle == nullptr) {
    std::cerr << "recognition_bench: recogniser did not start\n";
    std::exit(1);
  }
  std::vector<CNN_RESULT> area(kovira::CnnProc::kMaxResults);
  const auto start = Clock::now();
  for (std::size_t i = 0; i < frames.size();) {
    std::vector<void*> batch;
    for (std::size_t j = i; j < frames.size() && batch.size() < kBatch; ++j)
      batch.push_back(const_cast<std::uint8_t*>(frames[j].data()));
    int count = kovira::CnnProc::kMaxResults;
    const int walked = lib.run(handle, area.data(), &count, batch.data(), static_cast<int>(batch.size()), w, h, 1,
                               ptrs.data(), static_cast<int>(ptrs.size()));
    i += static_cast<std::size_t>(std::max(walked, 1));
  }
  const double s = seconds(Clock::now() - start);
  lib.release(handle);
  return {s, cpuSeconds() - cpu};
}

// The pipeline: picture copy out of the store, recognition thread,
// result-queue thread.
Timing pipeline(const std::vector<Frame>& frames, int w, int h, int camid, std::size_t& points, double& inCalls) {
  kovira::CamBuf& store = *kovira::camera(camid).cambuf;
  std::vector<unsigned> stored;
  for (const Frame& f : frames) {
    kovira::FrameMetadata& rec = store.addFrame(w, h, FRAME_GRAY8, 0, f.data(), f.size());
    rec.setFlags(FRAME_DEC);
    stored.push_back(rec.position);
  }
  kovira::ResQueue queue(kovira::sceneAccess(), [] { return 1000u; });
  kovira::CnnProc proc(queue, kovira::libcnnLibrary());
  std::atomic<std::size_t> groups{0};
  queue.addProcModule("count", [&groups](kovira::MultiTrack&) {
    ++groups;
    return 0;
  });
  std::thread queueThread(std::ref(queue));
  std::thread recognition;

  // The recognition thread starts once the first frames wait, so its first
  // batch is a full one as in the recogniser-alone run.
  const double cpu = cpuSeconds();
  const auto start = Clock::now();
  for (unsigned position : stored) {
    auto rec = store.frame(position);
    if (!rec.valid()) {
      std::cerr << "recognition_bench: frame " << position << " no longer stored\n";
      std::exit(1);
    }
    kovira::DecodedFrame picture(camid, position, kovira::PixelGray8, w, h, rec->liveBytes().data, 0);
    // The decode stage's back-pressure: the stage pauses while many wait.
    while (proc.queueSize() > kovira::Decode::kMaxQueued)
      std::this_thread::sleep_for(kovira::Decode::kBackPressurePause);
    proc.queueFrame(std::move(picture));
    if (!recognition.joinable() && proc.queueSize() > kovira::Decode::kMaxQueued)
      recognition = std::thread(std::ref(proc));
  }
  if (!recognition.joinable()) recognition = std::thread(std::ref(proc));
  while (proc.queueSize() > 0 || queue.queueSize() > 0) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  const Timing t{seconds(Clock::now() - start), cpuSeconds() - cpu};

  std::size_t found = 0;
  inCalls = 0;
  for (const auto& st : proc.statistics()) {
    found += st.found;
    inCalls += st.elapsed;
  }
  points = found;
  proc.stop = true;
  recognition.join();
  queue.stop();
  queueThread.join();
  return t;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenePath =
      argc > 1 ? argv[1] : std::string(KOVIRA_SOURCE_DIR) + "/tests/data/scenes/one-vehicle.json";
  std::ifstream in(scenePath);
  std::stringstream text;
  text << in.rdbuf();
  const auto parsed = kovira::scenegen::parseScene(text.str());
  if (!parsed.scene) {
    std::cerr << "recognition_bench: " << scenePath << ": " << parsed.error << "\n";
    return 1;
  }
  const kovira::scenegen::Scene& scene = *parsed.scene;
  const int count = std::min(argc > 2 ? std::atoi(argv[2]) : 150, scene.frameCount());

  // The scene's own configuration: its camera and calibrated zone.
  const nlohmann::json cfg = nlohmann::json::parse(kovira::scenegen::configJson(scene, "/tmp"));
  int camid = 0;
  for (const auto& section : cfg) {
    const std::string type = section.value("type", "");
    if (type == "camera" || type == "zone") kovira::config().updSection(type, section);
    if (type == "camera") camid = section["camid"].get<int>();
  }
  kovira::addCamera(camid, kStoreBytes);
  kovira::bindSceneAccess();

  kovira::scenegen::SceneRenderer renderer(scene);
  std::vector<Frame> frames(static_cast<std::size_t>(count), Frame(static_cast<std::size_t>(scene.width) * scene.height));
  for (int k = 0; k < count; ++k)
    renderer.render(k, {frames[static_cast<std::size_t>(k)].data(), scene.width, scene.height, scene.width});

  std::vector<double> aloneWall, pipedWall, cpuRatios, aloneCpu, pipedCpu;
  double inCalls = 0;
  std::size_t points = 0;
  for (int run = 0; run < kRuns; ++run) {
    const Timing alone = recogniserAlone(frames, scene.width, scene.height);
    double calls = 0;
    const Timing piped = pipeline(frames, scene.width, scene.height, camid, points, calls);
    aloneWall.push_back(alone.wall);
    pipedWall.push_back(piped.wall);
    aloneCpu.push_back(alone.cpu);
    pipedCpu.push_back(piped.cpu);
    cpuRatios.push_back(piped.cpu / alone.cpu);
    inCalls += calls / kRuns;
  }
  const double alone = median(aloneWall), piped = median(pipedWall);
  std::printf("recognition pipeline %dx%d, %d frames, %zu readings per run, median of %d runs\n", scene.width,
              scene.height, count, points, kRuns);
  std::printf("  recogniser alone:           %8.1f frames/s (%.3f s)\n", count / alone, alone);
  std::printf("  recognition+queue:          %8.1f frames/s (%.3f s)\n", count / piped, piped);
  std::printf("    of which in recogniser calls %.3f s\n", inCalls);
  std::printf("  wall-clock ratio:           %8.3f\n", piped / alone);
  std::printf("  processor time, all threads: alone %.3f s, pipeline %.3f s\n", median(aloneCpu), median(pipedCpu));
  std::printf("  ratio pipeline/recogniser:  %8.3f (processor time; aim: at most 1.15)\n", median(cpuRatios));
  return 0;
}
