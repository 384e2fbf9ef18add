// Conformance of the emulated codec devices to the V4L2 behaviour the
// element classes rely on (exported planes and the dequeue woken by
// STREAMOFF are checked through the elements in tests/codec).
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"
#include "tests/codec/h264_fixture.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <gtest/gtest.h>
#include <linux/videodev2.h>

#include <algorithm>
#include <cerrno>
#include <numeric>
#include <string>
#include <vector>

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

// The emulated decoder as a stateful V4L2 decoder: every picture carries
// the timestamp of the input buffer it was decoded from, whatever order and
// delay its output has; the stop command drains what it holds, ends with a
// capture buffer flagged LAST (and, switched on here, the deprecated
// end-of-stream event), and the start command resumes it.
class V4l2EmuDecoder : public ::testing::TestWithParam<unsigned> {
 protected:
  void TearDown() override { v4l2emu::clearFaults(); }
};

v4l2_buffer buffer(std::uint32_t type, v4l2_plane* planes, std::uint32_t index = 0) {
  v4l2_buffer b{};
  b.type = type;
  b.memory = V4L2_MEMORY_MMAP;
  b.m.planes = planes;
  b.length = type == kOut ? 1 : 2;
  b.index = index;
  return b;
}

TEST_P(V4l2EmuDecoder, PicturesCarryTheirInputsTimestampAndTheDrainEndsWithLast) {
  const fixture::Stream s = fixture::encode(160, 96, 13, 12, 0, 2);  // one group and the next key frame
  v4l2emu::setFaults({.device = "nvdec", .reorderDepth = GetParam(), .eosEvent = true});
  Fd dec(nvv4l2::kDecoderPath, O_RDWR | O_NONBLOCK);
  v4l2emu::clearFaults();
  auto of = rawFormat(kOut, nvv4l2::kFmtH264, 0, 0);
  of.fmt.pix_mp.num_planes = 1;
  of.fmt.pix_mp.plane_fmt[0].sizeimage = 1u << 16;
  ASSERT_EQ(dec.io(VIDIOC_S_FMT, &of), 0);
  constexpr std::uint32_t kInputs = 3;
  ASSERT_EQ(reqbufs(dec, kOut, V4L2_MEMORY_MMAP, kInputs), 0);
  for (const std::uint32_t type : {nvv4l2::kEventResolutionChange, static_cast<std::uint32_t>(V4L2_EVENT_EOS)}) {
    v4l2_event_subscription sub{};
    sub.type = type;
    ASSERT_EQ(dec.io(VIDIOC_SUBSCRIBE_EVENT, &sub), 0);
  }
  int type = kOut;
  ASSERT_EQ(dec.io(VIDIOC_STREAMON, &type), 0);

  std::vector<long> stamps;  // of the pictures, in output order
  bool last = false, eos = false;
  std::vector<std::uint32_t> freeInputs = {0, 1, 2};
  // Takes what the decoder has ready: events, pictures (handed back), inputs.
  auto service = [&] {
    short revents = 0;
    ASSERT_GE(v4l2emu::poll(dec.get(), POLLIN | POLLOUT | POLLPRI, revents, 5000), 1);
    v4l2_event ev{};
    while (dec.io(VIDIOC_DQEVENT, &ev) == 0) {
      eos = eos || ev.type == V4L2_EVENT_EOS;
      if (ev.type == V4L2_EVENT_EOS) continue;
      auto f = rawFormat(kCap, 0, 0, 0);
      ASSERT_EQ(dec.io(VIDIOC_G_FMT, &f), 0);
      ASSERT_EQ(dec.io(VIDIOC_S_FMT, &f), 0);
      ASSERT_EQ(reqbufs(dec, kCap, V4L2_MEMORY_MMAP, 8), 0);
      int cap = kCap;
      ASSERT_EQ(dec.io(VIDIOC_STREAMON, &cap), 0);
      for (std::uint32_t i = 0; i < 8; ++i) {
        v4l2_plane planes[VIDEO_MAX_PLANES]{};
        v4l2_buffer b = buffer(kCap, planes, i);
        ASSERT_EQ(dec.io(VIDIOC_QBUF, &b), 0);
      }
    }
    v4l2_plane planes[VIDEO_MAX_PLANES]{};
    v4l2_buffer b = buffer(kCap, planes);
    while (!last && dec.io(VIDIOC_DQBUF, &b) == 0) {
      EXPECT_TRUE(b.flags & V4L2_BUF_FLAG_TIMESTAMP_COPY);
      last = (b.flags & V4L2_BUF_FLAG_LAST) != 0;
      if (planes[0].bytesused > 0) stamps.push_back(b.timestamp.tv_usec);
      ASSERT_EQ(dec.io(VIDIOC_QBUF, &b), 0);
    }
    v4l2_buffer in = buffer(kOut, planes);
    while (dec.io(VIDIOC_DQBUF, &in) == 0) freeInputs.push_back(in.index);
  };
  const auto serviceUntil = [&](auto done) {
    while (!done() && !HasFatalFailure()) service();
    return !HasFatalFailure();
  };

  for (std::size_t i = 0; i < s.units.size(); ++i) {
    ASSERT_TRUE(serviceUntil([&] { return !freeInputs.empty(); }));
    v4l2_plane planes[VIDEO_MAX_PLANES]{};
    v4l2_buffer b = buffer(kOut, planes, freeInputs.back());
    freeInputs.pop_back();
    // The input's memory, exported and written as the elements fill it.
    v4l2_exportbuffer e{kOut, b.index, 0, O_RDWR, -1, {}};
    ASSERT_EQ(dec.io(VIDIOC_EXPBUF, &e), 0);
    const auto written = ::pwrite(e.fd, s.bytes.data() + s.units[i].offset, s.units[i].size, 0);
    ::close(e.fd);
    ASSERT_EQ(written, static_cast<ssize_t>(s.units[i].size));
    b.timestamp = {7, static_cast<long>(i)};
    planes[0].bytesused = static_cast<std::uint32_t>(s.units[i].size);
    ASSERT_EQ(dec.io(VIDIOC_QBUF, &b), 0);
  }
  ASSERT_TRUE(serviceUntil([&] { return freeInputs.size() == kInputs; }));
  const std::size_t beforeStop = stamps.size();
  v4l2_decoder_cmd cmd{};
  cmd.cmd = V4L2_DEC_CMD_STOP;
  ASSERT_EQ(dec.io(VIDIOC_DECODER_CMD, &cmd), 0);
  ASSERT_TRUE(serviceUntil([&] { return last && eos; }));

  // Each input's picture exactly once, the pictures held back only by the drain.
  std::vector<long> sorted = stamps, want(s.units.size());
  std::sort(sorted.begin(), sorted.end());
  std::iota(want.begin(), want.end(), 0L);
  EXPECT_EQ(sorted, want);
  EXPECT_LE(beforeStop + GetParam(), stamps.size());
  // Display order: the number each picture shows rises.
  for (std::size_t i = 1; i < stamps.size(); ++i)
    EXPECT_LT(s.units[static_cast<std::size_t>(stamps[i - 1])].number, s.units[static_cast<std::size_t>(stamps[i])].number);

  // Stopped: nothing to dequeue but EPIPE until the start command.
  v4l2_plane planes[VIDEO_MAX_PLANES]{};
  v4l2_buffer b = buffer(kCap, planes);
  EXPECT_EQ(dec.io(VIDIOC_DQBUF, &b), EPIPE);
  cmd.cmd = V4L2_DEC_CMD_START;
  ASSERT_EQ(dec.io(VIDIOC_DECODER_CMD, &cmd), 0);
  EXPECT_EQ(dec.io(VIDIOC_DQBUF, &b), EAGAIN);
}

INSTANTIATE_TEST_SUITE_P(Depths, V4l2EmuDecoder, ::testing::Values(0u, 1u, 2u, 3u));

// A decoder with its input queue streaming and events subscribed, opened
// under `plan`.
const char* decoderWith(const v4l2emu::FaultPlan& plan) {
  v4l2emu::setFaults(plan);
  return nvv4l2::kDecoderPath;
}

struct StreamingDecoder {
  explicit StreamingDecoder(const v4l2emu::FaultPlan& plan) : dec(decoderWith(plan), O_RDWR | O_NONBLOCK) {
    v4l2emu::clearFaults();
    auto of = rawFormat(kOut, nvv4l2::kFmtH264, 0, 0);
    of.fmt.pix_mp.num_planes = 1;
    of.fmt.pix_mp.plane_fmt[0].sizeimage = 1u << 16;
    ok = dec.io(VIDIOC_S_FMT, &of) == 0 && reqbufs(dec, kOut, V4L2_MEMORY_MMAP, 1) == 0;
    for (const std::uint32_t type : {nvv4l2::kEventResolutionChange, static_cast<std::uint32_t>(V4L2_EVENT_EOS)}) {
      v4l2_event_subscription sub{};
      sub.type = type;
      ok = ok && dec.io(VIDIOC_SUBSCRIBE_EVENT, &sub) == 0;
    }
    int type = kOut;
    ok = ok && dec.io(VIDIOC_STREAMON, &type) == 0;
  }
  int command(std::uint32_t cmd) const {
    v4l2_decoder_cmd c{};
    c.cmd = cmd;
    return dec.io(VIDIOC_DECODER_CMD, &c);
  }
  // Capture buffers of a size of its own, streaming and queued.
  bool startCapture() const {
    auto f = rawFormat(kCap, nvv4l2::kFmtNM12, 64, 64);
    int type = kCap;
    if (dec.io(VIDIOC_S_FMT, &f) != 0 || reqbufs(dec, kCap, V4L2_MEMORY_MMAP, 2) != 0 ||
        dec.io(VIDIOC_STREAMON, &type) != 0)
      return false;
    for (std::uint32_t i = 0; i < 2; ++i) {
      v4l2_plane planes[VIDEO_MAX_PLANES]{};
      v4l2_buffer b = buffer(kCap, planes, i);
      if (dec.io(VIDIOC_QBUF, &b) != 0) return false;
    }
    return true;
  }
  Fd dec;
  bool ok = false;
};

// The kernel's drain rules: a stop command while the capture queue does not
// stream is taken but starts nothing (no LAST, no event, input still
// consumed); while a drain runs, start and stop answer EBUSY until a
// STREAMOFF ends it.
TEST(V4l2EmuKernelRules, StopWithoutCaptureStartsNoDrainAndADrainRefusesCommands) {
  const fixture::Stream s = fixture::encode(160, 96, 1, 10);
  StreamingDecoder fresh({});
  ASSERT_TRUE(fresh.ok);
  EXPECT_EQ(fresh.command(V4L2_DEC_CMD_STOP), 0);
  v4l2_plane planes[VIDEO_MAX_PLANES]{};
  v4l2_buffer in = buffer(kOut, planes);
  v4l2_exportbuffer e{kOut, 0, 0, O_RDWR, -1, {}};
  ASSERT_EQ(fresh.dec.io(VIDIOC_EXPBUF, &e), 0);
  ASSERT_EQ(::pwrite(e.fd, s.bytes.data(), s.units[0].size, 0), static_cast<ssize_t>(s.units[0].size));
  ::close(e.fd);
  planes[0].bytesused = static_cast<std::uint32_t>(s.units[0].size);
  ASSERT_EQ(fresh.dec.io(VIDIOC_QBUF, &in), 0);
  // Not stopped: the input is read, and its picture size is the only event.
  short revents = 0;
  ASSERT_EQ(v4l2emu::poll(fresh.dec.get(), POLLPRI, revents, 5000), 1);
  v4l2_event ev{};
  ASSERT_EQ(fresh.dec.io(VIDIOC_DQEVENT, &ev), 0);
  EXPECT_EQ(ev.type, nvv4l2::kEventResolutionChange);
  EXPECT_EQ(fresh.dec.io(VIDIOC_DQEVENT, &ev), EAGAIN);

  StreamingDecoder wedged({.device = "nvdec", .drainNeverEnds = true});
  ASSERT_TRUE(wedged.ok);
  ASSERT_TRUE(wedged.startCapture());
  v4l2_decoder_cmd probe{};
  probe.cmd = V4L2_DEC_CMD_START;
  EXPECT_EQ(wedged.dec.io(VIDIOC_TRY_DECODER_CMD, &probe), 0);
  ASSERT_EQ(wedged.command(V4L2_DEC_CMD_STOP), 0);
  EXPECT_EQ(wedged.command(V4L2_DEC_CMD_START), EBUSY);
  EXPECT_EQ(wedged.command(V4L2_DEC_CMD_STOP), EBUSY);
  int type = kCap;
  ASSERT_EQ(wedged.dec.io(VIDIOC_STREAMOFF, &type), 0);
  EXPECT_EQ(wedged.command(V4L2_DEC_CMD_START), 0);
}

// The fault plan a whole unit takes from KOVIRA_V4L2EMU.
TEST(V4l2EmuFaultPlan, JsonKeysAreTheSwitchesAndAnythingElseIsRefused) {
  v4l2emu::FaultPlan plan;
  std::string error;
  ASSERT_TRUE(v4l2emu::parseFaultPlan(R"({"pictureDelayMs": 20, "noDrain": true})", plan, error)) << error;
  EXPECT_EQ(plan.pictureDelayMs, 20u);
  EXPECT_TRUE(plan.noDrain);
  ASSERT_TRUE(v4l2emu::parseFaultPlan(R"({"errorPictureEvery": 10, "device": "nvdec"})", plan, error)) << error;
  EXPECT_EQ(plan.errorPictureEvery, 10u);
  EXPECT_FALSE(plan.noDrain) << "a plan starts from no faults";
  EXPECT_EQ(plan.device, "nvdec");
  const struct {
    const char* json;
    const char* error;
  } refused[] = {
      {R"({"pictureDelay": 20})", "unknown key \"pictureDelay\""},
      {R"({"noDrain": 1})", "\"noDrain\": wrong value 1"},
      {R"({"pictureDelayMs": -5})", "\"pictureDelayMs\": wrong value -5"},
      {R"([1])", "not a JSON object"},
      {"{noDrain}", "not a JSON object"},
  };
  for (const auto& r : refused) {
    plan.pictureDelayMs = 7;
    EXPECT_FALSE(v4l2emu::parseFaultPlan(r.json, plan, error)) << r.json;
    EXPECT_EQ(error, r.error) << r.json;
    EXPECT_EQ(plan.pictureDelayMs, 7u) << "a refused plan changes nothing";
  }
}

}  // namespace
