#include "evidence/imgframe.h"

#include "capture/cam.h"
#include "capture/framecopy.h"
#include "codec/decode.h"

#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cstdint>
#include <cstdio>
#include <string>
#include <exception>
#include <iostream>

namespace {

// A private copy of the record's bytes (a picture read in place could be
// overwritten while it is encoded).
bool copyBytes(const kovira::CamBuf& store, const kovira::FrameMetadata& rec, kovira::FrameCopy& copy) {
  return kovira::copyFrame(store, rec, copy, false) == kovira::FrameCopyStatus::Copied && copy.width > 0 &&
         copy.height > 0;
}

bool copyRaw(const kovira::CamBuf& store, const kovira::FrameMetadata& rec, int type, int bpp, cv::Mat& out) {
  // Only page threads ask for pictures: each keeps its copy's memory for
  // its next frame.
  thread_local kovira::FrameCopy copy;
  if (!copyBytes(store, rec, copy)) return false;
  if (static_cast<std::uint64_t>(copy.width) * static_cast<std::uint64_t>(copy.height) *
          static_cast<std::uint64_t>(bpp) > copy.bytes.size())
    return false;
  out = cv::Mat(copy.height, copy.width, type, copy.bytes.data()).clone();
  return true;
}

bool decodeMjpeg(const kovira::CamBuf& store, const kovira::FrameMetadata& rec, cv::Mat& out) {
  kovira::FrameCopy copy;
  if (!copyBytes(store, rec, copy)) return false;
  cv::Mat picture = cv::imdecode(copy.bytes, cv::IMREAD_COLOR);
  if (picture.empty()) return false;
  out = picture;
  return true;
}

// One write per line: several page threads print at once.
void decodeTrace(unsigned frame, unsigned newest) {
  const std::string line = "[DBG] decodedFrame()" + std::to_string(frame) + " " + std::to_string(newest) + "\n";
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fflush(stdout);
}

bool decodeH264(kovira::Camera& camera, unsigned frame, cv::Mat& out) {
  kovira::SmartBufferIterator newest = camera.cambuf->meta().newest();
  const unsigned newestFrame = newest.valid() ? newest->position : 0;
  decodeTrace(frame, newestFrame);
  const kovira::DecodedFrame decframe = kovira::decodedFrame(camera, frame);
  decodeTrace(frame, newestFrame);
  if (!decframe.isValid()) {
    const std::string line = "[DBG] !decframe.isValid()\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
    return false;
  }
  const int bpp = kovira::DecodedFrame::getBpp(decframe.format);
  const std::int64_t need = static_cast<std::int64_t>(decframe.width) * decframe.height * bpp;
  if (decframe.width <= 0 || decframe.height <= 0 || decframe.size < need) return false;
  // Pages and the JPEG/PNG encoders take three-channel BGR: the converter's
  // four-channel pictures lose their fourth byte, luma planes become grey BGR.
  const cv::Mat decoded(decframe.height, decframe.width, bpp == 4 ? CV_8UC4 : CV_8UC1, decframe.pixels.get());
  cv::cvtColor(decoded, out, bpp == 4 ? cv::COLOR_BGRA2BGR : cv::COLOR_GRAY2BGR);
  return true;
}

}  // namespace

bool imgframe(int camid, unsigned frame, cv::Mat& image) {
  try {
    kovira::CamBuf* store = kovira::storeOf(camid);
    if (store == nullptr) return false;
    const kovira::SmartBufferIterator rec = store->frame(frame);
    if (!rec.valid()) return false;
    switch (rec->type) {
      case FRAME_GRAY8:
        return copyRaw(*store, *rec, CV_8UC1, 1, image);
      case FRAME_RGB24: {
        cv::Mat rgb;
        if (!copyRaw(*store, *rec, CV_8UC3, 3, rgb)) return false;
        cv::cvtColor(rgb, image, cv::COLOR_RGB2BGR);
        return true;
      }
      case FRAME_MJPEG:
        return decodeMjpeg(*store, *rec, image);
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
