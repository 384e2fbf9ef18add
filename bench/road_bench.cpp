// The unit's whole road on the demo scene as fast as it can take it: frames
// stored the way the file playback stores them, the decode stage, the
// recognition stage over libcnn.so, the result queue and the processing
// modules composing evidence. The anchor is the scene's own frame rate (what
// playback feeds in real time): the printed real-time factor is how many
// cameras of this kind the road could serve on this machine.
//
// The frames are rendered into memory first and stamped with the scene's
// own timeline (frame k at k / fps seconds), so the measured speeds, and
// with them the decisions, are those of a real-time run. The feeder keeps
// at most kAhead frames waiting for the decode stage, so no frame is lost to
// the ring while the stages catch up. One pass per process (the result
// queue is the process-wide one the modules register with).
//
// With --usb3 the frames come from the USB3 camera stand-in, unpaced,
// rendered as they are grabbed, through the camera driver into the store
// (stamped by the camera's clock, which the speeds prefer).
//
// With --modules every processing module runs beside speed: one action of
// each method on the scene's zone, the feedback uploader armed for every
// vehicle (its server and the allow-list's come from /etc/kovira.conf; the
// track dumps go under $HOME). bench/road_bench.sh compares both runs.
//
// Usage: road_bench [--usb3] [--modules] [SCENE.json]   (bench/road_bench.sh runs it in a
// private namespace so the scratch copies of the evidence stay off the
// host's /tmp)
#include "capture/cam.h"
#include "capture/opencv_play.h"
#include "capture/usbcam.h"
#include "capture/usbcam_config.h"
#include "codec/decode.h"
#include "config/config.h"
#include "core/startup_functions.h"
#include "modules/postframe.h"
#include "platform/usb3cam/control.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_binding.h"
#include "tools/scenegen/scene.h"
#include "tools/scenegen/scene_outputs.h"
#include "tools/scenegen/scene_render.h"

#include <nlohmann/json.hpp>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using Frame = std::vector<std::uint8_t>;

constexpr std::uint32_t kAhead = 8;            // frames waiting for the decode stage at most
constexpr int kStoreMiB = 512;                 // the whole demo scene fits: no evidence frame is evicted
constexpr auto kDrainLimit = std::chrono::seconds(5);
constexpr const char* kExtra = "redbox crosshair fullframe angelsign";
// The other modules' methods, each given an action beside speed's with --modules.
constexpr const char* kOtherMethods[] = {"speed-kormelino", "wrongdir", "busline", "busline-kormelino",
                                         "carflow", "trackdump", "maskfind", "postframe"};

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// Cores this process may run on (taskset narrows them).
int usableCores() {
  cpu_set_t set;
  return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set)
                                                       : static_cast<int>(std::thread::hardware_concurrency());
}

// Plate groups the modules have finished with, and the evidence they made.
std::atomic<unsigned> groupsDone{0};
std::atomic<unsigned> evidenceMade{0};

// The scene's configuration with the bench's store size and the evidence
// settings of the demo.
std::string benchConfig(const kovira::scenegen::Scene& scene, const fs::path& dir, bool modules) {
  nlohmann::json cfg = nlohmann::json::parse(kovira::scenegen::configJson(scene, dir.string()));
  for (auto& s : cfg) {
    const std::string type = s.value("type", "");
    if (type == "camera") {
      s["bufsize"] = kStoreMiB;  // its "opencv" source stays: the playback is not started
    } else if (type == "action") {
      s["extra"] = kExtra;
      s["path"] = (dir / "evidence").string();
      s["upload"] = 0;
    } else if (type == "global") {
      s["signkey"] = (dir / "sign.key").string();
    }
  }
  if (modules) {
    nlohmann::json speed = *std::find_if(cfg.begin(), cfg.end(), [](const auto& s) { return s["type"] == "action"; });
    int id = speed["actid"].get<int>();
    for (const char* method : kOtherMethods) {
      nlohmann::json action = speed;
      action["actid"] = ++id;
      action["method"] = method;
      if (std::string(method) == "carflow") action["extra"] = "skipworked";
      cfg.push_back(action);
    }
  }
  return cfg.dump(4);
}

}  // namespace

int main(int argc, char** argv) {
  const bool usb3 = argc > 1 && std::string(argv[1]) == "--usb3";
  if (usb3) --argc, ++argv;
  const bool modules = argc > 1 && std::string(argv[1]) == "--modules";
  if (modules) --argc, ++argv;
  const std::string scenePath = argc > 1 ? argv[1] : std::string(KOVIRA_SOURCE_DIR) + "/examples/demo-scene.json";
  std::ifstream in(scenePath);
  std::stringstream text;
  text << in.rdbuf();
  const auto parsed = kovira::scenegen::parseScene(text.str());
  if (!parsed.scene) {
    std::cerr << "road_bench: " << scenePath << ": " << parsed.error << "\n";
    return 1;
  }
  const kovira::scenegen::Scene& scene = *parsed.scene;
  unsigned speeding = 0;
  for (const auto& v : scene.vehicles) speeding += v.kmh >= scene.threshold ? 1 : 0;

  char tmpl[] = "/var/tmp/kovira-road-bench.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    std::perror("road_bench: mkdtemp");
    return 1;
  }
  const fs::path dir = tmpl;
  const std::string key = (dir / "sign.key").string();
  if (std::system(("openssl genrsa -out '" + key + "' 2048 2>/dev/null").c_str()) != 0)
    std::cerr << "road_bench: no signing key (openssl genrsa failed); archives are not signed\n";
  std::ofstream(dir / "cfg.json") << benchConfig(scene, dir, modules);

  // Start-up as the unit does it, for the parts of the road.
  kovira::GlobalConfig& cfg = kovira::config();
  if (!cfg.read((dir / "cfg.json").string())) return 1;
  cfg.sortActions();
  cfg.ntpsync = 1;  // no time daemon here; the clock counts as synchronised
  speed::modinit();
  if (modules) {
    // In the start-up registry's order, as the unit starts them.
    for (void (*init)() : {wrongdir::modinit, carflow::modinit, spd_kormelino::modinit, mask::modinit,
                           postframe::modinit, busline::modinit, busline_kormelino::modinit, trackdump::modinit})
      init();
    postframe::httpframe().update([](postframe::FeedbackSettings& f) {
      f.cnt = 1000;
      f.interval = 0;
      f.max = 1000;
    });
  }
  resproc.addProcModule("bench", [](kovira::MultiTrack& group) {
    evidenceMade += group.counter;
    ++groupsDone;
    return 0;
  });

  kovira::scenegen::SceneRenderer renderer(scene);
  const int count = scene.frameCount();
  std::vector<Frame> frames(usb3 ? 0 : static_cast<std::size_t>(count),
                            Frame(static_cast<std::size_t>(scene.width) * scene.height));
  for (int k = 0; k < count; ++k) {
    Frame scratch(usb3 ? static_cast<std::size_t>(scene.width) * scene.height : 0);
    Frame& out = usb3 ? scratch : frames[static_cast<std::size_t>(k)];
    renderer.render(k, {out.data(), scene.width, scene.height, scene.width});  // the truth, and the frames
  }
  std::size_t sightings = 0;
  for (const auto& plates : renderer.truth()) sightings += plates.size();
  const int camid = nlohmann::json::parse(kovira::scenegen::configJson(scene, ""))[0]["camid"].get<int>();
  kovira::CamBuf& store = *kovira::camera(camid).cambuf;

  kovira::bindSceneAccess();  // as the program does at start-up
  kovira::CnnProc cnnproc(resproc);
  kovira::Decode decode(cnnproc);
  std::thread queueThread(std::ref(resproc));
  std::thread cnnThread(std::ref(cnnproc));
  std::thread decodeThread(std::ref(decode));

  std::unique_ptr<BaslerCamera> camera;
  if (usb3) {
    usb3cam::Options o;
    o.width = scene.width;
    o.height = scene.height;
    o.pacing = usb3cam::Pacing::kUnpaced;
    o.sceneJson = text.str();
    usb3cam::reset(o);
    camera = std::make_unique<BaslerCamera>(baslerConfig());
    if (!camera->open()) {
      std::cerr << "road_bench: the camera stand-in did not open\n";
      return 1;
    }
  }
  const BaslerCamera::Callback place = [camid](int w, int h, unsigned char* data, unsigned long size, unsigned e,
                                               unsigned g, long ts) {
    usbframeplace_basler(camid, w, h, data, size, e, g, ts);
  };

  const auto start = Clock::now();
  const auto epoch = std::chrono::duration_cast<std::chrono::microseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
  for (int k = 0; k < count; ++k) {
    const long long us = epoch + static_cast<long long>(k) * 1000000LL / scene.fps;
    if (usb3) {
      if (camera->grab(place) <= 0) {
        std::cerr << "road_bench: grab failed at frame " << k << "\n";
        return 1;
      }
      // Placed at the scene's pace, as a real-time camera would be: the
      // speed module checks the camera's clock against the placement's.
      kovira::FrameMetadata& rec = store.meta().writerBack();
      rec.sec.store(static_cast<unsigned>(us / 1000000));
      rec.usec.store(static_cast<unsigned>(us % 1000000));
    } else {
      camreadcv::opencv_place(camid, scene.width, scene.height, static_cast<unsigned>(us / 1000000),
                            static_cast<unsigned>(us % 1000000), frames[static_cast<std::size_t>(k)].data(),
                            frames[static_cast<std::size_t>(k)].size());
    }
    while (store.framesRemain() > kAhead) std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  const auto fed = Clock::now();
  // Done when every plate group went through the modules and every frame
  // through recognition (the store's newest frame waits for its successor).
  while ((groupsDone < scene.vehicles.size() || cnnproc.queueSize() > 0 || store.framesRemain() > 1) &&
         Clock::now() - fed < kDrainLimit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  const double s = seconds(Clock::now() - start);
  std::size_t readings = 0;
  for (const auto& st : cnnproc.statistics()) readings += st.found;

  camera.reset();
  resproc.stop();
  cnnproc.stop = true;
  decode.stop = true;
  queueThread.join();
  cnnThread.join();
  decodeThread.join();
  std::error_code ec;
  fs::remove_all(dir, ec);

  const double fps = count / s;
  std::printf("whole road%s%s on %s: %dx%d, %d frames (%.1f s at %d fps), %zu vehicles\n",
              usb3 ? " from the USB3 camera" : "", modules ? " with every module" : "", fs::path(scenePath).filename().c_str(), scene.width, scene.height, count,
              static_cast<double>(count) / scene.fps, scene.fps, scene.vehicles.size());
  std::printf("  plate readings:         %zu (sightings in the scene: %zu)\n", readings, sightings);
  std::printf("  plate groups finished:  %u of %zu\n", groupsDone.load(), scene.vehicles.size());
  std::printf("  evidence archives:      %u (%u vehicles at or above %d km/h)\n", evidenceMade.load(), speeding,
              scene.threshold);
  std::printf("  time:                   %.3f s (%d pipeline threads on %d cores)\n", s, 3 + kovira::ResQueue::kWorkers,
              usableCores());
  std::printf("  frames/s:               %.1f (playback: %d)\n", fps, scene.fps);
  std::printf("  events/s:               %.2f\n", evidenceMade / s);
  std::printf("  real-time factor:       %.2f\n", fps / scene.fps);
  return groupsDone < scene.vehicles.size() ? 1 : 0;
}
