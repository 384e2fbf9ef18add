// Evidence frame access: raw grey frames of a camera's frame store, their
// capture-time text, and caption bands added to pictures.
//
// The record-view getframe does not copy: its view is valid only as long as
// the bytes it points at. The camera-store overload (kovira::Camera&) copies
// through the frame-copy helper, so its picture is the caller's own.
#pragma once

#include <opencv2/core.hpp>

#include <cstdint>
#include <functional>
#include <string>

// What getframe needs of one stored frame's metadata record.
struct RawFrameView {
  unsigned type = 0;  // FrameType; 5 is raw 8-bit grey
  int width = 0;
  int height = 0;
  const std::uint8_t* data = nullptr;  // null once the bytes are gone
  std::uint64_t size = 0;              // 0 once the bytes are released
};

constexpr unsigned kFrameTypeGray8 = 5;

// record: the stored record, or null when the store does not hold the frame.
// stillStored: asks the store again whether the record still has its bytes
// (an empty function checks record->data). On success out is a one-channel
// view of height x width over the bytes; on failure a "[ERR] ..." line with
// the frame number goes to standard output and the result is false. Records
// that are not grey or hold fewer than width x height bytes are refused.
bool getframe(unsigned int frame, const RawFrameView* record, const std::function<bool()>& stillStored,
              cv::Mat& out);

// Capture time sec/usec formatted in local time with ".mmm" appended.
std::string framedate(const char* format, unsigned int sec, unsigned int usec);

namespace kovira {
class Camera;
}

// The frame of a camera's store as above, but copied (kovira::copyFrame): out
// holds its own bytes, and a frame the writer is about to reach is refused.
bool getframe(kovira::Camera& camera, unsigned int frame, cv::Mat& out);
// The frame's capture time as above; "" when the store does not hold it.
std::string framedate(kovira::Camera& camera, const char* format, unsigned int frame);

// Adds rows at the bottom (columns at the right) filled with colour.
void resizeRow(cv::Mat& image, unsigned int rows, const cv::Scalar& colour);
void resizeCol(cv::Mat& image, unsigned int cols, const cv::Scalar& colour);
