// The result queue with its real threads over a scene whose frame stores the
// test moves by hand. Also run under ThreadSanitizer (label "sanitizer").
#include "recognition/eventlog.h"
#include "recognition/resqueue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace kovira {
namespace {

using namespace std::chrono_literals;
constexpr auto kDeadline = 30s;  // only bounds a failing test
constexpr unsigned kNoCameraZone = 9;

CNN_RESULT reading(unsigned zone, const std::string& text, int ox = 100, int oy = 100) {
  CNN_RESULT r{};
  r.zoneid = zone;
  std::strncpy(r.text, text.c_str(), sizeof(r.text) - 1);
  r.w = 40;
  r.ox = ox;
  r.oy = oy;
  return r;
}

// Frame stores moved by the test. Every look at a store is counted, so the
// test knows when a build pass has judged its tracks.
class FakeScene {
 public:
  using ZoneCameras = std::map<unsigned, unsigned>;
  explicit FakeScene(ZoneCameras zoneCams) : zoneCams_(std::move(zoneCams)) {
    access.zoneCamera = [this](unsigned zone) {
      const auto it = zoneCams_.find(zone);
      return it == zoneCams_.end() ? 0u : it->second;
    };
    access.oldestUndecoded = [this](unsigned camid) -> std::optional<PendingFrame> {
      std::lock_guard lock(mutex_);
      ++probes_[camid];
      cv_.notify_all();
      const auto it = pending_.find(camid);
      if (it == pending_.end()) return std::nullopt;
      return it->second;
    };
  }

  void setPending(unsigned camid, std::uint32_t num, std::uint32_t type) {
    std::lock_guard lock(mutex_);
    pending_[camid] = PendingFrame{num, type};
  }

  // Waits until the camera's store was looked at `more` further times.
  bool waitProbes(unsigned camid, int more) {
    std::unique_lock lock(mutex_);
    const int target = probes_[camid] + more;
    return cv_.wait_for(lock, kDeadline, [&] { return probes_[camid] >= target; });
  }

  SceneAccess access;

 private:
  const std::map<unsigned, unsigned> zoneCams_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::map<unsigned, PendingFrame> pending_;  // guarded by mutex_
  std::map<unsigned, int> probes_;            // guarded by mutex_
};

// Keeps a copy of every group a module was given.
class Recorder {
 public:
  ResQueue::module_t module(int result = 0) {
    return [this, result](MultiTrack& g) {
      std::lock_guard lock(mutex_);
      groups_.push_back(g);
      cv_.notify_all();
      return result;
    };
  }
  bool waitFor(std::size_t n) {
    std::unique_lock lock(mutex_);
    return cv_.wait_for(lock, kDeadline, [&] { return groups_.size() >= n; });
  }
  std::vector<MultiTrack> groups() {
    std::lock_guard lock(mutex_);
    return groups_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<MultiTrack> groups_;  // guarded by mutex_
};

// A result queue whose queue thread runs from start() until the end.
class RunningQueue {
 public:
  explicit RunningQueue(FakeScene& scene) : queue(scene.access, [this] { return clock.load(); }) {}
  ~RunningQueue() { stop(); }

  void start() { thread = std::thread(std::ref(queue)); }
  void stop() {
    if (!thread.joinable()) return;
    testing::internal::CaptureStdout();
    queue.stop();
    stopOutput = testing::internal::GetCapturedStdout();
    thread.join();
  }

  std::atomic<std::uint32_t> clock{1000};
  ResQueue queue;
  std::thread thread;
  std::string stopOutput;
};

std::size_t tracksOfZone(const std::vector<Track>& tracks, unsigned zone) {
  return static_cast<std::size_t>(
      std::count_if(tracks.begin(), tracks.end(), [zone](const Track& t) { return t.zone == zone; }));
}

TEST(ResQueueTest, EachPlateBecomesOneGroupOnceItsTrackIsFinished) {
  FakeScene scene(FakeScene::ZoneCameras{{1, 1}});
  scene.setPending(1, 100, 5);
  RunningQueue rq(scene);
  Recorder rec;
  rq.queue.addProcModule("rec", rec.module());
  for (unsigned f = 50; f <= 54; ++f) {
    rq.queue.push(f, reading(1, "A123BC77", 100, static_cast<int>(f)));
    rq.queue.push(f, reading(1, "X987YZ99", 900, static_cast<int>(f)));
  }
  rq.queue.push(55, reading(1, ""));  // no text: dropped
  rq.start();

  ASSERT_TRUE(scene.waitProbes(1, 4));  // two plates, two build passes
  EXPECT_EQ(rq.queue.unfinished().size(), 2u);
  EXPECT_TRUE(rec.groups().empty());

  scene.setPending(1, 200, 5);
  ASSERT_TRUE(rec.waitFor(2));
  EXPECT_EQ(rq.queue.checkTrackAlone(1, 52), 2);
  EXPECT_EQ(rq.queue.checkTrackAlone(1, 60), 0);
  EXPECT_EQ(rq.queue.checkTrackAlone(2, 52), 0);
  rq.stop();

  auto groups = rec.groups();
  ASSERT_EQ(groups.size(), 2u);
  std::set<std::string> texts;
  for (auto& g : groups) {
    texts.insert(g.text());
    ASSERT_EQ(g.tracks.size(), 1u);
    EXPECT_EQ(g.tracks[0].points.size(), 5u);
    EXPECT_EQ(g.tracks[0].camid, 1u);
    EXPECT_EQ(rq.queue.find(static_cast<int>(g.tracks[0].id)).text(), g.text());
  }
  EXPECT_EQ(texts, (std::set<std::string>{"A123BC77", "X987YZ99"}));
  EXPECT_TRUE(rq.queue.unfinished().empty());
  EXPECT_EQ(rq.queue.history().size(), 2u);
  EXPECT_EQ(rq.queue.find(0).id, 0u);
}

TEST(ResQueueTest, PlateSeenInTwoZonesIsGroupedOnceBothTracksFinish) {
  FakeScene scene(FakeScene::ZoneCameras{{1, 1}, {2, 2}});
  scene.setPending(1, 200, 5);
  scene.setPending(2, 100, 5);
  RunningQueue rq(scene);
  Recorder rec;
  rq.queue.addProcModule("rec", rec.module());
  for (unsigned f = 10; f < 14; ++f) rq.queue.push(f, reading(1, "A123BC77"));
  for (unsigned f = 60; f < 64; ++f) rq.queue.push(f, reading(2, "A123BC77"));
  rq.start();

  ASSERT_TRUE(scene.waitProbes(2, 2));
  EXPECT_EQ(rq.queue.unfinished().size(), 2u);  // zone 1 is done but waits for zone 2

  scene.setPending(2, 200, 5);
  ASSERT_TRUE(rec.waitFor(1));
  rq.stop();
  auto groups = rec.groups();
  ASSERT_EQ(groups.size(), 1u);
  ASSERT_EQ(groups[0].tracks.size(), 2u);
  EXPECT_EQ(groups[0].track(1).points.size(), 4u);
  EXPECT_EQ(groups[0].track(2).numA(), 60u);
}

TEST(ResQueueTest, TrackIsFinishedOnlyPastTheFrameGapOfItsCameraKind) {
  struct Case {
    std::uint32_t type, waits, finishes;
  };
  // Grey and MJPEG frames: 60 frames; H.264 I, P, B frames: 5000.
  for (const Case c : {Case{5, 160, 161}, Case{4, 160, 161}, Case{1, 5100, 5101}, Case{2, 5100, 5101},
                       Case{3, 5100, 5101}}) {
    SCOPED_TRACE("frame type " + std::to_string(c.type));
    FakeScene scene(FakeScene::ZoneCameras{{1, 1}});
    scene.setPending(1, c.waits, c.type);
    RunningQueue rq(scene);
    Recorder rec;
    rq.queue.addProcModule("rec", rec.module());
    rq.queue.push(100, reading(1, "A123BC77"));
    rq.start();
    ASSERT_TRUE(scene.waitProbes(1, 2));
    EXPECT_EQ(rq.queue.unfinished().size(), 1u);
    scene.setPending(1, c.finishes, c.type);
    ASSERT_TRUE(rec.waitFor(1));
  }
}

TEST(ResQueueTest, TrackOfAZoneWithoutCameraIsFinishedAtTheNextBuild) {
  FakeScene scene(FakeScene::ZoneCameras{});
  RunningQueue rq(scene);
  Recorder rec;
  rq.queue.addProcModule("rec", rec.module());
  rq.start();
  rq.queue.push(7, reading(kNoCameraZone, "A123BC77"));
  ASSERT_TRUE(rec.waitFor(1));
  EXPECT_EQ(rec.groups()[0].tracks[0].camid, 0u);
}

TEST(ResQueueTest, ReadingWithoutMatchingTextJoinsOnlyANearEnoughTrack) {
  FakeScene scene(FakeScene::ZoneCameras{{1, 1}, {2, 1}, {3, 1}});
  scene.setPending(1, 100, 5);
  RunningQueue rq(scene);
  // A single-point track moves 150 pixels a frame by default: 299 is near
  // enough, 0 and 300 are not.
  const std::pair<unsigned, int> cases[] = {{1, 299}, {2, 0}, {3, 300}};
  for (const auto& [zone, dx] : cases) {
    rq.queue.push(50, reading(zone, "A123BC77", 100, 100));
    rq.queue.push(51, reading(zone, "X999YZ55", 100 + dx, 100));
  }
  rq.start();
  ASSERT_TRUE(scene.waitProbes(1, 1));  // every point was joined before the first build

  const auto tracks = rq.queue.unfinished();
  EXPECT_EQ(tracksOfZone(tracks, 1), 1u);
  EXPECT_EQ(tracksOfZone(tracks, 2), 2u);
  EXPECT_EQ(tracksOfZone(tracks, 3), 2u);
  for (std::size_t i = 1; i < tracks.size(); ++i) EXPECT_GT(tracks[i].id, tracks[i - 1].id);
}

// Plates of one fleet differ by a character or two; each vehicle must keep
// its own track, or the one with fewer readings never gets a speed.
TEST(ResQueueTest, SimilarPlateInTheNextLaneGetsATrackOfItsOwn) {
  FakeScene scene(FakeScene::ZoneCameras{{1, 1}});
  scene.setPending(1, 128, 5);
  RunningQueue rq(scene);
  for (int i = 0; i < 21; ++i)  // down the left lane, 25 pixels a frame
    rq.queue.push(50 + i, reading(1, i == 10 ? "A1?0AK77" : "A100AK77", 213, 100 + 25 * i));
  for (int i = 0; i < 19; ++i)  // 40 frames later in the middle lane
    rq.queue.push(110 + i, reading(1, "B107AK77", 640, 50 + 25 * i));
  rq.start();
  ASSERT_TRUE(scene.waitProbes(1, 1));

  const auto tracks = rq.queue.unfinished();
  ASSERT_EQ(tracks.size(), 2u);
  EXPECT_EQ(tracks[0].text(), "A100AK77");
  EXPECT_EQ(tracks[0].points.size(), 21u);
  EXPECT_EQ(tracks[0].plateCount(), 20u);
  EXPECT_EQ(tracks[1].text(), "B107AK77");
  EXPECT_EQ(tracks[1].points.size(), 19u);
}

// One plate, "A100AK77", down the left lane from (213, 100), `speed` pixels a
// frame, read every `stride` frames; where it asked, "A101AK77" side by side
// in the next lane (427 pixels right), its track made first. Then one more
// reading `gap` frames after the plate's last, (dx, dy) from its last point.
TEST(ResQueueTest, SimilarTextJoinsOnlyWhereTheTracksVehicleCouldBe) {
  struct Case {
    const char* what;
    int readings, speed, stride;
    bool neighbour;
    const char* text;
    int gap, dx, dy;
    bool joins;  // the plate's own track, else a track of its own
  };
  // 49 pixels a frame: 120 km/h on a picture of 37 pixels a metre at 25 fps.
  const Case cases[] = {
      {"misread within one frame's travel", 6, 20, 1, true, "A1?0AK77", 1, 0, 24, true},
      {"misread after 5 skipped frames at 120 km/h", 6, 49, 1, true, "A1?0AK77", 6, 0, 294, true},
      {"misread of a plate read every 5th frame", 3, 49, 5, true, "A1?0AK77", 5, 0, 245, true},
      {"farther than the motion over a short gap", 6, 49, 1, false, "A1?0AK77", 2, 0, 200, false},
      {"long gap, within the longest stride's reach", 6, 49, 1, false, "A1?0AK77", 20, 0, 380, true},
      {"long gap, beyond the longest stride's reach", 6, 49, 1, false, "A1?0AK77", 20, 0, 420, false},
      {"consecutive number side by side", 6, 20, 1, false, "A101AK77", 0, 427, 0, false},
      {"the same text anywhere", 6, 20, 1, false, "A100AK77", 40, 427, -100, true},
      {"one-point track, similar text 800 pixels away", 1, 0, 1, false, "A101AK77", 1, 800, 0, false},
  };
  std::map<unsigned, unsigned> zoneCams;
  for (unsigned zone = 1; zone <= std::size(cases); ++zone) zoneCams[zone] = 1;
  FakeScene scene(zoneCams);
  constexpr std::uint32_t kFirst = 950;
  scene.setPending(1, 1000, 5);  // no track is finished at the first build
  RunningQueue rq(scene);
  unsigned zone = 0;
  for (const Case& c : cases) {
    ++zone;
    std::uint32_t frame = kFirst;
    int y = 100;
    for (int i = 0; i < c.readings; ++i, frame += c.stride, y += c.speed * c.stride) {
      if (c.neighbour) rq.queue.push(frame, reading(zone, "A101AK77", 640, y));
      rq.queue.push(frame, reading(zone, "A100AK77", 213, y));
    }
    const std::uint32_t last = frame - c.stride;
    rq.queue.push(last + c.gap, reading(zone, c.text, 213 + c.dx, y - c.speed * c.stride + c.dy));
  }
  rq.start();
  ASSERT_TRUE(scene.waitProbes(1, 1));

  const auto tracks = rq.queue.unfinished();
  zone = 0;
  for (const Case& c : cases) {
    ++zone;
    SCOPED_TRACE(c.what);
    std::map<std::string, std::size_t> points;  // per track text
    for (const auto& t : tracks)
      if (t.zone == zone) points[t.text()] += t.points.size();
    const std::size_t own = static_cast<std::size_t>(c.readings) + (c.joins ? 1 : 0);
    EXPECT_EQ(points["A100AK77"], own);
    EXPECT_EQ(tracksOfZone(tracks, zone), (c.neighbour ? 2u : 1u) + (c.joins ? 0u : 1u));
    if (c.neighbour) {
      EXPECT_EQ(points["A101AK77"], static_cast<std::size_t>(c.readings));
    }
  }
}

TEST(ResQueueTest, HeldPlateSkipsTheModuleUntilItStaysAwayLongerThanTheInterval) {
  FakeScene scene(FakeScene::ZoneCameras{});
  RunningQueue rq(scene);
  std::atomic<int> held{0};
  auto& hold = rq.queue.addProcModule("hold", [&](MultiTrack&) {
    ++held;
    return 180;
  });
  hold.interval = 1;
  Recorder every;
  rq.queue.addProcModule("every", every.module(180)).interval = 0;
  rq.start();

  auto group = [&](const std::string& plate, std::uint32_t now, std::size_t n) {
    rq.clock = now;
    rq.queue.push(1, reading(kNoCameraZone, plate));
    return every.waitFor(n);
  };
  ASSERT_TRUE(group("A123BC77", 1000, 1));
  EXPECT_EQ(held, 1);
  ASSERT_TRUE(group("A123BC77", 1001, 2));  // within the interval: held, hold renewed to 1002
  EXPECT_EQ(held, 1);
  ASSERT_TRUE(group("A123BC77", 1002, 3));  // within the renewed hold
  EXPECT_EQ(held, 1);
  ASSERT_TRUE(group("X987YZ99", 1002, 4));  // another plate is not held
  EXPECT_EQ(held, 2);
  ASSERT_TRUE(group("A123BC77", 1004, 5));  // away longer than the interval
  EXPECT_EQ(held, 3);
}

TEST(ResQueueTest, ThrowingModuleIsReportedAndItsWorkerGoesOn) {
  FakeScene scene(FakeScene::ZoneCameras{});
  RunningQueue rq(scene);
  rq.queue.addProcModule("boom", [](MultiTrack&) -> int { throw std::runtime_error("boom"); });
  rq.queue.addProcModule("odd", [](MultiTrack&) -> int { throw 42; });
  Recorder after;
  rq.queue.addProcModule("after", after.module());
  rq.start();

  testing::internal::CaptureStdout();
  const char* plates[] = {"A000BC77", "A111BC77", "A222BC77", "A333BC77",
                          "A444BC77", "A555BC77", "A666BC77", "A777BC77"};
  for (const char* p : plates) rq.queue.push(1, reading(kNoCameraZone, p));
  const bool all = after.waitFor(8);
  const std::string out = testing::internal::GetCapturedStdout();
  ASSERT_TRUE(all);
  EXPECT_NE(out.find("[ERR] processing module \"boom\" failed on A000BC77: boom\n"), std::string::npos);
  EXPECT_NE(out.find("[ERR] processing module \"odd\" failed on A777BC77\n"), std::string::npos);
  rq.stop();
  EXPECT_NE(rq.stopOutput.find("worker N 4 to be joined"), std::string::npos);
}

TEST(ResQueueTest, ModulesRunInPriorityOrderEvenWhenChangedAfterRegistering) {
  FakeScene scene(FakeScene::ZoneCameras{});
  RunningQueue rq(scene);
  std::mutex m;
  std::condition_variable cv;
  std::vector<std::string> order;
  auto named = [&](std::string name) {
    return [&, name](MultiTrack&) {
      std::lock_guard lock(m);
      order.push_back(name);
      cv.notify_all();
      return 0;
    };
  };
  auto& last = rq.queue.addProcModule("carflow", named("carflow"));
  last.prio = INT_MAX;
  last.interval = 30;
  rq.queue.addProcModule("a", named("a"));
  rq.queue.addProcModule("b", named("b"));
  auto& numbered = rq.queue.addProcModule(5, named("noname,5"));
  EXPECT_EQ(numbered.name, "noname,5");
  EXPECT_EQ(numbered.interval, 90u);
  EXPECT_EQ(numbered.id, 3u);
  rq.queue.addProcModule("late", named("late")).prio = -1;  // no registration follows
  rq.start();
  rq.queue.push(1, reading(kNoCameraZone, "A123BC77"));
  std::unique_lock lock(m);
  ASSERT_TRUE(cv.wait_for(lock, kDeadline, [&] { return order.size() >= 5; }));
  EXPECT_EQ(order, (std::vector<std::string>{"late", "a", "b", "noname,5", "carflow"}));
}

TEST(ResQueueTest, StopJoinsAllFourWorkersOnce) {
  FakeScene scene(FakeScene::ZoneCameras{});
  ResQueue q(scene.access, [] { return 0u; });
  testing::internal::CaptureStdout();
  q.stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4) << out;
  EXPECT_NE(out.find("worker N 4 to be joined\n"), std::string::npos) << out;
  testing::internal::CaptureStdout();
  q.stop();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(ResQueueTest, HistoryBeyondItsLimitDropsTheOldest2500) {
  std::deque<Track> history;
  for (std::uint32_t id = 1; id <= ResQueue::kHistoryMax; ++id) ResQueue::appendHistory(history, Track(id, 1, 1));
  EXPECT_EQ(history.size(), 40000u);
  ResQueue::appendHistory(history, Track(40001, 1, 1));
  EXPECT_EQ(history.size(), 37501u);
  EXPECT_EQ(history.front().id, 2501u);
  EXPECT_EQ(history.back().id, 40001u);
}

TEST(EventLogTest, HoldExpiresAndExpiredEntriesAreDroppedLater) {
  EventLog log;
  log.emplace("A123BC77", 1090, 1, 1000);
  log.emplace("A123BC77", 1030, 2, 1000);
  EXPECT_EQ(log.slice("A123BC77", 1000), (std::vector<std::uint32_t>{1, 2}));
  EXPECT_EQ(log.slice("A123BC77", 1090), (std::vector<std::uint32_t>{1}));
  EXPECT_TRUE(log.slice("X987YZ99", 1000).empty());
  log.emplace("A123BC77", 1200, 1, 1091);  // renewal: no clean-up
  EXPECT_EQ(log.size(), 2u);
  EXPECT_EQ(log.slice("A123BC77", 1100), (std::vector<std::uint32_t>{1}));
  log.emplace("X987YZ99", 1500, 1, 1100);  // a new entry after an expired one was met
  EXPECT_EQ(log.size(), 2u);
}

TEST(ResQueueTest, APointThatCannotBeJoinedIsDroppedAndTheQueueGoesOn) {
  FakeScene scene(FakeScene::ZoneCameras{{1, 1}});
  scene.access.zoneCamera = [calls = 0](unsigned) mutable -> unsigned {
    if (calls++ == 0) throw 42;  // not even a std::exception
    return 1;
  };
  scene.setPending(1, 100, 5);
  RunningQueue rq(scene);
  rq.queue.push(50, reading(1, "A123BC77"));
  rq.queue.push(50, reading(1, "X987YZ99", 900));
  rq.start();
  ASSERT_TRUE(scene.waitProbes(1, 1));  // a build pass ran after both points
  const auto tracks = rq.queue.unfinished();
  ASSERT_EQ(tracks.size(), 1u);
  EXPECT_EQ(tracks[0].text(), "X987YZ99");
}

}  // namespace
}  // namespace kovira
