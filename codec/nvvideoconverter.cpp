#include "codec/nvvideoconverter.h"

#include "codec/nvlogging.h"
#include "platform/nvv4l2_ext.h"

#include <chrono>
#include <cstring>

NvVideoConverter::NvVideoConverter(const char* name, int flags)
    : NvV4l2Element(name, nvv4l2::kConverterPath, flags,
                    NvElementProfiler::PROFILER_FIELD_FPS | NvElementProfiler::PROFILER_FIELD_LATENCIES |
                        NvElementProfiler::PROFILER_FIELD_TOTAL_UNITS) {}

NvVideoConverter* NvVideoConverter::createVideoConverter(const char* name, int flags) {
  auto* conv = new NvVideoConverter(name, flags);
  if (conv->isInError()) {
    delete conv;
    return nullptr;
  }
  return conv;
}

NvVideoConverter::~NvVideoConverter() = default;

bool NvVideoConverter::checkBeforeBuffers() {
  if (output_plane.getNumBuffers() > 0 && capture_plane.getNumBuffers() > 0) {
    COMP_ERROR_MSG("Should be called before requesting buffers on either plane");
    return false;
  }
  return true;
}

int NvVideoConverter::setControlBeforeBuffers(std::uint32_t id, std::uint32_t value, const char* what) {
  if (!checkBeforeBuffers()) return -1;
  if (setExtControl(id, static_cast<std::int32_t>(value)) != 0) {
    COMP_SYS_ERROR_MSG(what << value << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG(what << value << ": success");
  return 0;
}

int NvVideoConverter::setOutputPlaneBufferLayout(std::uint32_t layout) {
  return setControlBeforeBuffers(nvv4l2::kCidConvOutputBufferLayout, layout, "Setting output plane buffer layout to ");
}

int NvVideoConverter::setCapturePlaneBufferLayout(std::uint32_t layout) {
  return setControlBeforeBuffers(nvv4l2::kCidConvCaptureBufferLayout, layout,
                                 "Setting capture plane buffer layout to ");
}

int NvVideoConverter::setInterpolationMethod(std::uint32_t method) {
  return setControlBeforeBuffers(nvv4l2::kCidConvInterpolationMethod, method, "Setting interpolation method to ");
}

int NvVideoConverter::setFlipMethod(std::uint32_t method) {
  return setControlBeforeBuffers(nvv4l2::kCidConvFlipMethod, method, "Setting flip method to ");
}

int NvVideoConverter::setTnrAlgorithm(std::uint32_t algorithm) {
  return setControlBeforeBuffers(nvv4l2::kCidConvTnrAlgorithm, algorithm, "Setting TNR algorithm to ");
}

int NvVideoConverter::setPlaneFormat(NvV4l2ElementPlane& plane, std::uint32_t& stored, std::uint32_t pixfmt,
                                     std::uint32_t width, std::uint32_t height, const char* what) {
  std::uint32_t num_planes = 0;
  NvBuffer::NvBufferPlaneFormat fmts[MAX_PLANES] = {};
  stored = pixfmt;
  if (NvBuffer::fill_buffer_plane_format(&num_planes, fmts, width, height, pixfmt) != 0) {
    COMP_ERROR_MSG(what << ": failed");
    return -1;
  }
  plane.setBufferPlaneFormat(static_cast<int>(num_planes), fmts);
  struct v4l2_format format;
  std::memset(&format, 0, sizeof format);
  format.fmt.pix_mp.pixelformat = pixfmt;
  format.fmt.pix_mp.width = width;
  format.fmt.pix_mp.height = height;
  format.fmt.pix_mp.num_planes = static_cast<std::uint8_t>(num_planes);
  if (plane.setFormat(format) != 0) {
    COMP_SYS_ERROR_MSG(what << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG(what << ": success");
  return 0;
}

int NvVideoConverter::setOutputPlaneFormat(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height,
                                           std::uint32_t layout) {
  if (setOutputPlaneBufferLayout(layout) != 0) return -1;
  return setPlaneFormat(output_plane, output_plane_pixfmt, pixfmt, width, height, "Setting output plane format");
}

int NvVideoConverter::setCapturePlaneFormat(std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height,
                                            std::uint32_t layout) {
  if (setCapturePlaneBufferLayout(layout) != 0) return -1;
  return setPlaneFormat(capture_plane, capture_plane_pixfmt, pixfmt, width, height, "Setting capture plane format");
}

int NvVideoConverter::setCropRect(std::uint32_t left, std::uint32_t top, std::uint32_t width, std::uint32_t height) {
  struct v4l2_rect rect;
  rect.left = static_cast<std::int32_t>(left);
  rect.top = static_cast<std::int32_t>(top);
  rect.width = width;
  rect.height = height;
  if (capture_plane.setSelection(V4L2_SEL_TGT_CROP, 0, rect) != 0) {
    COMP_SYS_ERROR_MSG("Setting crop rectangle to left=" << left << ", top=" << top << ", width=" << width
                                                         << ", height=" << height << ": failed");
    return -1;
  }
  COMP_DEBUG_MSG("Setting crop rectangle to left=" << left << ", top=" << top << ", width=" << width
                                                   << ", height=" << height << ": success");
  return 0;
}

int NvVideoConverter::waitForIdle(std::uint32_t max_wait_ms) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_wait_ms);
  // The output plane's total is read under its own lock; the capture plane's
  // lock guards the wait, as both planes signal their condition.
  for (;;) {
    const std::uint32_t queuedIn = output_plane.getTotalQueuedBuffers();
    std::unique_lock lk(capture_plane.lock());
    if (capture_plane.totalDequeuedLocked() >= queuedIn) return 0;
    if (!capture_plane.streamingLocked()) return -2;
    if (capture_plane.cond().wait_until(lk, deadline) == std::cv_status::timeout) return -1;
  }
}
