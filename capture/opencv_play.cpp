#include "capture/opencv_play.h"

#include "capture/cam.h"
#include "capture/missing_store.h"
#include "config/config_lock.h"
#include "core/clock.h"
#include "core/startup_functions.h"
#include "core/threads.h"
#include "core/working.h"

#include <opencv2/imgproc.hpp>
#include <opencv2/videoio.hpp>

#include <condition_variable>
#include <cstdint>
#include <exception>
#include <iostream>
#include <mutex>
#include <thread>
#include <vector>

namespace camreadcv {

namespace {

constexpr std::size_t kNameChars = 7;
// Sleeps are cut into slices so that a cleared `working` (set by a signal
// handler, which cannot notify) is seen quickly.
constexpr auto kPauseSlice = std::chrono::milliseconds(100);

// Owner of the playback threads. Function-local static: built by the first
// start, destroyed (stopping and joining) before the camera registry, which
// was built earlier.
class Players {
 public:
  ~Players() { stopAll(); }

  void start(int camid) {
    std::lock_guard lock(mutex_);
    threads_.emplace_back(opencv_play_file, camid);
  }

  void stopAll() {
    std::vector<std::thread> threads;
    {
      std::lock_guard lock(mutex_);
      stop_ = true;
      threads.swap(threads_);
    }
    wake_.notify_all();
    for (std::thread& t : threads) t.join();
    std::lock_guard lock(mutex_);
    stop_ = false;
  }

  // Sleeps for length; false as soon as the playback must end (stopAll, or
  // `working` cleared: a signal handler cannot notify, so it is polled).
  bool sleepFor(std::chrono::steady_clock::duration length) {
    const auto end = std::chrono::steady_clock::now() + length;
    std::unique_lock lock(mutex_);
    while (!stop_ && working >= 1) {
      const auto now = std::chrono::steady_clock::now();
      if (now >= end) return true;
      wake_.wait_for(lock, std::min<std::chrono::steady_clock::duration>(kPauseSlice, end - now));
    }
    return false;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;                  // guarded by mutex_
  std::vector<std::thread> threads_;   // guarded by mutex_
};

Players& players() {
  static Players p;
  return p;
}

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
  for (const auto& store : kovira::enabledStores(camid)) {
    kovira::FrameMetadata& rec = store->addFrame(width, height, FRAME_GRAY8, 0, data, size);
    rec.width.store(width);
    rec.height.store(height);
    rec.sec.store(sec);
    rec.usec.store(usec);
  }
}

int opencv_play_once(int camid) {
  std::string url;
  unsigned fps = 0;
  {
    // A reload may rewrite the camera's fields while this thread starts a play.
    kovira::ConfigReadLock lock;
    const kovira::Camera& cam = kovira::camera(camid);
    url = cam.url;
    fps = cam.fps;
  }
  thread_name(playbackThreadName(url));

  // FFmpeg's reader, not OpenCV's default order: Debian's OpenCV tries
  // GStreamer first, which prints its own warnings on standard error for
  // every file it cannot open and would bury the line below. The limits keep
  // a URL that does not answer from holding the thread past a stop.
  cv::VideoCapture reader(url, cv::CAP_FFMPEG,
                          {cv::CAP_PROP_OPEN_TIMEOUT_MSEC, kOpenTimeoutMs, cv::CAP_PROP_READ_TIMEOUT_MSEC, kReadTimeoutMs});
  if (!reader.isOpened()) {
    std::cerr << "[OPENCV] Error when reading: " << url << std::endl;
    return -1;
  }
  const auto period = std::chrono::milliseconds(framePeriodMs(fps));

  int frames = 0;
  std::uint64_t firstUs = 0;
  cv::Mat picture;
  cv::Mat grey;
  while (working >= 1) {
    const auto started = std::chrono::steady_clock::now();
    if (!reader.read(picture) || picture.empty()) {
      std::cout << "[OPENCV] Cannot read the frame from video file" << std::endl;
      return frames;
    }
    // The first frame is stamped when it is read, each later one a frame
    // period after it: a reader starved of processor time delivers late,
    // and stamping the late delivery would make every vehicle in the video
    // slower than it was filmed.
    unsigned sec = 0;
    unsigned usec = 0;
    if (frames == 0) {
      high_clock(sec, usec);
      firstUs = std::uint64_t{sec} * 1000000u + usec;
    } else {
      const std::uint64_t at = firstUs + static_cast<std::uint64_t>(frames) *
                                             static_cast<std::uint64_t>(std::chrono::microseconds(period).count());
      sec = static_cast<unsigned>(at / 1000000u);
      usec = static_cast<unsigned>(at % 1000000u);
    }
    ++frames;
    toGrey(picture, grey);
    const unsigned long bytes = grey.total() * grey.elemSize();
    if (bytes == static_cast<unsigned long>(grey.cols) * static_cast<unsigned long>(grey.rows)) {
      opencv_place(camid, grey.cols, grey.rows, sec, usec, grey.data, bytes);
    }
    const auto spent = std::chrono::steady_clock::now() - started;
    if (spent < period && !players().sleepFor(period - spent)) break;
  }
  return frames;
}

void opencv_play_file(int camid) {
  // No exception may leave the thread: the camera stops instead.
  try {
    while (working >= 1) {
      if (opencv_play_once(camid) < 0) return;
      if (!players().sleepFor(kReplayPause)) return;
    }
  } catch (const std::exception& e) {
    std::cout << "[OPENCV] camera " << camid << " playback stopped: " << e.what() << std::endl;
  } catch (...) {
    std::cout << "[OPENCV] camera " << camid << " playback stopped" << std::endl;
  }
}

void stopPlayback() { players().stopAll(); }

}  // namespace camreadcv

void camreadcv::opencv_read_init() {
  for (const kovira::CameraSettings& c : kovira::cameraSettings()) {
    if (c.enabled == 0 || c.source != "opencv" || kovira::missingStoreMiB(c.camid) != 0) continue;
    try {
      players().start(c.camid);
    } catch (const std::exception& e) {
      std::cout << "[OPENCV] camera " << c.camid << " playback not started: " << e.what() << std::endl;
    }
  }
}
