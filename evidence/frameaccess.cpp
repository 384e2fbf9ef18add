#include "evidence/frameaccess.h"

#include "core/clock.h"
#include "core/console.h"

#include <cstdio>

namespace {

void say(const char* text, unsigned int frame) { consoleLine(text + std::to_string(frame)); }

}  // namespace

bool getframe(unsigned int frame, const RawFrameView* record, const std::function<bool()>& stillStored,
              cv::Mat& out) {
  if (!record || record->size == 0) {
    say("[ERR] кадр уже устарел: ", frame);
    return false;
  }
  const bool alive = stillStored ? stillStored() : record->data != nullptr;
  if (!alive || !record->data) {
    say("[ERR] кадр уже устарел (повторная проверка): ", frame);
    return false;
  }
  // Only whole grey pictures can be viewed as grey pixels.
  const std::uint64_t need = static_cast<std::uint64_t>(record->width > 0 ? record->width : 0) *
                             static_cast<std::uint64_t>(record->height > 0 ? record->height : 0);
  if (record->type != kFrameTypeGray8 || need == 0 || record->size < need) {
    say("[ERR] invalid frametype: ", frame);
    return false;
  }
  out = cv::Mat(record->height, record->width, CV_8UC1, const_cast<std::uint8_t*>(record->data),
                static_cast<std::size_t>(record->width));
  return true;
}

std::string framedate(const char* format, unsigned int sec, unsigned int usec) {
  return timeformat(format, sec, usec / 1000);
}

void resizeRow(cv::Mat& image, unsigned int rows, const cv::Scalar& colour) {
  if (rows == 0) return;
  cv::Mat bigger(image.rows + static_cast<int>(rows), image.cols, image.type(), colour);
  image.copyTo(bigger(cv::Rect(0, 0, image.cols, image.rows)));
  image = bigger;
}

void resizeCol(cv::Mat& image, unsigned int cols, const cv::Scalar& colour) {
  if (cols == 0) return;
  cv::Mat bigger(image.rows, image.cols + static_cast<int>(cols), image.type(), colour);
  image.copyTo(bigger(cv::Rect(0, 0, image.cols, image.rows)));
  image = bigger;
}
