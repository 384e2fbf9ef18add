// Conformance of the emulated codec devices to the V4L2 behaviour the
// element classes rely on (exported planes and the dequeue woken by
// STREAMOFF are checked through the elements in tests/codec).
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <cerrno>

namespace {

class Fd {
 public:
  explicit Fd(const char* path, int flags = O_RDWR) : fd_(v4l2emu::open(path, flags)) {}
  ~Fd() {
    if (fd_ >= 0) v4l2emu::close(fd_);
  }
  int get() const { return fd_; }
  int io(unsigned long req, void* arg) const { return v4l2emu::ioctl(fd_, req, arg) == 0 ? 0 : errno; }

 private:
  int fd_;
};

v4l2_format rawFormat(std::uint32_t type, std::uint32_t fourcc, std::uint32_t w, std::uint32_t h) {
  v4l2_format f{};
  f.type = type;
  f.fmt.pix_mp.pixelformat = fourcc;
  f.fmt.pix_mp.width = w;
  f.fmt.pix_mp.height = h;
  return f;
}

int reqbufs(const Fd& fd, std::uint32_t type, std::uint32_t memory, std::uint32_t count, std::uint32_t* granted = nullptr) {
  v4l2_requestbuffers r{};
  r.type = type;
  r.memory = memory;
  r.count = count;
  const int err = fd.io(VIDIOC_REQBUFS, &r);
  if (granted) *granted = r.count;
  return err;
}

constexpr std::uint32_t kCap = V4L2_BUF_TYPE_VIDEO_CAPTURE_MPLANE;
constexpr std::uint32_t kOut = V4L2_BUF_TYPE_VIDEO_OUTPUT_MPLANE;

// Padded strides, a dequeue that never blocks a non-blocking descriptor, and
// fault switches that apply to later opens only.
TEST(V4l2Emu, Contract) {
  v4l2emu::setFaults({.device = "vic", .extraBuffers = 2, .failRequest = VIDIOC_G_FMT, .failNth = 2, .noM2M = true});
  Fd conv(nvv4l2::kConverterPath);
  Fd dec(nvv4l2::kDecoderPath, O_RDWR | O_NONBLOCK);
  v4l2emu::clearFaults();

  v4l2_capability cap{};
  ASSERT_EQ(conv.io(VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_FALSE(cap.capabilities & V4L2_CAP_VIDEO_M2M_MPLANE);
  ASSERT_EQ(dec.io(VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_M2M_MPLANE);
  auto g = rawFormat(kCap, nvv4l2::kFmtGREY, 64, 64);
  EXPECT_EQ(conv.io(VIDIOC_G_FMT, &g), 0);
  EXPECT_EQ(conv.io(VIDIOC_G_FMT, &g), EIO);
  EXPECT_EQ(conv.io(VIDIOC_G_FMT, &g), 0);

  // Strides and heights padded as the board pads them (NM12 strides: the element tests).
  auto a = rawFormat(kCap, nvv4l2::kFmtAR24, 1920, 1080);
  ASSERT_EQ(conv.io(VIDIOC_S_FMT, &a), 0);
  EXPECT_EQ(a.fmt.pix_mp.plane_fmt[0].sizeimage, 7680u * 1088);
  std::uint32_t granted = 0;
  ASSERT_EQ(reqbufs(conv, kCap, V4L2_MEMORY_MMAP, 3, &granted), 0);
  EXPECT_EQ(granted, 5u);

  v4l2_event_subscription sub{};
  sub.type = nvv4l2::kEventResolutionChange;
  ASSERT_EQ(dec.io(VIDIOC_SUBSCRIBE_EVENT, &sub), 0);
  v4l2_event ev{};
  EXPECT_EQ(dec.io(VIDIOC_DQEVENT, &ev), EAGAIN);
  auto d = rawFormat(kCap, nvv4l2::kFmtNM12, 64, 64);
  ASSERT_EQ(dec.io(VIDIOC_S_FMT, &d), 0);
  ASSERT_EQ(reqbufs(dec, kCap, V4L2_MEMORY_MMAP, 1), 0);
  int type = kCap;
  ASSERT_EQ(dec.io(VIDIOC_STREAMON, &type), 0);
  v4l2_buffer b{};
  v4l2_plane planes[VIDEO_MAX_PLANES]{};
  b.type = kCap;
  b.memory = V4L2_MEMORY_MMAP;
  b.m.planes = planes;
  b.length = 2;
  EXPECT_EQ(dec.io(VIDIOC_DQBUF, &b), EAGAIN);
}

}  // namespace
