// The unit's whole road over a generated scene, set up for benchmarks: the
// scene's configuration in a private folder (store large enough for the
// whole scene, the demo's evidence settings, a signing key), the speed
// module, the decode stage, the recognition stage over libcnn.so and the
// result queue on their threads, and a feeder that stores frames the way
// the file playback does while keeping at most kAhead frames waiting.
//
// One pass per process: the result queue is the process-wide one the
// modules register with. Lifetime: open(), start(), feed()/grab, drain(),
// then the destructor stops and joins the stages and removes the folder.
#pragma once

#include "tools/scenegen/scene.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

namespace kovira {
class CamBuf;
}

namespace roadrig {

using Clock = std::chrono::steady_clock;
using Frame = std::vector<std::uint8_t>;

double seconds(Clock::duration d);
// Cores this process may run on (taskset narrows them).
int usableCores();

class Road {
 public:
  Road();
  ~Road();
  Road(const Road&) = delete;
  Road& operator=(const Road&) = delete;

  // Reads the scene, configures the unit over it and renders its frames
  // into memory (unless render is false); false after printing why. With
  // modules, every other processing module gets an action beside speed's
  // and starts as the unit starts it.
  bool open(const std::string& scenePath, bool render = true, bool modules = false);
  // Starts the stages' threads.
  void start();
  // Stores frame k stamped with the scene's own timeline (frame k at
  // k / fps seconds from the start), then waits while the stages lag.
  void feed(int k);
  // Waits while more than kAhead frames wait for the decode stage.
  void holdBack();
  // Until every plate group went through the modules and every frame
  // through recognition (at most 5 s after the feeding); seconds since
  // start().
  double drain();
  // Frames per second of feeding and draining against the scene's rate.
  double realTimeFactor() const;
  void printSummary(const std::string& what) const;

  const kovira::scenegen::Scene& scene() const { return *scene_; }
  const std::string& sceneText() const { return sceneText_; }
  const std::string& scenePath() const { return scenePath_; }
  int camid() const { return camid_; }
  kovira::CamBuf& store() const;
  // Microseconds of the wall clock at frame k of the scene.
  long long stamp(int k) const;

  static std::atomic<unsigned> groupsDone;
  static std::atomic<unsigned> evidenceMade;

 private:
  struct Stages;
  std::unique_ptr<kovira::scenegen::Scene> scene_;
  std::string sceneText_, scenePath_;
  std::filesystem::path dir_;
  std::vector<Frame> frames_;
  std::size_t sightings_ = 0;
  unsigned speeding_ = 0;
  int camid_ = 0;
  long long epoch_ = 0;
  Clock::time_point start_;
  double seconds_ = 0;
  std::unique_ptr<Stages> stages_;
};

}  // namespace roadrig
