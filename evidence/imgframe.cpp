#include "evidence/imgframe.h"

#include "capture/cam.h"
#include "codec/decode.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <exception>
#include <iostream>
#include <vector>

namespace {

bool sameBytes(const kovira::FrameBytes& a, const kovira::FrameBytes& b) {
  return a.present() && a.data == b.data && a.size == b.size;
}

// Copies rows x cols pixels of `type` out of the record's bytes and checks
// that the record kept them throughout.
bool copyRaw(const kovira::FrameMetadata& rec, int type, int bpp, cv::Mat& out) {
  const int w = rec.width.load();
  const int h = rec.height.load();
  const kovira::FrameBytes before = rec.liveBytes();
  if (w <= 0 || h <= 0 || !before.present()) return false;
  if (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h) * static_cast<std::uint64_t>(bpp) > before.size)
    return false;
  cv::Mat copy = cv::Mat(h, w, type, before.data).clone();
  if (!sameBytes(rec.liveBytes(), before)) return false;
  out = copy;
  return true;
}

bool decodeMjpeg(const kovira::FrameMetadata& rec, cv::Mat& out) {
  const kovira::FrameBytes before = rec.liveBytes();
  if (!before.present()) return false;
  std::vector<std::uint8_t> jpeg(before.data, before.data + before.size);
  if (!sameBytes(rec.liveBytes(), before)) return false;
  cv::Mat picture = cv::imdecode(jpeg, cv::IMREAD_COLOR);
  if (picture.empty()) return false;
  out = picture;
  return true;
}

bool decodeH264(kovira::Camera& camera, unsigned frame, cv::Mat& out) {
  const kovira::DecodedFrame decframe = kovira::decodedFrame(camera, frame);
  if (!decframe.isValid()) {
    std::cout << "[DBG] !decframe.isValid()" << std::endl;
    return false;
  }
  const int bpp = kovira::DecodedFrame::getBpp(decframe.format);
  const std::int64_t need = static_cast<std::int64_t>(decframe.width) * decframe.height * bpp;
  if (decframe.width <= 0 || decframe.height <= 0 || decframe.size < need) return false;
  out = cv::Mat(decframe.height, decframe.width, bpp == 4 ? CV_8UC4 : CV_8UC1, decframe.pixels.get()).clone();
  return true;
}

}  // namespace

bool imgframe(int camid, unsigned frame, cv::Mat& image) {
  try {
    const kovira::SmartBufferIterator rec = kovira::storedRecord(camid, frame);
    if (!rec.valid()) return false;
    switch (rec->type) {
      case FRAME_GRAY8:
        return copyRaw(*rec, CV_8UC1, 1, image);
      case FRAME_RGB24: {
        cv::Mat rgb;
        if (!copyRaw(*rec, CV_8UC3, 3, rgb)) return false;
        cv::cvtColor(rgb, image, cv::COLOR_RGB2BGR);
        return true;
      }
      case FRAME_MJPEG:
        return decodeMjpeg(*rec, image);
      case FRAME_I:
      case FRAME_P:
      case FRAME_B:
        return decodeH264(kovira::camera(camid), frame, image);
      default:
        return false;
    }
  } catch (const std::exception& e) {
    std::cout << "[ERR] frame " << frame << " of camera " << camid << ": " << e.what() << std::endl;
    return false;
  }
}
