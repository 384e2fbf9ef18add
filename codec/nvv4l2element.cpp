#include "codec/nvv4l2element.h"

#include "codec/nvdevice.h"
#include "codec/nvlogging.h"
#include "platform/nvv4l2_ext.h"

#include <fcntl.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

NvV4l2Element::NvV4l2Element(const char* name, const char* dev_node, int flags, std::uint32_t fields)
    : NvElement(name, fields),
      output_plane(V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE, name, fd, !(flags & O_NONBLOCK), profiler),
      capture_plane(V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE, name, fd, !(flags & O_NONBLOCK), profiler),
      fd(-1),
      output_plane_pixfmt(0),
      capture_plane_pixfmt(0) {
  fd = devOpen(dev_node, flags | O_RDWR);
  if (fd == -1) {
    COMP_SYS_ERROR_MSG("Could not open device '" << dev_node << "'");
    is_in_error = 1;
    return;
  }
  COMP_DEBUG_MSG("Opened, fd = " << fd);
  struct v4l2_capability caps;
  std::memset(&caps, 0, sizeof caps);
  if (devIoctl(fd, VIDIOC_QUERYCAP, &caps) != 0) {
    COMP_SYS_ERROR_MSG("Error in VIDIOC_QUERYCAP");
    is_in_error = 1;
    return;
  }
  if (!(caps.capabilities & V4L2_CAP_VIDEO_M2M_MPLANE)) {
    COMP_ERROR_MSG("Device does not support V4L2_CAP_VIDEO_M2M_MPLANE");
    is_in_error = 1;
  }
}

NvV4l2Element::~NvV4l2Element() {
  // With no device there is nothing to stream off or release.
  if (fd != -1) {
    output_plane.deinitPlane();
    capture_plane.deinitPlane();
    devClose(fd);
    NVLOG_LINE(nvlog::kDebug, "V4l2Element", nullptr, "Device closed, fd = " << fd, false);
  }
}

int NvV4l2Element::isInError() {
  return is_in_error | output_plane.isInError() | capture_plane.isInError();
}

void NvV4l2Element::enableProfiling() {
  if (output_plane_pixfmt || capture_plane_pixfmt) {
    COMP_ERROR_MSG("Profiling must be enabled before setting formats on either plane");
    return;
  }
  profiler.enableProfiling(true);
}

int NvV4l2Element::waitForIdle(std::uint32_t) {
  COMP_ERROR_MSG("wait_for_idle not implemented");
  return 0;
}

int NvV4l2Element::subscribeEvent(std::uint32_t type, std::uint32_t id, std::uint32_t flags) {
  struct v4l2_event_subscription sub;
  std::memset(&sub, 0, sizeof sub);
  sub.type = type;
  sub.id = id;
  sub.flags = flags;
  const int ret = devIoctl(fd, VIDIOC_SUBSCRIBE_EVENT, &sub);
  if (ret == 0) {
    COMP_DEBUG_MSG("Successfully subscribed to event " << type);
  } else {
    COMP_SYS_ERROR_MSG("Error while subscribing to event " << type);
  }
  return ret;
}

int NvV4l2Element::dqEvent(struct v4l2_event& event, std::uint32_t max_wait_ms) {
  int ret;
  for (;;) {
    ret = devIoctl(fd, VIDIOC_DQEVENT, &event);
    if (ret == 0 || errno != EAGAIN || max_wait_ms == 0) break;
    --max_wait_ms;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  if (ret == 0) {
    COMP_DEBUG_MSG("DQed event " << std::hex << event.type << std::dec);
  } else {
    COMP_SYS_ERROR_MSG("Error while DQing event");
  }
  return ret;
}

int NvV4l2Element::setControl(std::uint32_t id, std::int32_t value) {
  struct v4l2_control ctl;
  ctl.id = id;
  ctl.value = value;
  const int ret = devIoctl(fd, VIDIOC_S_CTRL, &ctl);
  if (ret) {
    COMP_SYS_ERROR_MSG("Error setting value " << value << " on control " << id);
  } else {
    COMP_DEBUG_MSG("Set value " << value << " on control " << id);
  }
  return ret;
}

int NvV4l2Element::getControl(std::uint32_t id, std::int32_t& value) {
  struct v4l2_control ctl;
  ctl.id = id;
  ctl.value = 0;
  const int ret = devIoctl(fd, VIDIOC_G_CTRL, &ctl);
  if (ret) {
    COMP_SYS_ERROR_MSG("Error getting value of control " << id);
  } else {
    value = ctl.value;
    COMP_DEBUG_MSG("Got value " << ctl.value << " for control " << id);
  }
  return ret;
}

int NvV4l2Element::setExtControls(struct v4l2_ext_controls& ctl) {
  const int ret = devIoctl(fd, VIDIOC_S_EXT_CTRLS, &ctl);
  if (ret) {
    COMP_SYS_ERROR_MSG("Error setting controls");
  } else {
    COMP_DEBUG_MSG("Set controls");
  }
  return ret;
}

int NvV4l2Element::getExtControls(struct v4l2_ext_controls& ctl) {
  const int ret = devIoctl(fd, VIDIOC_G_EXT_CTRLS, &ctl);
  if (ret) {
    COMP_SYS_ERROR_MSG("Error getting value of controls");
  } else {
    COMP_DEBUG_MSG("Got controls");
  }
  return ret;
}

int NvV4l2Element::setExtControl(std::uint32_t id, std::int32_t value) {
  struct v4l2_ext_control control;
  struct v4l2_ext_controls ctrls;
  std::memset(&control, 0, sizeof control);
  std::memset(&ctrls, 0, sizeof ctrls);
  control.id = id;
  control.value = value;
  ctrls.ctrl_class = nvv4l2::kCtrlClassVendor;
  ctrls.count = 1;
  ctrls.controls = &control;
  return setExtControls(ctrls);
}

int NvV4l2Element::setRawPlaneFormat(NvV4l2ElementPlane& plane, std::uint32_t pixfmt, std::uint32_t width,
                                     std::uint32_t height) {
  std::uint32_t num_planes = 0;
  NvBuffer::NvBufferPlaneFormat fmts[MAX_PLANES] = {};
  NvBuffer::fill_buffer_plane_format(&num_planes, fmts, width, height, pixfmt);
  plane.setBufferPlaneFormat(static_cast<int>(num_planes), fmts);
  struct v4l2_format format;
  std::memset(&format, 0, sizeof format);
  format.fmt.pix_mp.pixelformat = pixfmt;
  format.fmt.pix_mp.width = width;
  format.fmt.pix_mp.height = height;
  format.fmt.pix_mp.num_planes = static_cast<std::uint8_t>(num_planes);
  return plane.setFormat(format);
}

int NvV4l2Element::abort() {
  const int a = output_plane.setStreamStatus(false);
  const int b = capture_plane.setStreamStatus(false);
  return a | b;
}
