// Evidence reading frames in place from a real camera frame store, and the
// report's device fields from a real configuration.
#include "capture/cam.h"
#include "config/config.h"
#include "evidence/frameaccess.h"
#include "evidence/xmlreport.h"
#include "tests/support/text.h"
#include "tests/support/timezone.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <vector>

namespace {

using kovira::Camera;

using testsupport::stdoutOf;

// A camera whose ring holds twelve 40 x 25 grey frames (12288 bytes).
class CameraFrames : public testing::Test {
 protected:
  static constexpr int kW = 40;
  static constexpr int kH = 25;
  static constexpr std::size_t kSize = kW * kH;

  void SetUp() override {
    kovira::cameras().clear();
    cam = &kovira::addCamera(1, 8192);
    ASSERT_EQ(cam->cambuf->bytes().capacity, 12288u);
  }
  void TearDown() override { kovira::cameras().clear(); }

  // Frame n holds bytes n, n+1, ... and capture time sec/usec.
  void addGrey(std::uint8_t n, std::uint32_t sec = 0, std::uint32_t usec = 0) {
    std::vector<std::uint8_t> bytes(kSize);
    for (std::size_t i = 0; i < kSize; ++i) bytes[i] = static_cast<std::uint8_t>(n + i);
    auto& rec = cam->cambuf->addFrame(kW, kH, FRAME_GRAY8, 0, bytes.data(), bytes.size());
    rec.sec = sec;
    rec.usec = usec;
  }

  Camera* cam = nullptr;
};

TEST_F(CameraFrames, GreyFrameIsCopiedWithItsPixels) {
  for (std::uint8_t n = 1; n <= 3; ++n) addGrey(n);
  cv::Mat out;
  ASSERT_TRUE(getframe(*cam, 2, out));
  const auto rec = cam->find(2);
  EXPECT_NE(out.data, rec->liveBytes().data);  // a private copy
  EXPECT_EQ(out.size(), cv::Size(kW, kH));
  EXPECT_EQ(out.at<std::uint8_t>(0, 0), 2);
  EXPECT_EQ(out.at<std::uint8_t>(1, 0), static_cast<std::uint8_t>(2 + kW));
}

TEST_F(CameraFrames, FramesGoneOrAboutToBeOverwrittenAreRefused) {
  // Thirteen frames: the 13th wraps to the ring's start and overwrites
  // frame 1; frames 2 to 4 lie right in front of the writer.
  for (std::uint8_t n = 1; n <= 13; ++n) addGrey(n);
  cv::Mat out;
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(*cam, 1, out)); }), "[ERR] кадр уже устарел: 1\n");
  EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(*cam, 500, out)); }), "[ERR] кадр уже устарел: 500\n");
  for (unsigned near : {2u, 3u, 4u}) {
    EXPECT_EQ(stdoutOf([&] { EXPECT_FALSE(getframe(*cam, near, out)); }),
              "[ERR] кадр уже устарел (повторная проверка): " + std::to_string(near) + "\n");
  }
  EXPECT_TRUE(out.empty());
  for (unsigned far : {5u, 12u, 13u}) {
    ASSERT_TRUE(getframe(*cam, far, out)) << far;
    EXPECT_EQ(out.at<std::uint8_t>(0, 0), far);
  }
}

TEST_F(CameraFrames, CaptureTimeOfAStoredFrame) {
  testsupport::ScopedTimeZone utc("UTC0");
  addGrey(1, 1700000000, 45999);
  EXPECT_EQ(framedate(*cam, "%Y-%m-%d %H:%M:%S", 1), "2023-11-14 22:13:20.045");
  EXPECT_EQ(framedate(*cam, "%H:%M:%S", 2), "");
}

TEST(XmlReportFromConfiguration, DeviceFieldsComeFromTheGlobalSection) {
  char pattern[] = "/tmp/kovira-xmlcfg-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  const std::filesystem::path dir = pattern;
  kovira::IdentityPaths identity;
  identity.kovira = (dir / "kovira.conf").string();
  identity.skygateway = (dir / "skygateway.conf").string();
  const auto path = dir / "cfg.json";
  std::ofstream(path) << R"([{"type": "global", "serial": "SN-042", "address": "ул. Баумана, 1",
    "devname": "KV-7", "certificate": "2025-01-31 AB123", "verification": "2026-02-28 V-77",
    "manufacturer": "Завод"}])";
  kovira::GlobalConfig cfg(identity);
  ASSERT_TRUE(cfg.read(path.string()));
  cfg.codeloc = "45286555";

  XmlReport report;
  EXPECT_TRUE(report.set(cfg));
  const std::string xml(report.data(), report.size());
  for (const char* field :
       {"<tCertificateNumber>V-77</tCertificateNumber>", "<tCertificateExpDate>2026-02-28</tCertificateExpDate>",
        "<tApprovalCertificateNumber>AB123</tApprovalCertificateNumber>",
        "<tApprovalCertificateExpDate>2025-01-31</tApprovalCertificateExpDate>",
        "<tDeviceSerial>SN-042</tDeviceSerial>", "<tLocationCode>45286555</tLocationCode>",
        "<tSensorName>ул. Баумана, 1</tSensorName>", "<tRadarName>KV-7</tRadarName>", "<CamMadeBy>Завод</CamMadeBy>"})
    EXPECT_NE(xml.find(field), std::string::npos) << field << "\n" << xml;

  std::filesystem::remove_all(dir);
}

}  // namespace
