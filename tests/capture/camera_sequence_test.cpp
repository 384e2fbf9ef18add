// The camera registry, camera sections and frame sequences.
#include "capture/cam.h"
#include "capture/sequence.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <unistd.h>
#include <sys/wait.h>

namespace kovira {
namespace {

// Runs body in a child process (the registry is process-wide and never
// shrinks) and expects it to exit 0.
template <class Body>
void inChild(Body body) {
  const pid_t child = fork();
  ASSERT_NE(child, -1);
  if (child == 0) _exit(body());
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "status " << status;
}

// Ids used here are unique in this executable: the registry is process-wide.
FrameMetadata& add(Camera& cam, FrameType type, std::size_t size, std::uint8_t value = 1) {
  std::vector<std::uint8_t> bytes(size, value);
  return cam.cambuf->addFrame(320, 240, type, 0, bytes.data(), size);
}

TEST(CameraRegistry, UnknownIdThrows) {
  EXPECT_FALSE(hasCamera(4711));
  EXPECT_THROW(camera(4711), std::logic_error);
  Camera& added = addCamera(4711, 4096);
  EXPECT_TRUE(hasCamera(4711));
  EXPECT_EQ(&camera(4711), &added);
  EXPECT_EQ(added.bufsize, 4096u);
  EXPECT_TRUE(added.empty());
}

TEST(CameraRegistry, RefusesThe97thCameraWithoutMovingTheOthers) {
  inChild([] {
    const int start = 10000;
    while (cameras().size() < kMaxCameras) addCamera(start + static_cast<int>(cameras().size()), 0);
    Camera* firstBefore = &cameras().front();
    testing::internal::CaptureStdout();
    bool refused = false;
    try {
      addCamera(99999, 0);
    } catch (const std::logic_error& e) {
      refused = std::string(e.what()) == "camera registry is full [id=99999]";
    }
    const std::string out = testing::internal::GetCapturedStdout();
    const bool warned = out.rfind("[WARNING] ", 0) == 0 && out.find("99999") != std::string::npos;
    const bool stayed = &cameras().front() == firstBefore && cameras().size() == kMaxCameras;
    return (refused ? 0 : 1) | (warned ? 0 : 2) | (stayed ? 0 : 4);
  });
}

TEST(Camera, UpdConfigKeepsOnlyUsableSources) {
  Camera& cam = addCamera(4713, 4096);
  cam.updConfig({{"source", "rtsp|file"}, {"url", "x"}, {"enabled", 1}});
  EXPECT_EQ(cam.source, "rtsp|file") << "a part of the list text is accepted";
  EXPECT_EQ(cam.enabled, 1u);
  cam.updConfig({{"source", "webcam"}});
  EXPECT_EQ(cam.source, "default");
  EXPECT_EQ(cam.enabled, 0u);
  cam.updConfig({{"source", "file"}, {"url", ""}, {"enabled", 1}});
  EXPECT_EQ(cam.source, "default");
  EXPECT_EQ(cam.enabled, 0u);
  cam.updConfig({{"source", "basler"}, {"url", "cam0"}, {"enabled", 1}, {"zoom", 3}, {"fps", 12}});
  EXPECT_EQ(cam.source, "basler");
  EXPECT_TRUE(cam.raw());
  EXPECT_EQ(cam.fps, 12u);
  EXPECT_EQ(cam.zoom, 0.0f) << "zoom is not read from the section";
  testing::internal::CaptureStdout();
  EXPECT_FALSE(cam.updConfig({{"fps", "fast"}, {"enabled", -1}, {"url", 5}}));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("[WARNING] "), std::string::npos);
  EXPECT_EQ(cam.fps, 12u);
  EXPECT_EQ(cam.enabled, 1u);
  EXPECT_EQ(cam.url, "cam0");
  EXPECT_FALSE(cam.updConfig(nlohmann::json::array()));
}

TEST(Camera, UrlOptions) {
  Camera& cam = addCamera(4714, 4096);
  cam.url = "rtsp://h/s?tcp=1&x=2 gop=25,fps=+12;name=a%20b";
  EXPECT_EQ(cam.extra("gop", 0), 25);
  EXPECT_EQ(cam.extra("fps", 0), 12);
  EXPECT_EQ(cam.extra("tcp", std::string("-")), "1&x=2");
  EXPECT_EQ(cam.extra("name", std::string("-")), "a%20b");
  EXPECT_EQ(cam.extra("missing", 7), 7);
  EXPECT_EQ(cam.extra("missing", std::string("d")), "d");
  std::string value;
  EXPECT_FALSE(Camera::extra("novalue", "x", value));
  cam.url = "n=abc m=99999999999";
  EXPECT_THROW(cam.extra("n", 0), std::invalid_argument);
  EXPECT_THROW(cam.extra("m", 0), std::out_of_range);
}

TEST(Camera, SizeAndMeasuredFrameRate) {
  Camera& cam = addCamera(4715, 1 << 20);
  EXPECT_EQ(cam.width(), 0);
  FrameMetadata& first = add(cam, FRAME_GRAY8, 10);
  EXPECT_EQ(cam.width(), 320);
  first.width = 640;
  add(cam, FRAME_GRAY8, 10).width = 800;
  EXPECT_EQ(cam.width(), 640) << "the second-newest record";
  for (int i = 2; i < 99; ++i) add(cam, FRAME_GRAY8, 10);
  EXPECT_EQ(cam.realfps(), 0.0f) << "99 records";
  for (int i = 99; i < 3000; ++i) add(cam, FRAME_GRAY8, 10);
  for (std::uint32_t i = 1; i <= 3000; ++i) {
    auto it = cam.find(i);
    it->sec = 1000 + i / 25;
    it->usec = (i % 25) * 40000;
  }
  EXPECT_NEAR(cam.realfps(), 25.0f, 0.01f);
  for (std::uint32_t i = 1; i <= 3000; ++i) cam.find(i)->usec = 0, cam.find(i)->sec = 5;
  EXPECT_EQ(cam.realfps(), 0.0f) << "one capture time for all frames";
}

TEST(FrameSequence, GroupBeforeAKeyFrameWrapIsCopiedAlone) {
  Camera& cam = addCamera(4722, 36 * 1024);  // capacity 40960
  add(cam, FRAME_GRAY8, 22000, 7);  // [0, 22000)
  add(cam, FRAME_I, 8000, 1);       // [22000, 30000)
  add(cam, FRAME_P, 10000, 2);      // [30000, 40000)
  add(cam, FRAME_I, 2000, 3);       // does not fit: wraps over the grey frame only
  findUnprocSeq(4722).setFlags(FRAME_DEC);  // the grey frame
  FrameSequence seq = findUnprocSeq(4722);
  ASSERT_TRUE(seq.valid());
  ASSERT_TRUE(seq.data) << "the group is not lost";
  EXPECT_EQ(seq.first, 2u);
  EXPECT_EQ(seq.size, 18000u);
  EXPECT_EQ(seq.data[17999], 2);
}

// A group whose closing key frame is larger than the ring cannot be copied
// and is handed out without data; a group is never refused for its bytes
// (the decoder takes one frame at a time).
TEST(FrameSequence, UncopiableGroupsHaveNoDataLargeOnesAreCopied) {
  Camera& cam = addCamera(4723, 8192);
  add(cam, FRAME_I, 1000);
  add(cam, FRAME_P, 100);
  add(cam, FRAME_I, 50000);
  FrameSequence seq = findUnprocSeq(4723);
  EXPECT_TRUE(seq.valid());
  EXPECT_FALSE(seq.data);

  Camera& big = addCamera(4725, 40 << 20);
  add(big, FRAME_I, 4 << 20);
  add(big, FRAME_P, 4 << 20);
  add(big, FRAME_P, 16);
  add(big, FRAME_I, 16);
  testing::internal::CaptureStdout();
  FrameSequence large = findUnprocSeq(4725);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(large.valid());
  ASSERT_TRUE(large.data);
  EXPECT_EQ(large.size, (8u << 20) + 32);
}

TEST(FrameSequence, TwoHundredFramesAreCopiedAndTwoHundredOneAreReportedOnce) {
  Camera& cam = addCamera(4724, 4 << 20);
  auto group = [&](int frames) {
    add(cam, FRAME_I, 100);
    for (int i = 1; i < frames; ++i) add(cam, FRAME_P, 10);
  };
  group(200);
  group(201);
  group(201);
  add(cam, FRAME_I, 100);
  FrameSequence ok = findUnprocSeq(4724);
  ASSERT_EQ(ok.frames(), 200u);
  EXPECT_TRUE(ok.data);
  ok.setFlags(FRAME_DEC);
  testing::internal::CaptureStdout();
  FrameSequence tooLong = findUnprocSeq(4724);
  EXPECT_EQ(tooLong.frames(), 201u);
  EXPECT_TRUE(tooLong.valid());
  EXPECT_FALSE(tooLong.data);
  tooLong.setFlags(FRAME_DEC);
  EXPECT_FALSE(findUnprocSeq(4724).data);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out.find("[WARNING] camera 4724"), 0u);
  EXPECT_EQ(out.find("[WARNING]", 1), std::string::npos) << "reported once";
}

TEST(FrameSequence, GetSequenceAndSetFlags) {
  Camera& cam = addCamera(4726, 1 << 20);
  add(cam, FRAME_I, 100, 1);  // 1
  add(cam, FRAME_P, 10, 2);   // 2
  add(cam, FRAME_I, 100, 3);  // 3
  add(cam, FRAME_P, 10, 4);   // 4
  add(cam, FRAME_P, 10, 5);   // 5
  FrameSequence closed = getSequence(cam, 2);
  EXPECT_EQ(closed.first, 1u);
  EXPECT_EQ(closed.end, 3u);
  EXPECT_TRUE(closed.data);
  FrameSequence open = getSequence(cam, 4);
  EXPECT_EQ(open.first, 3u);
  EXPECT_EQ(open.end, 5u);  // up to the frame before the newest
  ASSERT_TRUE(open.data);
  EXPECT_EQ(open.size, 110u);
  EXPECT_FALSE(getSequence(cam, 99).valid());

  // The key frame evicted: no sequence; flags go to the retained rest only.
  Camera& long_ = addCamera(4727, 1 << 20);
  add(long_, FRAME_I, 16);
  for (int i = 0; i < 20009; ++i) add(long_, FRAME_P, 1);
  EXPECT_FALSE(getSequence(long_, 100).valid());
  FrameSequence seq;
  seq.cam = 4727;
  seq.first = 1;
  seq.end = 20;
  seq.setFlags(FRAME_SKIP);
  EXPECT_TRUE(long_.find(11)->hasFlags(FRAME_SKIP));
  EXPECT_TRUE(long_.find(19)->hasFlags(FRAME_SKIP));
  EXPECT_FALSE(long_.find(20)->hasFlags(FRAME_SKIP));
}

}  // namespace
}  // namespace kovira
