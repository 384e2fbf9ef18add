// The frame pages on loopback beside the unit's whole road (bench/road_rig.h)
// on the demo scene.
//
// (a) After the road's pass, one client requests "/debug/frame.jpg", then
//     "/debug/camN/frame-last.png", back to back for SECONDS each. Anchor:
//     cv::imencode of the same pictures (the frame scaled to 800 pixels as
//     JPEG quality 80, the full frame as PNG) timed alone in the same run.
//     Aim: a request costs at most 1.3 times its encoding.
// (b) The road's real-time factor without a client and with one client
//     polling both pages 5 times a second: one pass per process, so each
//     is a child process, alternated kRounds times; medians compared.
//     Aim: at most 10% lower.
// (c) The same with one client polling the track list "/debug/tracks/" 5
//     times a second. Every pass of (b) and (c), and (a), starts with the
//     history a long run leaves (kSeededTracks tracks of kSeededPoints
//     points), so the page has as much as it ever can to look at; (a) also
//     prints its request rate. Aim: at most 5% lower.
//
// Usage: pages_bench [SCENE.json [SECONDS]]
//        pages_bench --pass|--poll|--poll-tracks SCENE.json   (one pass of (b) or (c))
#include "bench/road_rig.h"
#include "capture/cam.h"
#include "capture/camera_pages.h"
#include "capture/framecopy.h"
#include "evidence/imgframe.h"
#include "http/httpclient.h"
#include "http/server.h"
#include "recognition/resqueue.h"
#include "recognition/track.h"
#include "recognition/track_pages.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

using roadrig::Clock;
using roadrig::seconds;

// Runs the call back to back for the time; calls per second.
template <typename Call>
double rate(double forSeconds, Call call) {
  const auto start = Clock::now();
  long n = 0;
  while (seconds(Clock::now() - start) < forSeconds) {
    if (!call()) return 0;
    ++n;
  }
  return n / seconds(Clock::now() - start);
}

// One client fetching both pages 5 times a second until stopped; owns its
// thread.
class Poller {
 public:
  explicit Poller(std::vector<std::string> urls)
      : urls_(std::move(urls)), thread_([this] { loop(); }) {}
  ~Poller() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }
  long failures() const { return failures_; }

 private:
  void loop() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!stop_) {
      lock.unlock();
      for (const std::string& url : urls_) {
        std::string body;
        if (httpfetch(url, body) <= 0) ++failures_;
      }
      lock.lock();
      wake_.wait_for(lock, std::chrono::milliseconds(200), [this] { return stop_; });
    }
  }
  std::vector<std::string> urls_;
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;  // guarded by mutex_
  std::atomic<long> failures_{0};
  std::thread thread_;
};

// The second-newest frame's grey picture, as "frame-last.png" shows it.
cv::Mat secondNewest(kovira::CamBuf& store) {
  kovira::SmartBufferIterator it = store.meta().newest();
  it.go_backward();
  kovira::FrameCopy copy;
  if (!it.valid() || kovira::copyFrame(store, *it, copy, false) != kovira::FrameCopyStatus::Copied) return {};
  return cv::Mat(copy.height, copy.width, CV_8UC1, copy.bytes.data()).clone();
}

constexpr int kRounds = 3;
constexpr std::uint32_t kSeededTracks = kovira::ResQueue::kHistoryMax;
constexpr std::uint32_t kSeededPoints = 12;

// Finished tracks of a zone no scene has, ids far above the road's own.
void seedHistory(kovira::ResQueue& queue) {
  std::vector<kovira::Track> tracks;
  tracks.reserve(kSeededTracks);
  for (std::uint32_t id = 1; id <= kSeededTracks; ++id) {
    kovira::Track t(1000000 + id, 9999, 9999);
    for (std::uint32_t k = 0; k < kSeededPoints; ++k) {
      CNN_RESULT r{};
      std::strncpy(r.text, k % 4 ? "A123BC77" : "A123BC78", sizeof r.text - 1);
      r.x = static_cast<std::int32_t>(100 + 20 * k);
      r.y = 500;
      r.w = 120;
      r.h = 30;
      r.ox = r.x + 60;
      r.oy = 515;
      t.join(kovira::TrackPoint(r, id * 20 + k));
    }
    t.calc();
    tracks.push_back(std::move(t));
  }
  queue.seedHistory(tracks);
}

enum class Client { kNone, kFramePages, kTrackList };

// The real-time factor a child process's pass printed; 0 when it failed.
double childFactor(const std::string& scene, Client client) {
  const char* mode = client == Client::kNone ? "--pass '" : client == Client::kFramePages ? "--poll '" : "--poll-tracks '";
  const std::string command = "/proc/" + std::to_string(::getpid()) + "/exe " + mode + scene + "'";
  FILE* child = ::popen(command.c_str(), "r");
  if (child == nullptr) return 0;
  double factor = 0;
  char line[512];
  while (std::fgets(line, sizeof line, child) != nullptr) {
    std::sscanf(line, "  real-time factor: %lf", &factor);
  }
  return ::pclose(child) == 0 ? factor : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const bool pollTracks = argc > 1 && std::string(argv[1]) == "--poll-tracks";
  const bool poll = argc > 1 && std::string(argv[1]) == "--poll";
  const bool pass = poll || pollTracks || (argc > 1 && std::string(argv[1]) == "--pass");
  if (pass) --argc, ++argv;
  const std::string scenePath = argc > 1 ? argv[1] : std::string(KOVIRA_SOURCE_DIR) + "/examples/demo-scene.json";
  const double forSeconds = argc > 2 ? std::atof(argv[2]) : 10.0;

  roadrig::Road road;
  if (!road.open(scenePath)) return 1;
  HttpServer server;
  server.subscribe("^/debug/frame.jpg$", frame::http_frame);
  campages::subscribe(server, imgframe);
  webtrack::subscribe(server, resproc);
  if (!server.start(0)) return 1;
  const std::string base = "http://127.0.0.1:" + std::to_string(server.boundPort());
  const std::string cam = std::to_string(road.camid());
  const std::string jpegUrl = base + "/debug/frame.jpg?camid=" + cam;
  const std::string pngUrl = base + "/debug/cam" + cam + "/frame-last.png";
  seedHistory(resproc);

  {
    std::unique_ptr<Poller> poller;
    road.start();
    if (poll) poller = std::make_unique<Poller>(std::vector<std::string>{jpegUrl, pngUrl});
    if (pollTracks) poller = std::make_unique<Poller>(std::vector<std::string>{base + "/debug/tracks/"});
    for (int k = 0; k < road.scene().frameCount(); ++k) road.feed(k);
    road.drain();
    if (poller && poller->failures() > 0) std::cerr << "pages_bench: " << poller->failures() << " polls failed\n";
  }
  road.printSummary(poll         ? "whole road, one client polling the frame pages"
                    : pollTracks ? "whole road, one client polling the track list"
                                 : "whole road, no client");
  if (pass) return 0;

  // (a) The store is full and the road idle: pages against their encoding.
  const cv::Mat full = secondNewest(road.store());
  if (full.empty()) return 1;
  cv::Mat scaled;
  const float s = frame::scaleFor(800, full.cols, full.rows);
  cv::resize(full, scaled, cv::Size(), s, s, cv::INTER_CUBIC);
  std::vector<std::uint8_t> encoded;
  const double jpegAnchor = rate(forSeconds, [&] {
    return cv::imencode(".jpg", scaled, encoded, {cv::IMWRITE_JPEG_QUALITY, 80});
  });
  // What the page itself must do besides: the bicubic scaling.
  const double scaleAndEncode = rate(forSeconds, [&] {
    cv::resize(full, scaled, cv::Size(), s, s, cv::INTER_CUBIC);
    return cv::imencode(".jpg", scaled, encoded, {cv::IMWRITE_JPEG_QUALITY, 80});
  });
  const double pngAnchor = rate(forSeconds, [&] { return cv::imencode(".png", full, encoded); });
  std::string body;
  const auto fetch = [&body](const std::string& url) {
    body.clear();
    return httpfetch(url, body) > 0;
  };
  const double jpegPage = rate(forSeconds, [&] { return fetch(jpegUrl); });
  const double pngPage = rate(forSeconds, [&] { return fetch(pngUrl); });
  // The round trip every page pays whatever it shows: a page of a few bytes.
  const double tinyPage = rate(forSeconds, [&] { return fetch(base + "/debug/cam" + cam + "/timeout.txt"); });
  const double trackList = rate(forSeconds, [&] { return fetch(base + "/debug/tracks/"); });
  std::vector<double> alone, polled, tracksPolled;
  for (int i = 0; i < kRounds; ++i) {
    alone.push_back(childFactor(scenePath, Client::kNone));
    polled.push_back(childFactor(scenePath, Client::kFramePages));
    tracksPolled.push_back(childFactor(scenePath, Client::kTrackList));
  }
  std::sort(alone.begin(), alone.end());
  std::sort(polled.begin(), polled.end());
  std::sort(tracksPolled.begin(), tracksPolled.end());
  const double factor = alone[kRounds / 2], withClient = polled[kRounds / 2];
  const double withTracks = tracksPolled[kRounds / 2];

  std::printf("frame pages, one client, %.0f s each (%dx%d frames):\n", forSeconds, full.cols, full.rows);
  std::printf("  /debug/frame.jpg:       %.1f requests/s, imencode alone %.1f/s, ratio %.2f (aim <= 1.3)\n", jpegPage,
              jpegAnchor, jpegPage > 0 ? jpegAnchor / jpegPage : 0.0);
  std::printf("                          (scaling and imencode alone %.1f/s, ratio %.2f)\n", scaleAndEncode,
              jpegPage > 0 ? scaleAndEncode / jpegPage : 0.0);
  std::printf("  frame-last.png:         %.1f requests/s, imencode alone %.1f/s, ratio %.2f (aim <= 1.3)\n", pngPage,
              pngAnchor, pngPage > 0 ? pngAnchor / pngPage : 0.0);
  std::printf("  (a request of timeout.txt alone %.1f/s)\n", tinyPage);
  std::printf("  /debug/tracks/ over %u tracks: %.1f requests/s\n", kSeededTracks, trackList);
  std::printf("road's real-time factor (median of %d): %.2f without a client, %.2f with one polling 5/s: "
              "%.1f%% lower (aim <= 10%%)\n",
              kRounds, factor, withClient, factor > 0 ? (factor - withClient) * 100 / factor : 0.0);
  std::printf("  with one client polling /debug/tracks/ 5/s over %u tracks: %.2f, %.1f%% lower (aim <= 5%%)\n",
              kSeededTracks, withTracks, factor > 0 ? (factor - withTracks) * 100 / factor : 0.0);
  std::printf("  every pass (no client / frame pages / track list): ");
  for (int i = 0; i < kRounds; ++i) std::printf("%s%.2f/%.2f/%.2f", i ? ", " : "", alone[static_cast<std::size_t>(i)],
                                                polled[static_cast<std::size_t>(i)], tracksPolled[static_cast<std::size_t>(i)]);
  std::printf(" (sorted each)\n");
  return jpegPage > 0 && pngPage > 0 && alone[0] > 0 && polled[0] > 0 && tracksPolled[0] > 0 ? 0 : 1;
}
