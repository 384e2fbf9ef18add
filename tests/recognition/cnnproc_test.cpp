// The recognition stage over a scripted recogniser, with real zones and
// real frame stores: batching, stepping, flags and readings on the frames,
// re-initialisation, zones of several cameras, the fatal paths.
#include "recognition/cnnproc.h"

#include "tests/recognition/scene_fixture.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <unistd.h>
#include <utility>

namespace kovira {
namespace {

using namespace kovira::testing;
using namespace std::chrono_literals;

CNN_RESULT reading(unsigned index, unsigned zone, const char* text, int oy = 100) {
  CNN_RESULT r{};
  r.index = index;
  r.zoneid = zone;
  std::strncpy(r.text, text, sizeof(r.text) - 1);
  r.w = 40;
  r.ox = 100;
  r.oy = oy;
  return r;
}

// A recogniser that records what it is given and answers from a script.
class FakeCnn {
 public:
  struct Init {
    int maxproc, height, width, mode;
    std::vector<std::string> polygons;
  };
  struct Call {
    std::vector<void*> frames;
    int width, height;
    std::vector<std::string> polygons;
    std::vector<unsigned> numbers;  // what each frame's first bytes say, read during the call
  };
  // Fills results and count; returns the walked frames. Default: walks all,
  // reads nothing.
  using Script = std::function<int(const Call&, CNN_RESULT*, int*)>;

  Script script = [](const Call& c, CNN_RESULT*, int* count) {
    *count = 0;
    return static_cast<int>(c.frames.size());
  };
  bool failInit = false;

  CnnLibrary table() {
    CnnLibrary lib;
    lib.version = [] { return "fake"; };
    lib.init = [this](int maxproc, int h, int w, char** p, int n, int mode) -> void* {
      std::lock_guard lock(mutex_);
      inits_.push_back({maxproc, h, w, mode, std::vector<std::string>(p, p + n)});
      return failInit ? nullptr : this;
    };
    lib.setDebugLevel = [](void*, int) {};
    lib.run = [this](void* handle, CNN_RESULT* res, int* count, void** frames, int nframes, int w, int h, int,
                     char** p, int n) {
      EXPECT_EQ(handle, this);
      EXPECT_EQ(*count, 512);
      Call c{std::vector<void*>(frames, frames + nframes), w, h, std::vector<std::string>(p, p + n), {}};
      for (void* f : c.frames) {
        unsigned num = 0;
        std::memcpy(&num, f, sizeof num);
        c.numbers.push_back(num);
      }
      const int walked = script(c, res, count);
      std::lock_guard lock(mutex_);
      calls_.push_back(c);
      walkedTotal_ += walked;
      cv_.notify_all();
      return walked;
    };
    lib.release = [this](void*) {
      std::lock_guard lock(mutex_);
      ++released_;
    };
    return lib;
  }

  bool waitWalked(int total) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, 30s, [&] { return walkedTotal_ >= total; });
  }
  std::vector<Init> inits() { return guarded(inits_); }
  std::vector<Call> calls() { return guarded(calls_); }
  int released() { return guarded(released_); }

 private:
  template <class T>
  T guarded(const T& value) {
    std::lock_guard lock(mutex_);
    return value;
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Init> inits_;  // guarded by mutex_
  std::vector<Call> calls_;  // guarded by mutex_
  int walkedTotal_ = 0;      // guarded by mutex_
  int released_ = 0;         // guarded by mutex_
};

class CnnProcTest : public ::testing::Test {
 protected:
  static constexpr int kW = 128;
  static constexpr int kH = 96;

  void SetUp() override {
    clearScene();
    // Every test has cameras of its own: frame stores live for the process.
    camA = nextCamera++;
    camB = nextCamera++;
    cameraSection(camA);
    cameraSection(camB);
    zoneSection(1, camA, rectCoords(2, 2, kW - 3, kH - 3));
  }
  void TearDown() override { clearScene(); }

  // Stores and queues count frames of camera camid; returns their numbers.
  std::vector<unsigned> queueFrames(int camid, int count, int w = kW, int h = kH) {
    std::vector<unsigned> nums = storeFrames(camid, count, w, h);
    for (unsigned n : nums) queueOne(camid, n, w, h);
    return nums;
  }
  // Each picture carries its frame number in its first bytes, so the fake
  // can tell which frames it was given (buffers are reused once freed).
  void queueOne(int camid, unsigned n, int w = kW, int h = kH) {
    DecodedFrame f = decoded(camid, n, w, h);
    std::memcpy(f.pixels.get(), &n, sizeof n);
    proc.queueFrame(f);
  }
  std::uint32_t flags(int camid, unsigned n) { return record(camid, n)->flags.load(); }
  std::size_t readings(int camid, unsigned n) { return record(camid, n)->resultCount(); }

  static inline int nextCamera = 100;
  int camA = 0;
  int camB = 0;
  SceneAccess scene;  // unbound: the queue's thread is not run here
  ResQueue queue{scene, [] { return 1000u; }};
  FakeCnn fake;
  CnnProc proc{queue, fake.table()};
};

class CnnProcThreadTest : public CnnProcTest, public ::testing::WithParamInterface<std::pair<int, std::vector<int>>> {};

TEST_P(CnnProcThreadTest, ThreadCutsTheWaitingFramesIntoBatches) {
  const auto& [queued, expected] = GetParam();
  const std::vector<unsigned> nums = queueFrames(camA, queued);
  std::thread t(std::ref(proc));
  ASSERT_TRUE(fake.waitWalked(queued));
  proc.stop = true;
  t.join();

  std::vector<int> sizes;
  std::vector<unsigned> seen;
  for (const auto& c : fake.calls()) {
    sizes.push_back(static_cast<int>(c.frames.size()));
    for (unsigned n : c.numbers) seen.push_back(n);
  }
  EXPECT_EQ(sizes, expected);
  EXPECT_EQ(seen, nums);  // every frame once, in order
  EXPECT_EQ(proc.queueSize(), 0u);
  for (unsigned n : nums) EXPECT_EQ(flags(camA, n) & (FRAME_CNN | FRAME_SKIP), FRAME_CNN) << n;
}

TEST_F(CnnProcTest, FramesQueuedWhileTheThreadRunsAreEachRecognisedOnceInOrder) {
  constexpr int kTotal = 60;
  const std::vector<unsigned> nums = storeFrames(camA, kTotal, kW, kH);
  std::thread t(std::ref(proc));
  for (unsigned n : nums) queueOne(camA, n);
  ASSERT_TRUE(fake.waitWalked(kTotal));
  proc.stop = true;
  t.join();
  std::vector<unsigned> seen;
  for (const auto& c : fake.calls()) {
    EXPECT_LE(c.frames.size(), CnnProc::kMaxBatch);
    for (unsigned n : c.numbers) seen.push_back(n);
  }
  EXPECT_EQ(seen, nums);
}

INSTANTIATE_TEST_SUITE_P(QueueLengths, CnnProcThreadTest,
                         ::testing::Values(std::make_pair(8, std::vector<int>{8}),
                                           std::make_pair(9, std::vector<int>{5, 4}),
                                           std::make_pair(30, std::vector<int>{21, 5, 4})));

TEST_F(CnnProcTest, BatchHoldsOnlyTheLeadingRunOfOneCameraAndOneSize) {
  zoneSection(2, camB, rectCoords(2, 2, kW - 3, kH - 3));
  const auto a = queueFrames(camA, 2);
  const auto b = queueFrames(camB, 1);
  const auto a2 = queueFrames(camA, 1);
  const auto wider = queueFrames(camA, 1, kW + 8, kH);
  for (int i = 0; i < 4; ++i) proc.procNext(21);
  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 4u);
  EXPECT_EQ(calls[0].numbers, a);
  EXPECT_EQ(calls[1].numbers, b);
  EXPECT_EQ(calls[2].numbers, a2);
  EXPECT_EQ(calls[3].numbers, wider);
  EXPECT_EQ(calls[3].width, kW + 8);
  EXPECT_EQ(proc.queueSize(), 0u);
}

TEST(CnnProcStep, StepGrowsWithCongestionWithTheMixedPrecisionThresholds) {
  // Widened to double, 0.3f lies just above 0.3 and 0.9f just below 0.9;
  // 0.5 is compared as a float, so 0.5f is not above it.
  const std::pair<float, unsigned> steps[] = {{0.0f, 1}, {0.25f, 1}, {0.3f, 2}, {0.31f, 2}, {0.5f, 2}, {0.6f, 3},
                                              {0.8f, 4}, {0.85f, 4}, {0.9f, 4}, {0.95f, 5}, {1.0f, 5}};
  for (const auto& [congestion, step] : steps) EXPECT_EQ(CnnProc::stepFor(congestion), step) << congestion;
}

TEST_F(CnnProcTest, CongestedStoreMakesTheBatchSubmitEveryThirdFrame) {
  const auto nums = queueFrames(camA, 7);
  // Thirteen frames the decode stage has not taken, of twenty: 0.65.
  storeFrames(camA, 13, kW, kH, /*taken=*/false);
  ASSERT_FLOAT_EQ(store(camA).congestion(), 0.65f);
  proc.procNext(7);
  ASSERT_EQ(fake.calls().size(), 1u);
  EXPECT_EQ(fake.calls()[0].numbers, (std::vector<unsigned>{nums[0], nums[3], nums[6]}));
  EXPECT_EQ(proc.queueSize(), 0u);
  const auto stats = proc.statistics();
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(std::vector<std::uint64_t>({stats[0].steps, stats[0].maxframes, stats[0].frames, stats[0].launched}),
            std::vector<std::uint64_t>({3, 7, 3, 1}));
  EXPECT_EQ(stats[0].camid, static_cast<std::uint32_t>(camA));
}

TEST_F(CnnProcTest, StepThreeMarksSubmittedAndSkippedFramesAndPlacesReadingsByIndex) {
  const auto nums = queueFrames(camA, 7);
  fake.script = [](const FakeCnn::Call& c, CNN_RESULT* r, int* count) {
    EXPECT_EQ(c.frames.size(), 3u);
    r[0] = reading(2, 1, "A123BC77");
    r[1] = reading(0, 1, "A123BC77", 50);
    r[2] = reading(2, 1, "A123BC77", 60);
    *count = 3;
    return 3;
  };
  EXPECT_EQ(proc.launchCnnProc(7, 3), 7u);
  for (int i = 0; i < 7; ++i) {
    const std::uint32_t want = i % 3 == 0 ? FRAME_CNN : FRAME_SKIP;
    EXPECT_EQ(flags(camA, nums[i]) & (FRAME_CNN | FRAME_SKIP), want) << i;
  }
  // Index 2 at step 3 is the frame six places after the first.
  EXPECT_EQ(readings(camA, nums[6]), 2u);
  EXPECT_EQ(readings(camA, nums[0]), 1u);
  EXPECT_EQ(readings(camA, nums[3]), 0u);
  EXPECT_EQ(queue.queueSize(), 3u);
}

TEST_F(CnnProcTest, GapInTheDecodedFramesDoesNotMoveFlagsOrReadings) {
  const auto nums = storeFrames(camA, 10, kW, kH);
  // Frame 4 never reached the queue (say its decoding failed).
  for (int i : {0, 1, 2, 4, 5, 6}) queueOne(camA, nums[i]);
  fake.script = [](const FakeCnn::Call&, CNN_RESULT* r, int* count) {
    r[0] = reading(3, 1, "A123BC77");  // the fourth frame queued: number 5
    *count = 1;
    return 6;
  };
  EXPECT_EQ(proc.launchCnnProc(6, 1), 6u);
  EXPECT_EQ(readings(camA, nums[4]), 1u);
  EXPECT_EQ(readings(camA, nums[3]), 0u);
  EXPECT_EQ(flags(camA, nums[3]) & (FRAME_CNN | FRAME_SKIP), 0u);
  EXPECT_EQ(flags(camA, nums[6]) & FRAME_CNN, FRAME_CNN);
  EXPECT_EQ(flags(camA, nums[7]) & (FRAME_CNN | FRAME_SKIP), 0u);
  EXPECT_EQ(record(camA, nums[4])->results()[0].zoneid, 1u);
}

TEST_F(CnnProcTest, FramesTheRecogniserDidNotWalkStayQueuedAndForeignIndexesAreDropped) {
  const auto nums = queueFrames(camA, 5);
  fake.script = [](const FakeCnn::Call&, CNN_RESULT* r, int* count) {
    r[0] = reading(1, 1, "A123BC77");
    r[1] = reading(3, 1, "A123BC77");   // submitted but not walked
    r[2] = reading(40, 1, "A123BC77");  // no such frame
    *count = 3;
    return 2;
  };
  proc.procNext(5);
  EXPECT_EQ(proc.queueSize(), 3u);
  EXPECT_EQ(readings(camA, nums[1]), 1u);
  EXPECT_EQ(readings(camA, nums[3]), 0u);
  EXPECT_EQ(flags(camA, nums[2]) & (FRAME_CNN | FRAME_SKIP), 0u);
  EXPECT_EQ(queue.queueSize(), 1u);
}

TEST_F(CnnProcTest, UnterminatedPlateTextIsCutAtTheFieldEnd) {
  const auto nums = queueFrames(camA, 1);
  fake.script = [](const FakeCnn::Call&, CNN_RESULT* r, int* count) {
    r[0] = reading(0, 1, "");
    std::memset(r[0].text, 'A', sizeof(r[0].text));
    *count = 1;
    return 1;
  };
  proc.procNext(1);
  ASSERT_EQ(readings(camA, nums[0]), 1u);
  EXPECT_EQ(std::strlen(record(camA, nums[0])->results()[0].text), 19u);
}

TEST_F(CnnProcTest, CameraWithoutZonesHasItsFramesSkippedWithoutTheRecogniser) {
  const auto nums = queueFrames(camB, 3);
  proc.procNext(3);
  EXPECT_TRUE(fake.calls().empty());
  EXPECT_TRUE(fake.inits().empty());
  EXPECT_EQ(proc.queueSize(), 0u);
  for (unsigned n : nums) EXPECT_EQ(flags(camB, n) & (FRAME_CNN | FRAME_SKIP), FRAME_SKIP);
}

TEST_F(CnnProcTest, NothingWalkedDropsTheWholeQueueAsSkipped) {
  const auto nums = queueFrames(camA, 4);
  const auto other = queueFrames(camB, 2);
  fake.script = [](const FakeCnn::Call&, CNN_RESULT*, int* count) {
    *count = 0;
    return 0;
  };
  ::testing::internal::CaptureStdout();
  proc.procNext(4);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "[FAILURE] CNN proc error\n");
  EXPECT_EQ(proc.queueSize(), 0u);
  for (unsigned n : nums) EXPECT_EQ(flags(camA, n) & FRAME_SKIP, FRAME_SKIP);
  for (unsigned n : other) EXPECT_EQ(flags(camB, n) & FRAME_SKIP, FRAME_SKIP);
}

TEST_F(CnnProcTest, RecogniserIsInitialisedAgainOnlyWhenSomethingChanged) {
  auto batch = [&](int w = kW, int h = kH) {
    queueFrames(camA, 1, w, h);
    proc.procNext(1);
  };
  batch();
  ASSERT_EQ(fake.inits().size(), 1u);
  EXPECT_EQ(fake.inits()[0].width, kW);
  EXPECT_EQ(fake.inits()[0].height, kH);
  EXPECT_EQ(fake.inits()[0].mode, 2);
  EXPECT_EQ(fake.inits()[0].maxproc, 6);
  EXPECT_EQ(proc.memcnnsize.load(), static_cast<std::uint32_t>(kW * kH));
  batch();
  EXPECT_EQ(fake.inits().size(), 1u);

  proc.classifier = 1;
  batch();
  ASSERT_EQ(fake.inits().size(), 2u);
  EXPECT_EQ(fake.inits()[1].mode, 6);
  EXPECT_EQ(fake.released(), 1);

  proc.initforce = 1;
  batch();
  EXPECT_EQ(fake.inits().size(), 3u);
  EXPECT_EQ(proc.initforce.load(), 0);

  batch(kW - 1, kH - 1);  // smaller: the handle serves it
  EXPECT_EQ(fake.inits().size(), 3u);
  batch(kW + 16, kH + 16);  // larger
  EXPECT_EQ(fake.inits().size(), 4u);

  zoneSection(3, camA, rectCoords(10, 10, 70, 70));  // a new zone's description
  batch();
  EXPECT_EQ(fake.inits().size(), 5u);
  EXPECT_EQ(proc.initCount.load(), 5);
}

TEST_F(CnnProcTest, ZoneWithoutADescriptionForItsScaleNeverForcesReinitialisation) {
  // Scale 9 lies outside the zone's own window, so its description is empty.
  zoneSection(3, camA, rectCoords(10, 10, 70, 70), 9);
  for (int i = 0; i < 3; ++i) {
    queueFrames(camA, 1);
    proc.procNext(1);
  }
  EXPECT_EQ(fake.inits().size(), 1u);
  for (const auto& c : fake.calls())
    for (const auto& p : c.polygons) EXPECT_FALSE(p.empty());
}

TEST_F(CnnProcTest, TwoCamerasOfDifferentSizesKeepAllTheirZones) {
  constexpr int kBigW = 256, kBigH = 192;
  zoneSection(2, camB, rectCoords(4, 4, kBigW - 5, kBigH - 5));
  // A zone of camera A that reaches past A's frames (a passing mismatch).
  zoneSection(4, camA, rectCoords(4, 4, kBigW - 5, kH - 3));
  for (int round = 0; round < 2; ++round) {
    queueFrames(camA, 1);
    proc.procNext(1);
    queueFrames(camB, 1, kBigW, kBigH);
    proc.procNext(1);
  }
  const auto calls = fake.calls();
  ASSERT_EQ(calls.size(), 4u);
  for (std::size_t i = 0; i < calls.size(); ++i) {
    ASSERT_EQ(calls[i].polygons.size(), 1u);
    EXPECT_EQ(calls[i].polygons[0].substr(0, 2), i % 2 == 0 ? "1," : "2,");
  }
  EXPECT_TRUE(zoneEnabled(1));
  EXPECT_TRUE(zoneEnabled(2));
  EXPECT_TRUE(zoneEnabled(4));
  // Camera B's larger frames set the size once; A's fit inside it.
  EXPECT_EQ(fake.inits().size(), 2u);
}

// Death tests print on standard output; the child sends it to standard error
// where the matcher looks.
#define EXPECT_STDOUT_DEATH(statement, text) \
  EXPECT_DEATH(                              \
      {                                      \
        std::fflush(stdout);                 \
        ::dup2(2, 1);                        \
        statement;                           \
      },                                     \
      text)

// Each recogniser failure ends the process with what it was given.
TEST_F(CnnProcTest, FailedRecogniserCallsAbort) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  zoneSection(3, camA, rectCoords(10, 10, 70, 70), 4);
  fake.failInit = true;
  const auto nums = queueFrames(camA, 2);
  EXPECT_STDOUT_DEATH(proc.procNext(2), "\\[CNN\\] Init failure\n1,4,2,2,125,2,125,93,2,93\n1,5,2,2,125");

  fake.failInit = false;
  fake.script = [](const FakeCnn::Call&, CNN_RESULT*, int*) { return -1; };
  // The child of a death test numbers its cameras afresh.
  const std::string expected = "\\[FAILURE\\] Error returned from libcnn.so, frames:\n  n=" +
                               std::to_string(nums[0]) + ": size=128x96, camid=[0-9]+, len=12288\n  n=" +
                               std::to_string(nums[1]) + ": size=128x96, camid=[0-9]+, len=12288\n";
  EXPECT_STDOUT_DEATH(proc.procNext(2), expected);

  fake.script = [](const FakeCnn::Call&, CNN_RESULT*, int*) { return 1; };
  EXPECT_STDOUT_DEATH(proc.procNext(2), "\\[FAILURE\\] Plaese update libcnn.so; res_num is not changed\n");
}

TEST_F(CnnProcTest, SectionWritesOnlyChangedKeysAndReadsWhatIsPresent) {
  nlohmann::json out;
  proc.tojson(out, 0);
  EXPECT_TRUE(out.is_null());
  proc.tojson(out, 1);
  EXPECT_EQ(out, (nlohmann::json{{"classifier", 0}, {"maxproc", 6}}));

  proc.fromjson({{"classifier", 1}});
  EXPECT_EQ(proc.classifier.load(), 1);
  EXPECT_EQ(proc.maxproc.load(), 6);
  proc.fromjson({{"maxproc", 3}});
  EXPECT_EQ(proc.classifier.load(), 1);
  nlohmann::json changed;
  proc.tojson(changed, 0);
  EXPECT_EQ(changed, (nlohmann::json{{"classifier", 1}, {"maxproc", 3}}));
}

TEST_F(CnnProcTest, ABatchThatThrowsAnythingIsDroppedAndTheThreadGoesOn) {
  fake.script = [first = true](const FakeCnn::Call& c, CNN_RESULT*, int* count) mutable -> int {
    if (std::exchange(first, false)) throw 42;  // not even a std::exception
    *count = 0;
    return static_cast<int>(c.frames.size());
  };
  const std::vector<unsigned> dropped = queueFrames(camA, 3);
  ::testing::internal::CaptureStdout();
  std::thread t(std::ref(proc));
  const auto deadline = std::chrono::steady_clock::now() + 30s;
  while (proc.queueSize() > 0 && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(2ms);
  const std::vector<unsigned> later = queueFrames(camA, 2);
  const bool walked = fake.waitWalked(2);
  proc.stop = true;
  t.join();
  EXPECT_NE(::testing::internal::GetCapturedStdout().find("[ERR] recognition batch failed\n"), std::string::npos);
  ASSERT_TRUE(walked);
  for (unsigned n : dropped) EXPECT_EQ(flags(camA, n) & FRAME_SKIP, FRAME_SKIP) << n;
  for (unsigned n : later) EXPECT_EQ(flags(camA, n) & (FRAME_CNN | FRAME_SKIP), FRAME_CNN) << n;
}

}  // namespace
}  // namespace kovira
