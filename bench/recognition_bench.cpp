// What the road from frame store to tracks costs beyond the recogniser: the
// frames of a generated one-vehicle scene are stored into a camera's frame
// store as fast as possible, handed on as decoded grey pictures (what the
// decode stage does for raw frames, with its back-pressure at 25), recognised
// by the recognition stage over libcnn.so and joined by the result queue.
// The anchor is the recogniser alone on the same frames in the same batches
// of 21. Prints both rates and their ratio (1.0 = the pipeline is free).
//
// Usage: recognition_bench [SCENE.json [FRAMES]]
#include "capture/cam.h"
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

constexpr int kRuns = 5;                    // best of
constexpr unsigned kBatch = kovira::CnnProc::kMaxBatch;
constexpr std::uint32_t kBackPressure = 25;  // the decode stage's limit
constexpr std::uint64_t kStoreBytes = 512ull << 20;

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Processor time of the whole process (every thread), user and system.
double cpuSeconds() {
  rusage u{};
  ::getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The recogniser alone: one handle, the zones' descriptions, batches of 21.
double recogniserAlone(const std::vector<Frame>& frames, int w, int h) {
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
  return s;
}

// The pipeline: store, picture copy, recognition thread, result-queue thread.
double pipeline(const std::vector<Frame>& frames, int w, int h, int camid, std::size_t& points, double& inCalls) {
  kovira::CamBuf& store = *kovira::camera(camid).cambuf;
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
  const auto start = Clock::now();
  for (const Frame& f : frames) {
    kovira::FrameMetadata& rec = store.addFrame(w, h, FRAME_GRAY8, 0, f.data(), f.size());
    rec.setFlags(FRAME_DEC);
    kovira::DecodedFrame picture(camid, rec.position, kovira::PixelGray8, w, h, rec.liveBytes().data, 0);
    while (proc.queueSize() > kBackPressure) std::this_thread::sleep_for(std::chrono::microseconds(200));
    proc.queueFrame(picture);
    if (!recognition.joinable() && proc.queueSize() > kBackPressure) recognition = std::thread(std::ref(proc));
  }
  if (!recognition.joinable()) recognition = std::thread(std::ref(proc));
  while (proc.queueSize() > 0 || queue.queueSize() > 0) std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double s = seconds(Clock::now() - start);

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
  return s;
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

  double alone = 1e9, piped = 1e9, inCalls = 0, aloneCpu = 1e9, pipedCpu = 1e9;
  std::size_t points = 0;
  for (int run = 0; run < kRuns; ++run) {
    double cpu = cpuSeconds();
    alone = std::min(alone, recogniserAlone(frames, scene.width, scene.height));
    aloneCpu = std::min(aloneCpu, cpuSeconds() - cpu);
    double calls = 0;
    cpu = cpuSeconds();
    const double s = pipeline(frames, scene.width, scene.height, camid, points, calls);
    pipedCpu = std::min(pipedCpu, cpuSeconds() - cpu);
    if (s < piped) {
      piped = s;
      inCalls = calls;
    }
  }
  std::printf("recognition pipeline %dx%d, %d frames, %zu readings per run\n", scene.width, scene.height, count, points);
  std::printf("  recogniser alone:           %8.1f frames/s (%.3f s)\n", count / alone, alone);
  std::printf("  store+recognition+queue:    %8.1f frames/s (%.3f s)\n", count / piped, piped);
  std::printf("    of which in recogniser calls %.3f s\n", inCalls);
  std::printf("  processor time, all threads: alone %.3f s, pipeline %.3f s (ratio %.3f)\n", aloneCpu, pipedCpu,
              pipedCpu / aloneCpu);
  std::printf("  ratio pipeline/recogniser:  %.3f\n", piped / alone);
  return 0;
}
