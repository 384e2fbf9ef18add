#include "capture/frametypes.h"

#include <ostream>

namespace kovira {

const char* frameTypeName(FrameType type) {
  switch (static_cast<std::uint32_t>(type)) {
    case FRAME_I: return "I-frame";
    case FRAME_P: return "P-frame";
    case FRAME_B: return "B-frame";
    case FRAME_MJPEG: return "MJPEG";
    case FRAME_GRAY8: return "GRAY8";
    case FRAME_RGB24: return "RGB24";
    case FRAME_RAW: return "RAW";
    default: return "UNKNOWN";
  }
}

}  // namespace kovira

std::ostream& operator<<(std::ostream& os, FrameType type) {
  return os << kovira::frameTypeName(type);
}
