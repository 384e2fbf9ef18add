// Base of every codec element: an NvElement bound to one V4L2
// memory-to-memory device node. It opens the node (through the device seam),
// checks the multi-planar memory-to-memory capability, owns the descriptor
// and the node's two queues, and offers the control and event requests all
// elements need. Construction never throws: a failure leaves an object whose
// isInError() is non-zero, which the subclass factories delete.
#pragma once

#include "codec/nvelement.h"
#include "codec/nvv4l2elementplane.h"

#include <linux/videodev2.h>

#include <cstdint>

class NvV4l2Element : public NvElement {
 public:
  int isInError() override;
  ~NvV4l2Element() override;
  void enableProfiling() override;
  virtual int waitForIdle(std::uint32_t max_wait_ms);

  int subscribeEvent(std::uint32_t type, std::uint32_t id, std::uint32_t flags);
  int dqEvent(struct v4l2_event& event, std::uint32_t max_wait_ms);
  int setControl(std::uint32_t id, std::int32_t value);
  int getControl(std::uint32_t id, std::int32_t& value);
  int setExtControls(struct v4l2_ext_controls& ctl);
  int getExtControls(struct v4l2_ext_controls& ctl);
  int abort();

  int getFd() const { return fd; }

  NvV4l2ElementPlane output_plane;
  NvV4l2ElementPlane capture_plane;

 protected:
  NvV4l2Element(const char* comp_name, const char* dev_node, int flags, std::uint32_t fields);
  // Sets one extended control of the vendor class.
  int setExtControl(std::uint32_t id, std::int32_t value);
  // A raw picture format on plane: its plane layout for the buffers, then
  // the format request (per-plane sizes left to the driver). The request's
  // result.
  int setRawPlaneFormat(NvV4l2ElementPlane& plane, std::uint32_t pixfmt, std::uint32_t width, std::uint32_t height);

  int fd;
  std::uint32_t output_plane_pixfmt;
  std::uint32_t capture_plane_pixfmt;
};
