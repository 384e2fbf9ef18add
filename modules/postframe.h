// Feedback frames "postframe": an operator arms the module from its page
// with a count and selectors; each finished vehicle that fits them fills
// the one upload slot with a tar of its best frame ("frame.png", or
// "frame.jpg" when scaled down) and "kovira.json", and the uploader thread
// posts the slot to the feedback server.
//
// Threading: the selection runs on the result-queue workers, the pages on
// HTTP threads, the telemetry task on the scheduler, the uploader on its own
// detached thread ("postframe"). Settings and slot share one mutex, so a
// check and the fill that follows it are one step. The object is never
// destroyed: its thread outlives main and ends when `working` drops.
#pragma once

#include "modules/dispatch.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

class HttpRequest;
class HttpResponse;

namespace postframe {

inline constexpr int kJpegQuality = 80;
inline constexpr std::uint32_t kLongPauseAfter = 10;  // failures before the 600-s pause

// The selectors an operator sets on the page.
struct FeedbackSettings {
  std::string target;  // upload URL; empty: nothing is prepared
  std::uint32_t interval = 60;
  std::uint32_t cnt = 0;  // frames still to send; 0 disarms
  float min = 0;
  float max = 30.0f;
  std::int32_t minsize = 0;
  std::int32_t mask = 0;       // 0 both, 1 plate matches a mask, 2 it does not
  std::int32_t cars = 0;       // 0 any, 1 one car, 2 two, 3 two or more
  std::int32_t scale = 1;
  std::int32_t timeofday = 0;  // 0 all, 1 day, 2 night, 3 twilight
  std::string tag;
};

// Time-of-day class of a frame by its exposure and gain: 1 day, 2 night,
// 3 twilight, 0 none.
int timeOfDay(std::uint32_t exposure, std::uint32_t gain);
// The car-count selector against the number of tracks in the frame.
bool carsMatch(std::int32_t cars, int tracks);

class HttpFeedbackFrame {
 public:
  using Post = std::function<int(const std::string& url, const std::string& bytes)>;

  using Clock = std::function<std::uint64_t()>;  // seconds since the epoch

  HttpFeedbackFrame();
  explicit HttpFeedbackFrame(Post post, Clock clock = {});

  FeedbackSettings settings() const;
  void update(const std::function<void(FeedbackSettings&)>& edit);

  // Selection and packaging for one track (see the module's page for the
  // selectors); true when the slot was filled.
  bool processtrack(kovira::Track& track);
  // One upload attempt of a pending archive; false when none was pending.
  // `pause` receives the seconds to wait after a failure.
  bool uploadOnce(std::uint32_t& pause);
  void operator()();  // the uploader loop

  bool busy() const;
  // A free slot, the interval passed since the last upload, frames to send.
  bool ready() const;
  std::size_t pendingSize() const;
  // The "learning" telemetry value.
  int learning() const;

 private:
  Post post_;
  Clock clock_;
  mutable std::mutex mutex_;
  FeedbackSettings settings_;      // guarded by mutex_
  std::uint32_t failures_ = 0;     // guarded by mutex_
  std::uint64_t lastSent_ = 0;     // guarded by mutex_
  std::string pending_;            // guarded by mutex_; the archive to send
  bool busy_ = false;              // guarded by mutex_
};

HttpFeedbackFrame& httpframe();

int postframehook(kovira::MultiTrack& group);
int http_postframe(const HttpRequest& req, HttpResponse& res);
int http_postframe_update(const HttpRequest& req, HttpResponse& res);
void postframeloop(unsigned int elapsedMs);

}  // namespace postframe
