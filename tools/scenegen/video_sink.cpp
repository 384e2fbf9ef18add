#include "tools/scenegen/video_sink.h"

#include <opencv2/videoio.hpp>

#include <cstdio>
#include <sys/wait.h>

namespace kovira::scenegen {
namespace {

class AviSink final : public VideoSink {
 public:
  explicit AviSink(std::unique_ptr<cv::VideoWriter> w) : writer_(std::move(w)) {}
  bool write(plate::GreyView f) override {
    const cv::Mat m(f.height, f.width, CV_8UC1, const_cast<std::uint8_t*>(f.data), static_cast<std::size_t>(f.stride));
    writer_->write(m);
    return writer_->isOpened();
  }
  bool close() override {
    writer_->release();
    return true;
  }

 private:
  std::unique_ptr<cv::VideoWriter> writer_;
};

// Quotes a path for /bin/sh.
std::string shellQuote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    if (c == '\'') {
      out += "'\\''";
    } else {
      out += c;
    }
  }
  return out + "'";
}

class PipeSink final : public VideoSink {
 public:
  explicit PipeSink(FILE* pipe) : pipe_(pipe) {}
  ~PipeSink() override { (void)close(); }
  bool write(plate::GreyView f) override {
    if (pipe_ == nullptr) return false;
    for (int y = 0; y < f.height; ++y) {
      const auto n = static_cast<std::size_t>(f.width);
      if (std::fwrite(f.data + static_cast<long>(y) * f.stride, 1, n, pipe_) != n) return false;
    }
    return true;
  }
  bool close() override {
    if (pipe_ == nullptr) return ok_;
    const int status = pclose(pipe_);
    pipe_ = nullptr;
    ok_ = status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    return ok_;
  }

 private:
  FILE* pipe_;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<VideoSink> openGreyAvi(const std::string& path, int width, int height, int fps, std::string& error) {
  const cv::Size size(width, height);
  auto writer = std::make_unique<cv::VideoWriter>();
  if (writer->open(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('F', 'F', 'V', '1'), fps, size,
                   {cv::VIDEOWRITER_PROP_IS_COLOR, 0})) {
    return std::make_unique<AviSink>(std::move(writer));
  }
  if (writer->open(path, cv::CAP_FFMPEG, cv::VideoWriter::fourcc('M', 'J', 'P', 'G'), fps, size,
                   {cv::VIDEOWRITER_PROP_IS_COLOR, 0, cv::VIDEOWRITER_PROP_QUALITY, 100})) {
    return std::make_unique<AviSink>(std::move(writer));
  }
  error = "cannot open a video writer for " + path;
  return nullptr;
}

std::unique_ptr<VideoSink> openH264(const std::string& path, int width, int height, int fps, std::string& error) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -loglevel error -y -f rawvideo -pix_fmt gray -s " +
                          std::to_string(width) + "x" + std::to_string(height) + " -framerate " +
                          std::to_string(fps) +
                          " -i - -c:v libx264 -preset veryfast -crf 16 -pix_fmt yuv420p -x264-params keyint=" +
                          std::to_string(fps) + ":min-keyint=" + std::to_string(fps) +
                          ":scenecut=0:bframes=0:repeat-headers=1 -f h264 " + shellQuote(path);
  FILE* pipe = popen(cmd.c_str(), "w");
  if (pipe == nullptr) {
    error = "cannot start ffmpeg";
    return nullptr;
  }
  return std::make_unique<PipeSink>(pipe);
}

}  // namespace kovira::scenegen
