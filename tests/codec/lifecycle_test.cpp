// Plane set-up and tear-down while threads queue and dequeue: run under
// ThreadSanitizer by run_tsan.sh, and as a plain unit test.
#include "codec/nvvideoconverter.h"
#include "codec/v4tvideoparser.h"
#include "platform/nvv4l2_ext.h"
#include "platform/v4l2emu/v4l2emu.h"
#include "tests/codec/h264_fixture.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <cstring>
#include <memory>
#include <thread>

namespace {

bool countDequeued(v4l2_buffer* buf, NvBuffer*, NvBuffer*, void* data) {
  if (buf) ++*static_cast<std::atomic<int>*>(data);
  return buf != nullptr;
}

TEST(PlaneLifecycle, DequeueThreadEndsWhenTheQueueStops) {
  for (int round = 0; round < 5; ++round) {
    std::unique_ptr<NvVideoConverter> conv(NvVideoConverter::createVideoConverter("conv"));
    ASSERT_TRUE(conv);
    ASSERT_EQ(conv->setOutputPlaneFormat(nvv4l2::kFmtGREY, 64, 48, nvv4l2::kLayoutPitch), 0);
    ASSERT_EQ(conv->setCapturePlaneFormat(nvv4l2::kFmtAR24, 64, 48, nvv4l2::kLayoutPitch), 0);
    ASSERT_EQ(conv->output_plane.setupPlane(V4L2_MEMORY_MMAP, 3, true, false), 0);
    ASSERT_EQ(conv->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 3, true, false), 0);
    ASSERT_EQ(conv->output_plane.setStreamStatus(true), 0);
    ASSERT_EQ(conv->capture_plane.setStreamStatus(true), 0);
    std::atomic<int> converted{0};
    ASSERT_TRUE(conv->capture_plane.setDQThreadCallback(countDequeued));
    ASSERT_EQ(conv->capture_plane.startDQThread(&converted), 0);
    for (std::uint32_t i = 0; i < 3; ++i) {
      v4l2_buffer b{};
      v4l2_plane planes[MAX_PLANES]{};
      b.index = i;
      b.m.planes = planes;
      ASSERT_EQ(conv->capture_plane.qBuffer(b, nullptr), 0);
      NvBuffer* in = conv->output_plane.getNthBuffer(i);
      std::memset(in->planes[0].data, 100, in->planes[0].fmt.stride * 48);
      in->planes[0].bytesused = in->planes[0].fmt.stride * 48;
      v4l2_buffer ib{};
      v4l2_plane ip[MAX_PLANES]{};
      ib.index = i;
      ib.m.planes = ip;
      ASSERT_EQ(conv->output_plane.qBuffer(ib, nullptr), 0);
    }
    for (int i = 0; i < 3; ++i) {
      v4l2_buffer b{};
      v4l2_plane planes[MAX_PLANES]{};
      b.m.planes = planes;
      b.length = MAX_PLANES;
      ASSERT_EQ(conv->output_plane.dqBuffer(b, nullptr, nullptr, 0xFFFFFFFFu), 0);
    }
    ASSERT_EQ(conv->output_plane.waitAllBuffersDequeued(5000), 0);
    EXPECT_EQ(conv->waitForIdle(5000), 0);
    // Tear-down stops the stream under the running dequeue thread.
    conv->capture_plane.deinitPlane();
    conv->output_plane.deinitPlane();
    EXPECT_EQ(converted.load(), 3);
  }
}

// waitForIdle: 0 once every queued picture came out, -1 when the deadline
// passes first, -2 as soon as the capture side stops streaming (a waiter is
// woken by the stop, not left to its deadline).
TEST(PlaneLifecycle, WaitForIdleTellsATimeOutFromAStoppedCaptureSide) {
  std::unique_ptr<NvVideoConverter> conv(NvVideoConverter::createVideoConverter("conv"));
  ASSERT_TRUE(conv);
  ASSERT_EQ(conv->setOutputPlaneFormat(nvv4l2::kFmtGREY, 64, 48, nvv4l2::kLayoutPitch), 0);
  ASSERT_EQ(conv->setCapturePlaneFormat(nvv4l2::kFmtAR24, 64, 48, nvv4l2::kLayoutPitch), 0);
  ASSERT_EQ(conv->output_plane.setupPlane(V4L2_MEMORY_MMAP, 2, true, false), 0);
  ASSERT_EQ(conv->capture_plane.setupPlane(V4L2_MEMORY_MMAP, 2, true, false), 0);
  ASSERT_EQ(conv->output_plane.setStreamStatus(true), 0);
  ASSERT_EQ(conv->capture_plane.setStreamStatus(true), 0);
  EXPECT_EQ(conv->waitForIdle(10), 0);  // nothing queued
  // One picture in, no capture buffer to convert it into: never idle.
  NvBuffer* in = conv->output_plane.getNthBuffer(0);
  std::memset(in->planes[0].data, 100, in->planes[0].fmt.stride * 48);
  in->planes[0].bytesused = in->planes[0].fmt.stride * 48;
  v4l2_buffer ib{};
  v4l2_plane ip[MAX_PLANES]{};
  ib.index = 0;
  ib.m.planes = ip;
  ASSERT_EQ(conv->output_plane.qBuffer(ib, nullptr), 0);
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(conv->waitForIdle(50), -1);
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(50));

  auto answer = std::async(std::launch::async, [&] { return conv->waitForIdle(60000); });
  EXPECT_EQ(answer.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);  // still waiting
  EXPECT_EQ(conv->capture_plane.setStreamStatus(false), 0);
  EXPECT_EQ(answer.wait_for(std::chrono::seconds(20)), std::future_status::ready)
      << "the waiter slept on after the stop";
  EXPECT_EQ(answer.get(), -2);
  EXPECT_EQ(conv->waitForIdle(60000), -2);  // at once while stopped
  conv->capture_plane.deinitPlane();
  conv->output_plane.deinitPlane();
}

TEST(PlaneLifecycle, ParsersComeAndGoWithoutLeaks) {
  const auto s = fixture::encode(160, 128, 11, 5);
  const auto bytes = s.slice(0, 5);
  const int before = fixture::openDescriptors();
  for (int round = 0; round < 3; ++round) {
    V4TVideoParser parser;
    for (int fourcc : {nvv4l2::kFmtNM12, nvv4l2::kFmtAR24, nvv4l2::kFmtNM12}) {
      std::lock_guard lk(parser.mutex);
      int pictures = 0;
      parser.callback = [&](int, int, V4TVideoParserPlane*, int) { ++pictures; };
      EXPECT_EQ(parser.parse(bytes.data(), bytes.size(), fourcc), static_cast<int>(bytes.size()));
      EXPECT_GE(pictures, 4);
    }
  }
  EXPECT_EQ(fixture::openDescriptors(), before);
  EXPECT_EQ(v4l2emu::openInstances(), 0);
}

}  // namespace
