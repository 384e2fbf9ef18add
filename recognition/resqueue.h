// The result queue: joins plate readings into tracks, gathers the finished
// tracks of one plate text into a plate group and runs the registered
// processing modules on each group on four worker threads ("worker: 1" to
// "worker: 4"), holding a plate back from a module for its repeat interval.
//
// Lifetime: the global `resproc` is built at static initialisation and
// starts its workers then; modules register during start-up; main runs
// operator() on the queue thread ("kovria: queue") and calls stop() at
// shut-down. The destructor stops and joins the workers too, so leaving main
// early never aborts on running threads.
//
// Threading: push() from the recognition thread; joining and building on the
// queue thread; modules on the workers; find()/lists/checkTrackAlone() from
// page threads. Lock order: points_mutex_, then tracks_mutex_, then
// ready_mutex_. The handler list is changed only during start-up, before any
// group is ready.
#pragma once

#include "platform/cnn/cnn_result.h"
#include "recognition/eventlog.h"
#include "recognition/multitrack.h"
#include "recognition/scene_access.h"
#include "recognition/track.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <list>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kovira {

class ResQueue {
 public:
  static constexpr int kWorkers = 4;
  static constexpr std::size_t kHistoryMax = 40000;
  static constexpr std::size_t kHistoryTrim = 2500;
  static constexpr std::size_t kAloneLookup = 1000;  // tracks looked at by checkTrackAlone
  static constexpr std::uint32_t kDefaultInterval = 90;

  using module_t = std::function<int(MultiTrack&)>;

  // One registered processing module.
  struct handler_t {
    module_t fn;
    std::string name;
    int prio = 0;                            // run order, ascending
    std::uint32_t interval = kDefaultInterval;  // seconds; 0: no hold
    std::uint32_t id = 0;                    // registration number
  };

  // Seconds since the epoch; the event log's clock.
  using seconds_fn = std::function<std::uint32_t()>;

  // The process-wide queue: scene from sceneAccess(), the system clock.
  ResQueue();
  // A queue over its own scene and clock (tests). `scene` must outlive it.
  ResQueue(const SceneAccess& scene, seconds_fn clock);
  ~ResQueue();
  ResQueue(const ResQueue&) = delete;
  ResQueue& operator=(const ResQueue&) = delete;

  // Queues one reading of the given frame. Recognition thread.
  void push(unsigned frame, const CNN_RESULT& r);
  std::size_t queueSize() const;

  // Queue thread body ("kovria: queue"); returns once stopped.
  void operator()();
  // Sets the stop flag and joins every worker, one console line each.
  void stop();

  static handler_t handlerOptDef();
  // Registration (start-up only). The returned handler may be changed right
  // away (prio, interval); the list is sorted again when the queue thread
  // starts, so a priority set after the last registration still counts.
  handler_t& addProcModule(std::string name, const module_t& fn, handler_t opt);
  handler_t& addProcModule(std::string name, const module_t& fn);
  handler_t& addProcModule(int n, const module_t& fn);

  // Copies of the two track lists, oldest first (track pages).
  std::vector<Track> unfinished() const;
  std::vector<Track> history() const;
  // Copies of no more than the `newest` latest tracks of each list, oldest
  // first: what a page shows, without holding the track mutex (which the
  // queue thread needs for every reading) over the whole history.
  std::vector<Track> unfinished(std::size_t newest) const;
  std::vector<Track> history(std::size_t newest) const;
  // The track with that id, unfinished or in the history; Track() when none.
  Track find(int id) const;
  // Tracks of the zone whose frame span contains the frame, among the newest
  // kAloneLookup tracks (unfinished first, then history).
  int checkTrackAlone(int zone, unsigned frame) const;

  // Appends finished tracks to the history as a long run leaves it, without
  // running the modules (benches and tests of the pages over a full history).
  void seedHistory(const std::vector<Track>& tracks);

  // Appends to a history list and drops the kHistoryTrim oldest entries when
  // it grows beyond kHistoryMax.
  static void appendHistory(std::deque<Track>& history, const Track& t);

 private:
  void startWorkers();
  void worker(int number);
  MultiTrack obtainMT();
  void procTrack(MultiTrack& group);
  void joinPoint(const TrackPoint& p);  // called with points_mutex_ and tracks_mutex_ held
  Track* findTrack(const TrackPoint& p);  // called with tracks_mutex_ held
  void buildTracks();
  bool procPlate(const std::string& plate);
  bool isTrackFinished(const Track& t) const;
  void sortHandlers();
  void shutdown(bool announce);

  const SceneAccess& scene_;
  seconds_fn clock_;

  std::vector<std::thread> workers;
  mutable std::mutex points_mutex_;
  mutable std::mutex tracks_mutex_;
  mutable std::mutex ready_mutex_;
  std::condition_variable ready_cv_;  // a group is ready, or stop
  std::mutex tick_mutex_;
  std::condition_variable tick_cv_;   // stop, for the queue thread's idle wait
  std::deque<MultiTrack> ready;       // guarded by ready_mutex_
  std::deque<TrackPoint> points;      // guarded by points_mutex_
  std::atomic<bool> stopped{false};
  std::list<handler_t> handlers;      // start-up only; stable node addresses
  std::uint32_t nextHandlerId = 0;
  // Written only by the queue thread, always under tracks_mutex_; the queue
  // thread also reads it without the mutex.
  std::list<Track> unfinished_;
  std::deque<Track> history_;         // guarded by tracks_mutex_
  EventLog eventlog;
};

}  // namespace kovira

extern kovira::ResQueue resproc;
