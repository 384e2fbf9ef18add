#include "recognition/resqueue.h"

#include "core/clock.h"
#include "core/console.h"
#include "core/threads.h"
#include "core/working.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <iterator>
#include <optional>
#include <system_error>

kovira::ResQueue resproc;

namespace kovira {

namespace {

constexpr auto kWorkerIdle = std::chrono::milliseconds(250);
constexpr auto kQueueTick = std::chrono::milliseconds(100);
constexpr std::int64_t kNoNearest = 10000;  // start value of the nearest-track search
constexpr int kJoinTolerance = 149;          // |averageJoinDist - d| allowed for a join by distance
// A similar but different text is another plate as often as it is a misread
// (a fleet registered together, two cars side by side), so it joins a track
// only where that track's vehicle could be. The margin covers the jitter of
// the tracking point and the error of a speed taken from a few readings.
constexpr double kSimilarMargin = 30;
// The recognition stage reads every 5th frame at the most under load; one
// such stride is the farthest a track's own readings lie apart.
constexpr double kLongestStride = 5;
constexpr std::uint32_t kH264Gap = 5000;     // frames past the track before an H.264 track is finished
constexpr std::uint32_t kRawGap = 60;        // the same for grey and other frames

// Track numbers are process-wide: pages and modules name tracks by id.
std::atomic<std::uint32_t> nextTrackId{1};

bool isH264(std::uint32_t type) { return type >= 1 && type <= 3; }

void reportFailure(const std::string& module, const std::string& plate, const char* what) {
  std::string line = "[ERR] processing module \"" + module + "\" failed on " + plate;
  if (what) line += std::string(": ") + what;
  consoleLine(line);
}

std::uint32_t systemSeconds() { return static_cast<std::uint32_t>(::now()); }

// How far from a track's last point a reading of a similar, not identical,
// text may lie `gap` frames later and still be that track's vehicle: its
// motion over the gap plus the margin, and never farther than a join by
// distance reaches across the longest stride. A track of one point has no
// motion yet: as far as a join by distance reaches (1 to 299 pixels), and
// on that very frame only the margin.
double similarTextReach(const Track& t, std::int64_t gap) {
  const std::optional<double> motion = t.motionPerFrame();
  if (!motion) return gap == 0 ? kSimilarMargin : Track::kJoinDist + kJoinTolerance;
  return std::min(*motion * static_cast<double>(gap) + kSimilarMargin, *motion * kLongestStride + kJoinTolerance);
}

}  // namespace

ResQueue::ResQueue() : ResQueue(sceneAccess(), systemSeconds) {}

ResQueue::ResQueue(const SceneAccess& scene, seconds_fn clock) : scene_(scene), clock_(std::move(clock)) {
  startWorkers();
}

void ResQueue::startWorkers() {
  for (int i = 1; i <= kWorkers; ++i) {
    try {
      workers.emplace_back(&ResQueue::worker, this, i);
    } catch (const std::system_error& e) {
      std::cout << "[ERR] result queue worker " << i << " not started: " << e.what() << std::endl;
    }
  }
}

// Leaving main early (help, a bad configuration) must not abort on joinable
// threads; the workers are joined quietly.
ResQueue::~ResQueue() { shutdown(false); }

void ResQueue::stop() { shutdown(true); }

void ResQueue::shutdown(bool announce) {
  stopped = true;
  // Taking each mutex once orders the flag before any waiter's next check.
  { std::lock_guard lock(ready_mutex_); }
  ready_cv_.notify_all();
  { std::lock_guard lock(tick_mutex_); }
  tick_cv_.notify_all();
  int number = 0;
  for (auto& w : workers) {
    ++number;
    if (!w.joinable()) continue;
    if (announce)
      std::cout << "[DBG] ResQueue is waiting for worker N " << number << " to be joined" << std::endl;
    w.join();
  }
}

void ResQueue::push(unsigned frame, const CNN_RESULT& r) {
  std::lock_guard lock(points_mutex_);
  points.emplace_back(r, frame);
}

std::size_t ResQueue::queueSize() const {
  std::lock_guard lock(points_mutex_);
  return points.size();
}

// ---- queue thread --------------------------------------------------------

void ResQueue::operator()() {
  thread_name("kovria: queue");
  // Modules may change their priority after registering (carflow runs last
  // that way); no group is ready before this point, so sorting is safe here.
  sortHandlers();
  auto tick = [this] {
    std::unique_lock lock(tick_mutex_);
    tick_cv_.wait_for(lock, kQueueTick, [this] { return stopped.load(); });
  };
  while (!stopped && working >= 1) {
    bool idle = false;
    try {
      idle = queueSize() < 1;
      if (idle) {
        buildTracks();
        tick();
        continue;
      }
      std::lock_guard lock(points_mutex_);
      while (!points.empty()) {
        // Taken off first: a point that cannot be joined is not tried again.
        const TrackPoint p = points.front();
        points.pop_front();
        joinPoint(p);
      }
    } catch (const std::exception& e) {
      std::cout << "[ERR] result queue: " << e.what() << std::endl;
      if (idle) tick();
    } catch (...) {
      std::cout << "[ERR] result queue: unknown failure" << std::endl;
      if (idle) tick();
    }
  }
}

void ResQueue::joinPoint(const TrackPoint& p) {
  if (p.text[0] == '\0') return;
  {
    std::lock_guard lock(tracks_mutex_);
    Track* t = findTrack(p);
    if (t && t->id > 0 && t->zone > 0 && !t->points.empty()) {
      t->join(p);
      return;
    }
  }
  // Only this thread adds tracks, so nothing can appear between the lookup
  // above and the append below; the zone registry is asked without our lock.
  Track fresh(nextTrackId.load(), p.zoneid, scene_.cameraOfZone(p.zoneid));
  fresh.join(p);
  std::lock_guard lock(tracks_mutex_);
  unfinished_.push_back(std::move(fresh));
  ++nextTrackId;
}

// A reading joins, in this order: a track of its zone with the same text;
// the nearest track with a similar text whose vehicle could be where the
// reading is; the nearest track of any text when the distance is within
// kJoinTolerance of that track's movement per frame. None: a new track.
Track* ResQueue::findTrack(const TrackPoint& p) {
  const std::string plate = p.plate();
  Track* similar = nullptr;
  std::int64_t similarDist = 0;
  Track* nearest = nullptr;
  std::int64_t best = kNoNearest;
  for (auto& t : unfinished_) {
    if (t.zone != p.zoneid || t.points.empty()) continue;
    const std::string text = t.text();
    if (text == plate) return &t;  // the same text joins wherever it is
    const TrackPoint& last = t.points.back();
    const std::int64_t dx = p.ox - last.ox;
    const std::int64_t dy = p.oy - last.oy;
    const std::int64_t d = std::llround(std::sqrt(static_cast<double>(dx * dx + dy * dy)));
    // Frame numbers count the frames the recognition stage skipped too.
    const std::int64_t gap = std::llabs(static_cast<std::int64_t>(p.num) - last.num);
    if (comparePlateText(text, plate) && static_cast<double>(d) <= similarTextReach(t, gap) &&
        (!similar || d < similarDist)) {
      similar = &t;
      similarDist = d;
    }
    if (d < best) {
      best = d;
      nearest = &t;
    }
  }
  if (similar) return similar;
  if (nearest && std::llabs(nearest->averageJoinDist() - best) <= kJoinTolerance) return nearest;
  return nullptr;
}

void ResQueue::buildTracks() {
  std::vector<std::string> plates;
  {
    std::lock_guard lock(tracks_mutex_);
    for (const auto& t : unfinished_) plates.push_back(t.text());
  }
  std::sort(plates.begin(), plates.end());
  plates.erase(std::unique(plates.begin(), plates.end()), plates.end());
  for (const auto& plate : plates) procPlate(plate);
}

bool ResQueue::procPlate(const std::string& plate) {
  // Read without the track mutex: only this thread changes the list.
  std::vector<const Track*> mine;
  for (const auto& t : unfinished_) {
    if (t.text() != plate) continue;
    if (!isTrackFinished(t)) return false;  // the plate waits for all its tracks
    mine.push_back(&t);
  }
  MultiTrack group;
  for (const Track* t : mine) group.addTrack(*t);
  for (auto& t : group.tracks) t.calc();
  {
    std::lock_guard lock(tracks_mutex_);
    if (!group.tracks.empty()) {
      for (const auto& t : group.tracks) appendHistory(history_, t);
      std::lock_guard ready_lock(ready_mutex_);
      ready.push_back(std::move(group));
    }
    unfinished_.remove_if([&](const Track& t) { return t.text() == plate; });
  }
  ready_cv_.notify_one();
  return true;
}

bool ResQueue::isTrackFinished(const Track& t) const {
  if (t.points.empty()) return false;
  if (t.camid == 0) return true;
  const auto pending = scene_.pendingFrame(t.camid);
  if (!pending) return true;  // empty store, or the decode stage took every frame
  const std::uint32_t gap = pending->num - t.numB();
  return gap > (isH264(pending->type) ? kH264Gap : kRawGap);
}

void ResQueue::appendHistory(std::deque<Track>& history, const Track& t) {
  history.push_back(t);
  if (history.size() > kHistoryMax)
    history.erase(history.begin(), history.begin() + static_cast<std::ptrdiff_t>(kHistoryTrim));
}

// ---- workers -------------------------------------------------------------

void ResQueue::worker(int number) {
  thread_name("worker: " + std::to_string(number));
  while (!stopped && working >= 1) {
    MultiTrack group = obtainMT();
    if (group.tracks.empty()) continue;
    procTrack(group);
  }
}

MultiTrack ResQueue::obtainMT() {
  std::unique_lock lock(ready_mutex_);
  ready_cv_.wait_for(lock, kWorkerIdle, [this] { return stopped.load() || !ready.empty(); });
  if (ready.empty()) return {};
  MultiTrack group = std::move(ready.front());
  ready.pop_front();
  return group;
}

void ResQueue::procTrack(MultiTrack& group) {
  const std::uint32_t now = clock_();
  const std::string plate = group.text();
  const std::vector<std::uint32_t> held = eventlog.slice(plate, now);
  for (const auto& h : handlers) {
    const std::uint32_t expiry = now + h.interval;
    if (std::find(held.begin(), held.end(), h.id) != held.end()) {
      eventlog.emplace(plate, expiry, h.id, now);  // the plate came back: renew the hold
      continue;
    }
    int result = 0;
    try {
      if (h.fn) result = h.fn(group);
    } catch (const std::exception& e) {
      reportFailure(h.name, plate, e.what());
      continue;
    } catch (...) {
      reportFailure(h.name, plate, nullptr);
      continue;
    }
    if (h.interval != 0 && result > 0) eventlog.emplace(plate, expiry, h.id, now);
  }
}

// ---- registration --------------------------------------------------------

ResQueue::handler_t ResQueue::handlerOptDef() { return handler_t{}; }

void ResQueue::sortHandlers() {
  handlers.sort([](const handler_t& a, const handler_t& b) {
    return a.prio != b.prio ? a.prio < b.prio : a.id < b.id;
  });
}

ResQueue::handler_t& ResQueue::addProcModule(std::string name, const module_t& fn, handler_t opt) {
  opt.name = std::move(name);
  opt.fn = fn;
  opt.id = nextHandlerId++;
  handlers.push_back(std::move(opt));
  handler_t& stored = handlers.back();  // list nodes keep their address through sort()
  sortHandlers();
  return stored;
}

ResQueue::handler_t& ResQueue::addProcModule(std::string name, const module_t& fn) {
  return addProcModule(std::move(name), fn, handlerOptDef());
}

ResQueue::handler_t& ResQueue::addProcModule(int n, const module_t& fn) {
  return addProcModule("noname," + std::to_string(n), fn, handlerOptDef());
}

// ---- track pages ---------------------------------------------------------

std::vector<Track> ResQueue::unfinished() const {
  std::lock_guard lock(tracks_mutex_);
  return {unfinished_.begin(), unfinished_.end()};
}

std::vector<Track> ResQueue::history() const {
  std::lock_guard lock(tracks_mutex_);
  return {history_.begin(), history_.end()};
}

namespace {
template <typename List>
std::vector<Track> newestOf(const List& list, std::size_t newest) {
  const std::size_t skip = list.size() > newest ? list.size() - newest : 0;
  return {std::next(list.begin(), static_cast<std::ptrdiff_t>(skip)), list.end()};
}
}  // namespace

std::vector<Track> ResQueue::unfinished(std::size_t newest) const {
  std::lock_guard lock(tracks_mutex_);
  return newestOf(unfinished_, newest);
}

std::vector<Track> ResQueue::history(std::size_t newest) const {
  std::lock_guard lock(tracks_mutex_);
  return newestOf(history_, newest);
}

void ResQueue::seedHistory(const std::vector<Track>& tracks) {
  std::lock_guard lock(tracks_mutex_);
  for (const Track& t : tracks) appendHistory(history_, t);
}

Track ResQueue::find(int id) const {
  if (id < 1) return {};
  const auto wanted = static_cast<std::uint32_t>(id);
  std::lock_guard lock(tracks_mutex_);
  for (const auto& t : unfinished_)
    if (t.id == wanted) return t;
  for (const auto& t : history_)
    if (t.id == wanted) return t;
  return {};
}

int ResQueue::checkTrackAlone(int zone, unsigned frame) const {
  std::lock_guard lock(tracks_mutex_);
  std::size_t looked = 0;
  int count = 0;
  auto look = [&](const Track& t) {
    ++looked;
    if (static_cast<std::int64_t>(t.zone) == zone && t.contains(frame)) ++count;
    return looked < kAloneLookup;
  };
  for (auto it = unfinished_.rbegin(); it != unfinished_.rend(); ++it)
    if (!look(*it)) return count;
  for (auto it = history_.rbegin(); it != history_.rend(); ++it)
    if (!look(*it)) return count;
  return count;
}

}  // namespace kovira
