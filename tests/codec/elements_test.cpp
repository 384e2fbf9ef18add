// The codec element classes: failure tables, preconditions and buffers.
#include "codec/nvbuffer.h"
#include "codec/nvdevice.h"
#include "codec/nvlogging.h"
#include "codec/nvvideoconverter.h"
#include "codec/nvvideodecoder.h"
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cerrno>
#include <memory>
#include <string>

namespace {

// An element on an arbitrary path (the factories fix theirs).
class PathElement : public NvV4l2Element {
 public:
  PathElement(const char* name, const char* path) : NvV4l2Element(name, path, 0, 9) {}
  int pixfmts() const { return static_cast<int>(output_plane_pixfmt | capture_plane_pixfmt); }
  void setOutputPixfmt(std::uint32_t f) { output_plane_pixfmt = f; }
};

class LogLevel {
 public:
  explicit LogLevel(int level) : old_(log_level.exchange(level)) {}
  ~LogLevel() { log_level = old_; }

 private:
  int old_;
};

class Elements : public ::testing::Test {
 protected:
  void TearDown() override { v4l2emu::clearFaults(); }
};

TEST_F(Elements, UnusableDevicesLeaveAnElementInError) {
  {
    PathElement e("missing", "/dev/kovira-no-such-node");
    EXPECT_NE(e.isInError(), 0);
    EXPECT_EQ(e.getFd(), -1);
  }
  {
    LogLevel lv(1);
    testing::internal::CaptureStderr();
    PathElement e("null", "/dev/null");
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(e.isInError(), 0);
    EXPECT_GE(e.getFd(), 0);
    EXPECT_NE(err.find("<null> Error in VIDIOC_QUERYCAP: "), std::string::npos) << err;
  }
  // A device that is no memory-to-memory device: refused, its descriptor closed.
  v4l2emu::setFaults({.noM2M = true});
  const int before = v4l2emu::openInstances();
  EXPECT_EQ(NvVideoDecoder::createVideoDecoder("dec"), nullptr);
  EXPECT_EQ(v4l2emu::openInstances(), before);
}

TEST_F(Elements, DecoderFormatsAndControlPreconditions) {
  std::unique_ptr<NvVideoDecoder> dec(NvVideoDecoder::createVideoDecoder("dec"));
  ASSERT_TRUE(dec);
  v4l2emu::clearControlLog();
  EXPECT_EQ(dec->enableMetadataReporting(), -1);  // before formats
  EXPECT_EQ(dec->disableCompleteFrameInputBuffer(), 0);
  EXPECT_EQ(dec->setOutputPlaneFormat(nvv4l2::kFmtNM12, 1 << 20), -1);
  EXPECT_EQ(dec->setOutputPlaneFormat(nvv4l2::kFmtH265, 1 << 20), 0);
  EXPECT_EQ(dec->setOutputPlaneFormat(nvv4l2::kFmtH264, 1 << 20), 0);
  EXPECT_EQ(dec->disableCompleteFrameInputBuffer(), -1);  // after formats
  EXPECT_EQ(dec->setCapturePlaneFormat(nvv4l2::kFmtAR24, 320, 240), -1);
  EXPECT_EQ(dec->output_plane.setupPlane(V4L2_MEMORY_MMAP, 1, true, false), 0);
  EXPECT_EQ(dec->enableMetadataReporting(), 0);  // only one plane has buffers
  EXPECT_EQ(dec->setSkipFrames(0), 0);
  EXPECT_EQ(dec->setCapturePlaneFormat(nvv4l2::kFmtNM12, 320, 240), 0);
  EXPECT_EQ(dec->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 4, false, false), 0);
  EXPECT_EQ(dec->enableMetadataReporting(), -1);  // both planes have buffers
  int minBuffers = 0;
  EXPECT_EQ(dec->getMinimumCapturePlaneBuffers(minBuffers), 0);
  EXPECT_GT(minBuffers, 0);
  EXPECT_EQ(v4l2emu::controlLog().size(), 3u);  // only the accepted controls went out
  EXPECT_EQ(dec->isInError(), 0);
}

TEST_F(Elements, ConverterLayoutControlsOnlyBeforeBothPlanesHaveBuffers) {
  std::unique_ptr<NvVideoConverter> conv(NvVideoConverter::createVideoConverter("conv"));
  ASSERT_TRUE(conv);
  EXPECT_EQ(conv->setOutputPlaneFormat(nvv4l2::kFmtNM12, 320, 240, nvv4l2::kLayoutBlockLinear), 0);
  EXPECT_EQ(conv->setCapturePlaneFormat(nvv4l2::kFmtXR24, 320, 240, nvv4l2::kLayoutPitch), -1);
  EXPECT_EQ(conv->setCapturePlaneFormat(nvv4l2::kFmtAR24, 320, 240, nvv4l2::kLayoutPitch), 0);
  EXPECT_EQ(conv->output_plane.setupPlane(V4L2_MEMORY_DMABUF, 2, false, false), 0);
  EXPECT_EQ(conv->setFlipMethod(0), 0);
  EXPECT_EQ(conv->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 2, true, false), 0);
  EXPECT_EQ(conv->setFlipMethod(0), -1);
  EXPECT_EQ(conv->setCropRect(0, 0, 320, 240), 0);
  // Nothing queued: idle at once; a stopped capture side answers -2.
  EXPECT_EQ(conv->capture_plane.setStreamStatus(true), 0);
  EXPECT_EQ(conv->waitForIdle(10), 0);
  EXPECT_EQ(conv->capture_plane.setStreamStatus(false), 0);
  EXPECT_EQ(conv->waitForIdle(10), 0);
  // A picture queued and never converted (capture side stopped).
  NvBuffer* b = conv->capture_plane.getNthBuffer(0);
  ASSERT_NE(b, nullptr);
  EXPECT_NE(b->planes[0].data, nullptr);
  EXPECT_GE(b->planes[0].fmt.stride, 320u * 4);
}

TEST_F(Elements, PlaneRefusesUnknownMemoryAndOutOfRangeIndex) {
  std::unique_ptr<NvVideoConverter> conv(NvVideoConverter::createVideoConverter("conv"));
  ASSERT_TRUE(conv);
  EXPECT_EQ(conv->output_plane.reqbufs(static_cast<v4l2_memory>(3), 1), -1);
  EXPECT_EQ(conv->setOutputPlaneFormat(nvv4l2::kFmtGREY, 64, 64, nvv4l2::kLayoutPitch), 0);
  EXPECT_EQ(conv->output_plane.setupPlane(V4L2_MEMORY_USERPTR, 2, false, true), 0);
  EXPECT_EQ(conv->output_plane.getNthBuffer(2), nullptr);
  v4l2_buffer b{};
  v4l2_plane planes[MAX_PLANES]{};
  b.index = 5;
  b.m.planes = planes;
  EXPECT_EQ(conv->output_plane.qBuffer(b, nullptr), -1);
  EXPECT_EQ(conv->isInError(), 0);
  EXPECT_EQ(conv->abort(), 0);  // nothing streams: "Already in STREAMOFF"
}

TEST_F(Elements, ExportedBuffersShareMemoryAndAFailedMapUndoes) {
  std::unique_ptr<NvVideoConverter> conv(NvVideoConverter::createVideoConverter("conv"));
  ASSERT_TRUE(conv);
  ASSERT_EQ(conv->setCapturePlaneFormat(nvv4l2::kFmtNM12, 320, 240, nvv4l2::kLayoutPitch), 0);
  ASSERT_EQ(conv->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 2, true, false), 0);
  NvBuffer* b = conv->capture_plane.getNthBuffer(1);
  ASSERT_NE(b, nullptr);
  ASSERT_EQ(b->n_planes, 2u);
  EXPECT_EQ(b->planes[0].fmt.stride, 512u);  // stride is not the width
  void* other = mmap(nullptr, b->planes[1].length, PROT_READ, MAP_SHARED, b->planes[1].fd, 0);
  ASSERT_NE(other, MAP_FAILED);
  b->planes[1].data[7] = 0x5A;
  EXPECT_EQ(static_cast<unsigned char*>(other)[7], 0x5A);
  munmap(other, b->planes[1].length);
  EXPECT_EQ(b->map(), 0);  // already mapped
  conv->capture_plane.deinitPlane();

  v4l2emu::setFaults({.device = "vic", .readOnlyExportIndex = 1});
  std::unique_ptr<NvVideoConverter> ro(NvVideoConverter::createVideoConverter("conv"));
  ASSERT_TRUE(ro);
  ASSERT_EQ(ro->setCapturePlaneFormat(nvv4l2::kFmtNM12, 320, 240, nvv4l2::kLayoutPitch), 0);
  EXPECT_EQ(ro->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 2, true, false), -1);
  EXPECT_EQ(ro->capture_plane.getNumBuffers(), 0u);  // set-up undone
  EXPECT_NE(ro->isInError(), 0);
}

TEST_F(Elements, FailedRequestsReportAndSetTheErrorFlag) {
  v4l2emu::setFaults({.device = "vic", .failRequest = VIDIOC_STREAMON, .failNth = 1});
  std::unique_ptr<NvVideoConverter> conv(NvVideoConverter::createVideoConverter("conv"));
  ASSERT_TRUE(conv);
  LogLevel lv(3);
  testing::internal::CaptureStderr();
  EXPECT_NE(conv->output_plane.setStreamStatus(true), 0);
  EXPECT_FALSE(conv->output_plane.getStreamStatus());
  EXPECT_EQ(conv->output_plane.setStreamStatus(true), 0);
  const std::string err = testing::internal::GetCapturedStderr();
  EXPECT_NE(err.find("<conv> Output Plane:Error in STREAMON: Input/output error"), std::string::npos) << err;
  EXPECT_NE(conv->isInError(), 0);
}

TEST(Buffers, PlaneLayoutTable) {
  std::uint32_t n = 0;
  NvBuffer::NvBufferPlaneFormat f[MAX_PLANES]{};
  ASSERT_EQ(NvBuffer::fill_buffer_plane_format(&n, f, 1920, 1080, nvv4l2::kFmtNM12), 0);
  EXPECT_EQ(n, 2u);
  EXPECT_EQ(f[1].width, 960u);
  EXPECT_EQ(f[1].height, 540u);
  EXPECT_EQ(f[1].bytesperpixel, 2u);
  ASSERT_EQ(NvBuffer::fill_buffer_plane_format(&n, f, 1281, 721, nvv4l2::kFmtYM12), 0);
  EXPECT_EQ(n, 3u);
  EXPECT_EQ(f[2].width, 640u);
  EXPECT_EQ(f[2].height, 360u);
  n = 99;
  EXPECT_EQ(NvBuffer::fill_buffer_plane_format(&n, f, 64, 64, nvv4l2::kFmtXR24), -1);
  EXPECT_EQ(n, 99u);
}

}  // namespace
