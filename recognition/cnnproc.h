// The recognition stage: reads plates in decoded pictures and pushes the
// readings into the result queue.
//
// The decode stage hands it every decoded picture with queueFrame. One
// recognition thread (operator(), "kovira: cnnproc") cuts batches of
// pictures of one camera and one size from the front of the queue, runs the
// recogniser on every step-th picture of a batch (the step grows with the
// congestion of the camera's frame store) with the polygons of that
// camera's zones, marks every picture's record in the frame store as
// submitted or skipped, publishes the readings into the records and pushes
// them to the result queue. It is also the configuration section "cnnconf"
// and keeps hourly statistics for its page.
//
// Threading: queueFrame/queueSize from the decode thread and pages; the
// settings (classifier, maxproc, chunktime, initforce) are atomics written
// by pages and by the configuration store; statistics() and polygonList()
// copy under their own mutex. Everything else belongs to the recognition
// thread. Lifetime: main builds one before the pipeline threads start, sets
// `stop` and joins the thread at shut-down.
#pragma once

#include "capture/smartbuf.h"
#include "codec/decodedframe.h"
#include "codec/picture_sink.h"
#include "config/sketch.h"
#include "platform/cnn/cnn_result.h"
#include "recognition/cnn_library.h"
#include "recognition/resqueue.h"
#include "recognition/scene_access.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <list>
#include <condition_variable>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace kovira {

struct FieldRule;

class CnnProc : public ConfigSketch, public PictureSink {
 public:
  static constexpr int kMaxResults = 512;         // the result area handed to the recogniser
  static constexpr unsigned kMaxBatch = 21;       // frames taken for one batch at most
  static constexpr unsigned kWholeQueueBelow = 9; // below this many waiting, all form the batch
  static constexpr unsigned kLeftForNext = 4;     // from then on, frames left for the next batch
  static constexpr std::size_t kStatPeriods = 120; // statistics periods kept (what the page shows)
  static constexpr int kMaxprocDefault = 6;
  static constexpr int kMaxprocMin = 1;
  static constexpr int kMaxprocMax = 64;  // the recogniser refuses more
  static constexpr std::uint32_t kChunkDefault = 3600;

  // One statistics period.
  struct stat_t {
    std::uint32_t start = 0;  // seconds since the epoch, a multiple of chunktime
    std::uint32_t camid = 0;  // camera of the period's first batch
    std::uint64_t frames = 0;     // walked frames reported by the recogniser
    std::uint64_t launched = 0;   // batches
    std::uint64_t steps = 0;
    std::uint64_t found = 0;      // readings
    std::uint64_t maxframes = 0;  // batch lengths before stepping
    double elapsed = 0;           // recogniser time, seconds
    double congestion = 0;
  };

  // The unit's stage: libcnn.so, section "cnnconf", the scene of
  // sceneAccess() (bound by the program at start-up).
  explicit CnnProc(ResQueue& queue);
  // A stage over another recogniser (tests); attaches no section. `scene`
  // must outlive it.
  CnnProc(ResQueue& queue, CnnLibrary library, const SceneAccess& scene = sceneAccess());
  ~CnnProc() override;
  CnnProc(const CnnProc&) = delete;
  CnnProc& operator=(const CnnProc&) = delete;

  // Recognition thread body; returns once `stop` is set.
  void operator()();
  // Sets `stop` and wakes the thread, so that shut-down does not wait out
  // its idle deadline.
  void requestStop();

  // Appends the picture. The queue has no bound: the decode stage holds
  // back while queueSize() is above 25.
  void queueFrame(DecodedFrame frame) override;
  std::uint32_t queueSize() override;

  // Candidate batch for a queue of n frames: all below 9, else n - 4, at
  // most 21.
  static unsigned batchFor(unsigned queued);
  // Step from a frame store's congestion (1 to 5). The thresholds 0.9, 0.8
  // and 0.3 are compared in double and 0.5 in float, so a float congestion
  // of exactly 0.3f (slightly above 0.3) already gives 2 while 0.9f
  // (slightly below 0.9) gives 4.
  static unsigned stepFor(float congestion);

  // ---- Steps of the thread (public for tests) ----
  // One batch of at most n frames; drops the whole queue on failure.
  void procNext(unsigned n);
  // Runs the recogniser on one batch; returns the frames consumed from
  // the front of the queue (0: failure).
  unsigned launchCnnProc(unsigned n, unsigned step);
  // Initialises the recogniser again when the frame size grew, a
  // description is new, the classifier setting changed or a re-init was
  // asked for. Returns the handle (null when there is none).
  void* checkCNN(int width, int height, const std::list<std::string>& polygons);
  void initCNN(int width, int height);
  bool newPolygonCheck(const std::list<std::string>& polygons) const;
  void statpush(int camid, int walked, int step, double elapsed, double congestion, int maxframes, int found);

  // ---- "cnnconf" ----
  void tojson(nlohmann::json& section, int mode) override;
  void fromjson(const nlohmann::json& section) override;
  std::string check(const nlohmann::json& section) const override;
  // The rule of "classifier" or "maxproc", which the page's form reads its
  // fields under too; null for another key.
  static const FieldRule* rule(std::string_view key);

  // Copies for the page.
  std::vector<stat_t> statistics() const;
  std::list<std::string> polygonList() const;
  // The result queue the stage feeds (the track pages read its tracks).
  ResQueue& resultQueue() const { return results; }

  // Settings; the page and the configuration store write them.
  std::atomic<int> classifier{0};
  std::atomic<int> classifierUsed{0};
  const int maxprocDefault = kMaxprocDefault;
  std::atomic<int> maxproc{kMaxprocDefault};
  std::atomic<int> initforce{0};
  std::atomic<int> initCount{0};
  std::atomic<std::uint32_t> memcnnsize{0};
  std::atomic<std::uint32_t> chunktime{kChunkDefault};
  std::atomic<bool> stop{false};

 private:
  struct Batch;
  Batch copyBatch(unsigned n);
  // The frame's record in its camera's store; not valid() when gone.
  SmartBufferIterator storedRecord(int camid, unsigned frame) const;
  float congestionOf(int camid) const;
  void markFrames(const Batch& batch, unsigned consumed, unsigned step);
  void placeReadings(const Batch& batch, unsigned consumed, unsigned step, int count);
  void dropQueue();
  [[noreturn]] void libraryError(const Batch& batch);

  ResQueue& results;
  const SceneAccess& scene;
  CnnLibrary lib;

  mutable std::mutex queueMutex;
  std::deque<DecodedFrame> queue;  // guarded by queueMutex
  std::condition_variable queued;  // signalled by queueFrame; wakes the idle recognition thread

  mutable std::mutex statMutex;
  std::deque<stat_t> stats;           // guarded by statMutex; newest first
  std::list<std::string> polygons;    // guarded by statMutex; written by the recognition thread only

  void* handle = nullptr;  // recognition thread
  std::array<CNN_RESULT, kMaxResults> area{};
};

}  // namespace kovira
