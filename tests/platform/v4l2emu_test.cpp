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

TEST(V4l2Emu, FormatsHavePaddedStrides) {
  Fd conv(nvv4l2::kConverterPath);
  auto f = rawFormat(kCap, nvv4l2::kFmtNM12, 320, 240);
  ASSERT_EQ(conv.io(VIDIOC_S_FMT, &f), 0);
  EXPECT_EQ(f.fmt.pix_mp.num_planes, 2);
  EXPECT_EQ(f.fmt.pix_mp.plane_fmt[0].bytesperline, 512u);
  EXPECT_EQ(f.fmt.pix_mp.plane_fmt[0].sizeimage, 512u * 240);
  EXPECT_EQ(f.fmt.pix_mp.plane_fmt[1].sizeimage, 512u * 120);
  auto a = rawFormat(kCap, nvv4l2::kFmtAR24, 1920, 1080);
  ASSERT_EQ(conv.io(VIDIOC_S_FMT, &a), 0);
  EXPECT_EQ(a.fmt.pix_mp.plane_fmt[0].bytesperline, 7680u);
  EXPECT_EQ(a.fmt.pix_mp.plane_fmt[0].sizeimage, 7680u * 1088);
  auto bad = rawFormat(kCap, nvv4l2::kFmtXR24, 64, 64);
  EXPECT_EQ(conv.io(VIDIOC_S_FMT, &bad), EINVAL);

  Fd dec(nvv4l2::kDecoderPath);
  auto coded = rawFormat(kOut, nvv4l2::kFmtH264, 0, 0);
  coded.fmt.pix_mp.plane_fmt[0].sizeimage = 8388608;
  ASSERT_EQ(dec.io(VIDIOC_S_FMT, &coded), 0);
  EXPECT_EQ(coded.fmt.pix_mp.plane_fmt[0].sizeimage, 8388608u);
  auto notNm12 = rawFormat(kCap, nvv4l2::kFmtYM12, 64, 64);
  EXPECT_EQ(dec.io(VIDIOC_S_FMT, &notNm12), EINVAL);
}

TEST(V4l2Emu, EventsNeverBlockAndNonBlockingDequeueAnswersAtOnce) {
  Fd dec(nvv4l2::kDecoderPath, O_RDWR | O_NONBLOCK);
  v4l2_event_subscription sub{};
  sub.type = nvv4l2::kEventResolutionChange;
  ASSERT_EQ(dec.io(VIDIOC_SUBSCRIBE_EVENT, &sub), 0);
  v4l2_event ev{};
  EXPECT_EQ(dec.io(VIDIOC_DQEVENT, &ev), EAGAIN);
  auto f = rawFormat(kCap, nvv4l2::kFmtNM12, 64, 64);
  ASSERT_EQ(dec.io(VIDIOC_S_FMT, &f), 0);
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
  v4l2_control c{nvv4l2::kCidMinBuffersForCapture, 0};
  EXPECT_EQ(dec.io(VIDIOC_G_CTRL, &c), 0);
  EXPECT_GT(c.value, 0);
}

TEST(V4l2Emu, FaultSwitchesApplyToLaterOpens) {
  v4l2emu::FaultPlan plan;
  plan.device = "vic";
  plan.noM2M = true;
  plan.extraBuffers = 2;
  plan.failRequest = VIDIOC_G_FMT;
  plan.failNth = 2;
  v4l2emu::setFaults(plan);
  Fd conv(nvv4l2::kConverterPath);
  Fd dec(nvv4l2::kDecoderPath);
  v4l2emu::clearFaults();
  v4l2_capability cap{};
  ASSERT_EQ(conv.io(VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_FALSE(cap.capabilities & V4L2_CAP_VIDEO_M2M_MPLANE);
  ASSERT_EQ(dec.io(VIDIOC_QUERYCAP, &cap), 0);
  EXPECT_TRUE(cap.capabilities & V4L2_CAP_VIDEO_M2M_MPLANE);
  auto f = rawFormat(kCap, nvv4l2::kFmtGREY, 64, 64);
  EXPECT_EQ(conv.io(VIDIOC_G_FMT, &f), 0);
  EXPECT_EQ(conv.io(VIDIOC_G_FMT, &f), EIO);
  EXPECT_EQ(conv.io(VIDIOC_G_FMT, &f), 0);
  f = rawFormat(kCap, nvv4l2::kFmtGREY, 64, 64);
  ASSERT_EQ(conv.io(VIDIOC_S_FMT, &f), 0);
  std::uint32_t granted = 0;
  ASSERT_EQ(reqbufs(conv, kCap, V4L2_MEMORY_MMAP, 3, &granted), 0);
  EXPECT_EQ(granted, 5u);
}

TEST(V4l2Emu, ClosedDescriptorsAreRefused) {
  const int fd = v4l2emu::open(nvv4l2::kConverterPath, O_RDWR);
  ASSERT_GE(fd, 0);
  EXPECT_TRUE(v4l2emu::owns(fd));
  EXPECT_EQ(v4l2emu::close(fd), 0);
  EXPECT_FALSE(v4l2emu::owns(fd));
  v4l2_capability cap{};
  errno = 0;
  EXPECT_EQ(v4l2emu::ioctl(fd, VIDIOC_QUERYCAP, &cap), -1);
  EXPECT_EQ(errno, EBADF);
}

}  // namespace
