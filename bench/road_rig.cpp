#include "bench/road_rig.h"

#include "capture/cam.h"
#include "capture/opencv_play.h"
#include "codec/decode.h"
#include "config/config.h"
#include "core/startup_functions.h"
#include "modules/postframe.h"
#include "recognition/cnnproc.h"
#include "recognition/resqueue.h"
#include "recognition/scene_binding.h"
#include "tools/scenegen/scene_outputs.h"
#include "tools/scenegen/scene_render.h"

#include <nlohmann/json.hpp>

#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

namespace roadrig {

namespace fs = std::filesystem;

namespace {

constexpr std::uint32_t kAhead = 8;  // frames waiting for the decode stage at most
constexpr int kStoreMiB = 512;       // the whole demo scene fits: no evidence frame is evicted
constexpr auto kDrainLimit = std::chrono::seconds(5);
constexpr const char* kExtra = "redbox crosshair fullframe angelsign";
// The other modules' methods, each given an action beside speed's with modules.
constexpr const char* kOtherMethods[] = {"speed-kormelino", "wrongdir", "busline", "busline-kormelino",
                                         "carflow", "trackdump", "maskfind", "postframe"};

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

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

int usableCores() {
  cpu_set_t set;
  return ::sched_getaffinity(0, sizeof set, &set) == 0 ? CPU_COUNT(&set)
                                                       : static_cast<int>(std::thread::hardware_concurrency());
}

std::atomic<unsigned> Road::groupsDone{0};
std::atomic<unsigned> Road::evidenceMade{0};

struct Road::Stages {
  Stages() { kovira::bindSceneAccess(); }  // as the program does at start-up
  ~Stages() {
    resproc.stop();
    cnnproc.stop = true;
    decode.stop = true;
    queueThread.join();
    cnnThread.join();
    decodeThread.join();
  }
  kovira::CnnProc cnnproc{resproc};
  kovira::Decode decode{cnnproc};
  std::thread queueThread{std::ref(resproc)};
  std::thread cnnThread{std::ref(cnnproc)};
  std::thread decodeThread{std::ref(decode)};
};

Road::Road() = default;

Road::~Road() {
  stages_.reset();
  std::error_code ec;
  if (!dir_.empty()) fs::remove_all(dir_, ec);
}

bool Road::open(const std::string& scenePath, bool render, bool modules) {
  scenePath_ = scenePath;
  std::ifstream in(scenePath);
  std::stringstream text;
  text << in.rdbuf();
  sceneText_ = text.str();
  auto parsed = kovira::scenegen::parseScene(sceneText_);
  if (!parsed.scene) {
    std::cerr << scenePath << ": " << parsed.error << "\n";
    return false;
  }
  scene_ = std::make_unique<kovira::scenegen::Scene>(*parsed.scene);
  for (const auto& v : scene_->vehicles) speeding_ += v.kmh >= scene_->threshold ? 1 : 0;

  char tmpl[] = "/var/tmp/kovira-road-bench.XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) {
    std::perror("mkdtemp");
    return false;
  }
  dir_ = tmpl;
  const std::string key = (dir_ / "sign.key").string();
  if (std::system(("openssl genrsa -out '" + key + "' 2048 2>/dev/null").c_str()) != 0)
    std::cerr << "no signing key (openssl genrsa failed); archives are not signed\n";
  std::ofstream(dir_ / "cfg.json") << benchConfig(*scene_, dir_, modules);

  // Start-up as the unit does it, for the parts of the road.
  kovira::GlobalConfig& cfg = kovira::config();
  if (!cfg.read((dir_ / "cfg.json").string())) return false;
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

  kovira::scenegen::SceneRenderer renderer(*scene_);
  const int count = scene_->frameCount();
  const std::size_t size = static_cast<std::size_t>(scene_->width) * scene_->height;
  if (render) frames_.assign(static_cast<std::size_t>(count), Frame(size));
  Frame scratch(render ? 0 : size);
  for (int k = 0; k < count; ++k) {
    Frame& out = render ? frames_[static_cast<std::size_t>(k)] : scratch;
    renderer.render(k, {out.data(), scene_->width, scene_->height, scene_->width});  // the truth, and the frames
  }
  for (const auto& plates : renderer.truth()) sightings_ += plates.size();
  camid_ = nlohmann::json::parse(kovira::scenegen::configJson(*scene_, ""))[0]["camid"].get<int>();
  return true;
}

kovira::CamBuf& Road::store() const { return *kovira::camera(camid_).cambuf; }

long long Road::stamp(int k) const { return epoch_ + static_cast<long long>(k) * 1000000LL / scene_->fps; }

void Road::start() {
  stages_ = std::make_unique<Stages>();
  start_ = Clock::now();
  epoch_ = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
               .count();
}

void Road::feed(int k) {
  const long long us = stamp(k);
  Frame& frame = frames_[static_cast<std::size_t>(k)];
  camreadcv::opencv_place(camid_, scene_->width, scene_->height, static_cast<unsigned>(us / 1000000),
                          static_cast<unsigned>(us % 1000000), frame.data(), frame.size());
  holdBack();
}

void Road::holdBack() {
  while (store().framesRemain() > kAhead) std::this_thread::sleep_for(std::chrono::microseconds(100));
}

double Road::drain() {
  const auto fed = Clock::now();
  while ((groupsDone < scene_->vehicles.size() || stages_->cnnproc.queueSize() > 0 || store().framesRemain() > 1) &&
         Clock::now() - fed < kDrainLimit)
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  seconds_ = seconds(Clock::now() - start_);
  return seconds_;
}

double Road::realTimeFactor() const { return scene_->frameCount() / seconds_ / scene_->fps; }

void Road::printSummary(const std::string& what) const {
  std::size_t readings = 0;
  for (const auto& st : stages_->cnnproc.statistics()) readings += st.found;
  const int count = scene_->frameCount();
  const double fps = count / seconds_;
  std::printf("%s on %s: %dx%d, %d frames (%.1f s at %d fps), %zu vehicles\n", what.c_str(),
              fs::path(scenePath_).filename().c_str(), scene_->width, scene_->height, count,
              static_cast<double>(count) / scene_->fps, scene_->fps, scene_->vehicles.size());
  std::printf("  plate readings:         %zu (sightings in the scene: %zu)\n", readings, sightings_);
  std::printf("  plate groups finished:  %u of %zu\n", groupsDone.load(), scene_->vehicles.size());
  std::printf("  evidence archives:      %u (%u vehicles at or above %d km/h)\n", evidenceMade.load(), speeding_,
              scene_->threshold);
  std::printf("  time:                   %.3f s (%d pipeline threads on %d cores)\n", seconds_,
              3 + kovira::ResQueue::kWorkers, usableCores());
  std::printf("  frames/s:               %.1f (playback: %d)\n", fps, scene_->fps);
  std::printf("  events/s:               %.2f\n", evidenceMade / seconds_);
  std::printf("  real-time factor:       %.2f\n", fps / scene_->fps);
}

}  // namespace roadrig
