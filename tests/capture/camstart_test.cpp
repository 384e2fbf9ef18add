// Starting the cameras' sources: routing to the RTSP receiver, the frame
// sink, the exit, and a receiver that cannot be built.
#include "capture/camstart.h"
#include "capture/opencv_play.h"
#include "core/startup_functions.h"
#include "tests/capture/start_fixture.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace kovira {
namespace {

using testing::CameraStartTest;
using Json = nlohmann::json;

// One camera of every kind the start-up must tell apart.
void addMixedCameras() {
  testing::configuredCamera(1, {{"source", "rtsp"}, {"url", "rtsp://127.0.0.1:8554/a"}, {"enabled", 1}});
  testing::configuredCamera(2, {{"source", "file"}, {"url", "video/road.mp4"}, {"fps", 12}, {"enabled", 1}});
  testing::configuredCamera(3, {{"source", "opencv"}, {"url", "x.mp4"}, {"enabled", 1}});
  testing::configuredCamera(4, {{"source", "rtsp"}, {"url", "rtsp://127.0.0.1:8554/off"}, {"enabled", 0}});
  testing::configuredCamera(5, {{"source", "basler"}, {"url", "usb"}, {"enabled", 1}});
  testing::configuredCamera(6, {{"source", "onvif"}, {"url", "rtsp://x"}, {"enabled", 1}});  // -> default
  // A part of the receiver's list is a receiver source, but neither branch.
  testing::configuredCamera(7, {{"source", "rtsp|file"}, {"url", "u"}, {"enabled", 1}});
}

// Binds UDP `port` of 127.0.0.1 on a fresh socket; 0 when it was free.
int bindLoopbackUdp(int fd, int port) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  return ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
}

std::vector<std::uint8_t> pattern(std::size_t n) {
  std::vector<std::uint8_t> bytes(n);
  for (std::size_t i = 0; i < n; ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
  return bytes;
}

TEST_F(CameraStartTest, ReceiverCamerasAreRoutedInRegistryOrderSubscribedAndDisconnectedAtExit) {
  addMixedCameras();
  auto calls = testing::installRecordingReceiver();
  EXPECT_FALSE(framesAllocated());
  frames::init_frames();
  EXPECT_TRUE(framesAllocated());
  // The sink is subscribed before any camera can deliver a frame.
  EXPECT_EQ(calls->calls, (std::vector<std::string>{"SimpleSubscribe", "AddSession 1",
                                                    "Connect 1 rtsp://127.0.0.1:8554/a", "AddSession 2",
                                                    "PlayFile 2 video/road.mp4 12"}));
  ASSERT_EQ(calls->callbacks.size(), 1u);
  EXPECT_EQ(calls->callbacks[0], &frames::catchrtsp);
  EXPECT_EQ(frames::createCameras(), 3);  // cameras 1, 2 and 7 count
  // The exit disconnects every session the receiver holds, whatever the
  // settings say by then (camera 1 disabled at run time).
  kovira::camera(1).enabled = 0;
  calls->calls.clear();
  frames::exit_frames();
  EXPECT_EQ(calls->calls, std::vector<std::string>{"DisconnectAll"});
}

TEST_F(CameraStartTest, WithoutReceiverCamerasTheReceiverIsNeverBuilt) {
  testing::configuredCamera(3, {{"source", "opencv"}, {"url", "x.mp4"}, {"enabled", 1}});
  testing::configuredCamera(4, {{"source", "rtsp"}, {"url", "rtsp://x"}, {"enabled", 0}});
  auto calls = testing::installRecordingReceiver();
  frames::init_frames();
  frames::exit_frames();
  EXPECT_EQ(calls->built, 0);
  EXPECT_TRUE(calls->calls.empty());
}

TEST_F(CameraStartTest, ReceiverThatCannotBindIsReportedAndStartUpGoesOn) {
  addMixedCameras();
  int attempts = 0;
  rtsp::replaceReceiverFactory([&attempts]() -> std::unique_ptr<RtspReceiver> {
    ++attempts;
    throw std::system_error(EADDRINUSE, std::generic_category(), "bind udp port 8000");
  });
  ::testing::internal::CaptureStdout();
  EXPECT_NO_THROW(frames::init_frames());
  const int atStart = attempts;
  EXPECT_NO_THROW(frames::exit_frames());
  const std::string out = ::testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[FAILURE] network cameras are not started: bind udp port 8000: "), std::string::npos) << out;
  EXPECT_TRUE(framesAllocated());
  EXPECT_GE(atStart, 1);
  // The exit builds no receiver just to disconnect it, and so reports nothing.
  EXPECT_EQ(attempts, atStart);
  EXPECT_EQ(out.find("[ERR] closing network cameras"), std::string::npos) << out;
}

// The product receiver holds UDP 8000 and 8001; a held port makes getrtsp
// throw, and a later call tries again.
TEST_F(CameraStartTest, ProductReceiverRefusesToStartOnAHeldPort) {
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(fd, 0);
  // When the bind fails, another process holds the port: just as good.
  (void)bindLoopbackUdp(fd, RtspReceiver::kRtpPort);
  rtsp::replaceReceiverFactory({});
  EXPECT_THROW(getrtsp(), std::system_error);
  EXPECT_THROW(getrtsp(), std::system_error);
  ::close(fd);
}

TEST_F(CameraStartTest, ProductReceiverHoldsItsPortsAndServesOnlyItsSessions) {
  testing::configuredCamera(1, {{"source", "rtsp"}, {"url", "rtsp://a"}, {"enabled", 1}});
  rtsp::replaceReceiverFactory({});
  RtspReceiver* receiver = nullptr;
  try {
    receiver = &getrtsp();
  } catch (const std::system_error& e) {
    FAIL() << "UDP ports of the receiver are in use here (each test that binds them needs a network namespace of its "
              "own: NSRUN --net): "
           << e.what();
  }
  EXPECT_EQ(&getrtsp(), receiver);  // built once
  const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
  EXPECT_NE(bindLoopbackUdp(fd, RtspReceiver::kRtcpPort), 0);
  ::close(fd);

  EXPECT_THROW(receiver->AddSession(42), std::logic_error);
  EXPECT_FALSE(receiver->Connect(1, "rtsp://a"));  // no session yet
  receiver->AddSession(1);
  receiver->AddSession(1);
  EXPECT_FALSE(receiver->Connect(1, "no url"));
  EXPECT_TRUE(receiver->PlayFile(1, "/nonexistent/f.mp4", 25));
  EXPECT_FALSE(receiver->PlayFile(1, "/nonexistent/f.mp4", 25));  // one playback per camera
  EXPECT_FALSE(receiver->Disconnect(2));
  rtsp::shutdownReceiver();  // joins the playback thread
}

TEST_F(CameraStartTest, FrameSinkStoresCopiesInEnabledCamerasOfThatIdOnly) {
  Camera& on = testing::configuredCamera(1, {{"source", "rtsp"}, {"url", "rtsp://a"}, {"enabled", 1}});
  Camera& off = testing::configuredCamera(2, {{"source", "rtsp"}, {"url", "rtsp://b"}, {"enabled", 0}});
  auto bytes = pattern(1000);
  frames::catchrtsp(1, FRAME_I, 1, 640, 480, 90000, bytes.data(), bytes.size());
  frames::catchrtsp(2, FRAME_I, 1, 640, 480, 90000, bytes.data(), bytes.size());
  frames::catchrtsp(9, FRAME_I, 1, 640, 480, 90000, bytes.data(), bytes.size());
  const auto expected = bytes;
  bytes.assign(bytes.size(), 0);  // the sink's data is valid only during the call

  EXPECT_TRUE(off.empty());
  auto rec = on.find(1);
  ASSERT_TRUE(rec.valid());
  EXPECT_EQ(std::make_tuple(rec->type, rec->ts, rec->width.load(), rec->height.load()),
            std::make_tuple(FRAME_I, 90000u, 640, 480));
  const FrameBytes stored = rec->liveBytes();
  ASSERT_EQ(stored.size, expected.size());
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), stored.data));
  EXPECT_FALSE(on.find(2).valid());
}

TEST_F(CameraStartTest, PlacedGreyFramesCarryTheirCaptureTimeAndWrongSizesAreDropped) {
  Camera& cam = testing::configuredCamera(3, {{"source", "opencv"}, {"url", "x.mp4"}, {"enabled", 1}});
  Camera& off = testing::configuredCamera(4, {{"source", "opencv"}, {"url", "x.mp4"}, {"enabled", 0}});
  const auto bytes = pattern(64 * 48);
  camreadcv::opencv_place(3, 64, 48, 1700000000, 123456, bytes.data(), bytes.size() - 1);
  EXPECT_TRUE(cam.empty());
  camreadcv::opencv_place(3, -64, -48, 1700000000, 123456, bytes.data(), bytes.size());
  EXPECT_TRUE(cam.empty());
  camreadcv::opencv_place(4, 64, 48, 1700000000, 123456, bytes.data(), bytes.size());
  EXPECT_TRUE(off.empty());

  camreadcv::opencv_place(3, 64, 48, 1700000000, 123456, bytes.data(), bytes.size());
  auto rec = cam.find(1);
  ASSERT_TRUE(rec.valid());
  EXPECT_EQ(std::make_tuple(rec->type, rec->ts, rec->sec.load(), rec->usec.load(), cam.width(), cam.height()),
            std::make_tuple(FRAME_GRAY8, 0u, 1700000000u, 123456u, 64, 48));
  EXPECT_EQ(rec->liveBytes().size, bytes.size());
}

// Capture times from the RTP clock: the camera's spacing is kept through
// arrival jitter, and a stamp too far from the wall clock re-anchors.
TEST(RtpFrameClock, KeepsTheCamerasSpacingAndReanchorsWhenItDrifts) {
  struct Step {
    std::uint32_t ts;
    std::int64_t nowUs;
    std::int64_t want;
  };
  const std::int64_t t0 = 1'700'000'000'000'000;
  const Step steps[] = {
      {4'294'960'000u, t0, t0},                        // anchors (close to the wrap)
      {4'294'963'600u, t0 + 90'000, t0 + 40'000},      // late arrival: 3600 ticks = 40 ms
      {2'304u, t0 + 81'000, t0 + 106'666},             // wrapped: 9600 ticks after the anchor
      {90'000u * 5, t0 + 5'000'000 + 1'500'000, t0 + 6'500'000},  // 1.5 s off: re-anchored
      {90'000u * 5 + 9'000, t0 + 6'500'000, t0 + 6'600'000},
      {90'000u * 5 - 90'000, t0 + 6'400'000, t0 + 5'500'000},     // 0.9 s behind: still within
  };
  frames::RtpFrameClock clock;
  for (const auto& s : steps) EXPECT_EQ(clock.stamp(s.ts, s.nowUs), s.want) << s.ts;
}

}  // namespace
}  // namespace kovira
