#include "capture/opencv_play.h"

#include "capture/cam.h"
#include "core/clock.h"
#include "core/startup_functions.h"
#include "core/threads.h"
#include "core/working.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <condition_variable>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>

namespace camreadcv {

namespace {

constexpr std::size_t kNameChars = 7;
// The replay pause is slept in slices so that a stop is seen quickly.
constexpr auto kPauseSlice = std::chrono::milliseconds(100);

// Running playback threads, for the exit.
struct Running {
  std::mutex mutex;
  std::condition_variable ended;
  int count = 0;  // guarded by mutex
};

// Never destroyed: detached threads leave it while the process exits.
Running& running() {
  static Running* r = new Running;
  return *r;
}

// Counts a playback thread for its whole life.
class RunningMark {
 public:
  RunningMark() {
    std::lock_guard lock(running().mutex);
    ++running().count;
  }
  ~RunningMark() {
    {
      std::lock_guard lock(running().mutex);
      --running().count;
    }
    running().ended.notify_all();
  }
  RunningMark(const RunningMark&) = delete;
  RunningMark& operator=(const RunningMark&) = delete;
};

// Grey picture of a decoded frame; OpenCV's readers deliver BGR, but a
// reader may hand out grey or BGRA pictures for some files.
void toGrey(const cv::Mat& picture, cv::Mat& grey) {
  switch (picture.channels()) {
    case 1: grey = picture; break;
    case 4: cv::cvtColor(picture, grey, cv::COLOR_BGRA2GRAY); break;
    default: cv::cvtColor(picture, grey, cv::COLOR_BGR2GRAY); break;
  }
  if (grey.depth() != CV_8U) grey.convertTo(grey, CV_8U);
  if (!grey.isContinuous()) grey = grey.clone();
}

bool pause(std::chrono::milliseconds length) {
  const auto end = std::chrono::steady_clock::now() + length;
  while (working >= 1) {
    const auto now = std::chrono::steady_clock::now();
    if (now >= end) return true;
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kPauseSlice, end - now));
  }
  return false;
}

}  // namespace

unsigned framePeriodMs(unsigned fps) { return fps != 0 ? 1000 / fps : kDefaultPeriodMs; }

std::string playbackThreadName(const std::string& url) {
  const std::size_t slash = url.rfind('/');
  const std::string last = slash == std::string::npos ? url : url.substr(slash + 1);
  return "opencv: " + last.substr(0, kNameChars);
}

void opencv_place(int camid, int width, int height, unsigned sec, unsigned usec, const unsigned char* data,
                  unsigned long size) {
  if (width < 0 || height < 0 ||
      static_cast<unsigned long long>(size) !=
          static_cast<unsigned long long>(width) * static_cast<unsigned long long>(height)) {
    return;
  }
  auto& all = kovira::cameras();
  const std::size_t n = all.size();
  for (std::size_t i = 0; i < n; ++i) {
    kovira::Camera& c = all[i];
    if (c.enabled == 0 || c.camid != camid) continue;
    kovira::FrameMetadata& rec = c.cambuf->addFrame(width, height, FRAME_GRAY8, 0, data, size);
    rec.width.store(width);
    rec.height.store(height);
    rec.sec.store(sec);
    rec.usec.store(usec);
  }
}

int opencv_play_once(int camid) {
  kovira::Camera& cam = kovira::camera(camid);
  const std::string url = cam.url;
  thread_name(playbackThreadName(url));

  // FFmpeg's reader, not OpenCV's default order: Debian's OpenCV tries
  // GStreamer first, which prints its own warnings on standard error for
  // every file it cannot open and would bury the line below.
  cv::VideoCapture reader(url, cv::CAP_FFMPEG);
  if (!reader.isOpened()) {
    std::cerr << "[OPENCV] Error when reading: " << url << std::endl;
    return -1;
  }
  const auto period = std::chrono::milliseconds(framePeriodMs(cam.fps));

  int frames = 0;
  cv::Mat picture;
  cv::Mat grey;
  while (working >= 1) {
    const auto started = std::chrono::steady_clock::now();
    if (!reader.read(picture) || picture.empty()) {
      std::cout << "[OPENCV] Cannot read the frame from video file" << std::endl;
      return frames;
    }
    unsigned sec = 0;
    unsigned usec = 0;
    high_clock(sec, usec);
    ++frames;
    toGrey(picture, grey);
    const unsigned long bytes = grey.total() * grey.elemSize();
    if (bytes == static_cast<unsigned long>(grey.cols) * static_cast<unsigned long>(grey.rows)) {
      opencv_place(camid, grey.cols, grey.rows, sec, usec, grey.data, bytes);
    }
    const auto spent = std::chrono::steady_clock::now() - started;
    if (spent < period) std::this_thread::sleep_for(period - spent);
  }
  return frames;
}

void opencv_play_file(int camid) {
  RunningMark mark;
  // A worker's exception must not end the unit: the camera stops instead.
  try {
    while (working >= 1) {
      if (opencv_play_once(camid) < 0) return;
      if (!pause(kReplayPause)) return;
    }
  } catch (const std::exception& e) {
    std::cout << "[OPENCV] camera " << camid << " playback stopped: " << e.what() << std::endl;
  }
}

bool waitPlaybackEnd(std::chrono::milliseconds limit) {
  std::unique_lock lock(running().mutex);
  return running().ended.wait_for(lock, limit, [] { return running().count == 0; });
}

}  // namespace camreadcv

void camreadcv::opencv_read_init() {
  auto& all = kovira::cameras();
  const std::size_t n = all.size();
  for (std::size_t i = 0; i < n; ++i) {
    const kovira::Camera& c = all[i];
    if (c.enabled == 0 || c.source != "opencv") continue;
    const int camid = c.camid;
    try {
      std::thread(opencv_play_file, camid).detach();
    } catch (const std::exception& e) {
      std::cout << "[OPENCV] camera " << camid << " playback not started: " << e.what() << std::endl;
    }
  }
}
