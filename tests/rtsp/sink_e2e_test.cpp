// rtpsink against real senders: ffmpeg's RTP muxer (FU-A, STAP-A, sender
// reports) with an x264 stream, and GStreamer's JPEG payloader. Both bind
// the ports registered for the camera, as a camera answering SETUP would.
#include "tests/codec/h264_fixture.h"
#include "tests/evidence/shell_helpers.h"
#include "tests/rtsp/rtp_support.h"
#include "tests/support/process.h"

#include <gtest/gtest.h>
#include <opencv2/imgcodecs.hpp>

#include <csignal>
#include <fstream>
#include <iterator>
#include <regex>

namespace {

using testsupport::ChildProcess;

std::vector<unsigned char> readAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), {}};
}

// Runs rtpsink for one camera while sender runs; returns its output.
std::string sink(const std::string& cam, const std::string& out, const std::string& sender) {
  ChildProcess rtpsink({testsupport::binaryPath("rtpsink"), "--cam", cam, "--out", out, "--seconds", "120"});
  EXPECT_TRUE(rtpsink.waitForOutput("listening on 8000/8001", std::chrono::seconds(20))) << rtpsink.err();
  const auto sent = evtest::run(sender);
  EXPECT_EQ(sent.status, 0) << sent.output;
  rtpsink.signal(SIGINT);
  EXPECT_EQ(rtpsink.wait(std::chrono::seconds(30)), 0) << rtpsink.err();
  return rtpsink.out();
}

std::vector<unsigned> frameSizes(const std::string& out, const std::string& type) {
  std::vector<unsigned> sizes;
  const std::regex line("frame cam=1 type=" + type + " size=([0-9]+) ");
  for (std::sregex_iterator it(out.begin(), out.end(), line), end; it != end; ++it)
    sizes.push_back(static_cast<unsigned>(std::stoul((*it)[1])));
  return sizes;
}

TEST(rtsp_sink, FfmpegH264StreamArrivesUnitForUnit) {
  evtest::ScratchDir dir("rtsp-sink-h264");
  const auto stream = fixture::encode(640, 480, 100, 25);
  const std::string file = rtsptest::writeFile(dir.path() / "s.h264", stream.bytes);
  const std::string got = dir.path() / "cam1.h264";
  const std::string out = sink("1:h264:96:127.0.0.1:27000:27001", got,
                               "ffmpeg -nostdin -v error -re -i " + file +
                                   " -c copy -f rtp 'rtp://127.0.0.1:8000?localrtpport=27000&localrtcpport=27001'");
  EXPECT_NE(out.find("cam 1 frames=100 dropframes=0 "), std::string::npos) << out;
  // Every access unit as in the file, start codes written with 4 bytes.
  EXPECT_EQ(readAll(got), rtsptest::fourByteStartCodes(stream.bytes));
  EXPECT_EQ(frameSizes(out, "I").size(), 4u);
  EXPECT_NE(out.find(" 640x480 "), std::string::npos);
  // ffmpeg's sender reports give the frames NTP times.
  EXPECT_EQ(out.find("ntp=0.000000"), std::string::npos) << out.substr(0, 2000);
  const auto decoded = evtest::run("ffmpeg -nostdin -v error -i " + got + " -f null -");
  EXPECT_EQ(decoded.status, 0) << decoded.output;
  EXPECT_EQ(decoded.output, "");
}

TEST(rtsp_sink, GstreamerJpegPicturesDecode) {
  evtest::ScratchDir dir("rtsp-sink-jpeg");
  const std::string got = dir.path() / "cam1.mjpeg";
  // The payloader takes 4:2:0 or 4:2:2 pictures only.
  const std::string out = sink("1:jpeg:26:127.0.0.1:27002:0", got,
                               "gst-launch-1.0 -q videotestsrc is-live=true num-buffers=250 ! "
                               "video/x-raw,format=I420,width=640,height=480 ! jpegenc ! rtpjpegpay ! "
                               "udpsink host=127.0.0.1 port=8000 bind-port=27002");
  EXPECT_NE(out.find("cam 1 frames=250 dropframes=0 "), std::string::npos) << out.substr(out.size() > 400 ? out.size() - 400 : 0);
  const auto bytes = readAll(got);
  std::size_t at = 0;
  int decoded = 0;
  for (unsigned size : frameSizes(out, "MJPEG")) {
    ASSERT_LE(at + size, bytes.size());
    const cv::Mat picture =
        cv::imdecode(std::vector<unsigned char>(bytes.begin() + static_cast<std::ptrdiff_t>(at),
                                                bytes.begin() + static_cast<std::ptrdiff_t>(at + size)),
                     cv::IMREAD_COLOR);
    decoded += !picture.empty() && picture.cols == 640 && picture.rows == 480;
    at += size;
  }
  EXPECT_EQ(decoded, 250);
}

}  // namespace
