// The industrial camera's driver against the library stand-in: the open
// sequence, failures at every step, frames with their chunk values in the
// store, fallbacks of the settings and the connection's limits.
#include "capture/usbcam.h"
#include "tests/capture/usbcam_fixture.h"

#include <string>
#include <vector>

namespace kovira::testing {
namespace {

using usb3cam::Fault;

// Whatever a connection took from the library it gave back.
void expectNothingHeld() {
  const usb3cam::Counters c = usb3cam::counters();
  EXPECT_EQ(std::vector<int>({c.devices, c.grabbers, c.buffers, c.parsers, c.invalidHandles}), std::vector<int>(5, 0));
}

TEST_F(UsbCamTest, OpenWritesTheSettingsInOrder) {
  {
    BaslerCamera camera(baslerConfig());
    ASSERT_TRUE(camera.open());
    const std::vector<std::string> expected = {
        "PixelFormat=Mono8", "TriggerSelector=FrameBurstStart", "TriggerMode=Off", "TriggerSelector=FrameStart",
        "TriggerMode=Off", "AcquisitionMode=Continuous", "ExposureMode=Timed", "ChunkModeActive=true",
        "ChunkSelector=Gain", "ChunkEnable=true", "ChunkSelector=ExposureTime", "ChunkEnable=true",
        "ChunkSelector=Timestamp", "ChunkEnable=true",
        // gain 24 inside 0..36: automatic gain up to it
        "AutoGainLowerLimit=0", "AutoGainUpperLimit=24", "GainAuto=Continuous",
        // exposure 1800 inside the range
        "AutoExposureTimeUpperLimit=1800", "AutoExposureTimeLowerLimit=29", "ExposureAuto=Continuous",
        "AutoTargetBrightness=0.5", "AutoFunctionROISelector=ROI1", "AutoFunctionROIUseBrightness=true",
        // day with flash mode 1: the line is an input
        "LineSelector=Line4", "LineMode=Input", "AcquisitionFrameRateEnable=true", "AcquisitionFrameRate=25",
        "AutoFunctionProfile=MinimizeGain", "AcquisitionStart()"};
    EXPECT_EQ(usb3cam::journal(), expected);
    EXPECT_EQ(baslerConfig().text(&BaslerConfig::status), "unknown open error");
    EXPECT_EQ(baslerConfig().chunks, 1u);
    EXPECT_EQ(baslerConfig().text(&BaslerConfig::model), "acA2440-75um");
    EXPECT_EQ(baslerConfig().expmin, 28u);
    EXPECT_EQ(baslerConfig().gainmax, 36.0f);
  }
  expectNothingHeld();
}

TEST_F(UsbCamTest, IdentityTextLongerThanItsBufferIsNotRead) {
  usb3cam::Options o;
  o.model = std::string(BaslerCamera::kTextBuffer, 'm');  // no room for the terminating zero
  o.serial = std::string(BaslerCamera::kTextBuffer - 1, 's');
  reset(o);
  baslerConfig().setText(&BaslerConfig::model, "before");
  BaslerCamera camera(baslerConfig());
  ASSERT_TRUE(camera.open());
  EXPECT_EQ(baslerConfig().text(&BaslerConfig::model), "before");
  EXPECT_EQ(baslerConfig().text(&BaslerConfig::serial), o.serial);
}

struct OpenFailure {
  Fault fault;
  usb3cam::Options options;
  std::string status;
};

usb3cam::Options small(usb3cam::Options o = {}) {
  o.width = 160;
  o.height = 120;
  return o;
}

// Each step that fails leaves its status, and whatever open() reached is
// released: connections repeated with a fault at every step hold nothing.
TEST_F(UsbCamTest, EveryFailingOpenStepLeavesItsStatusAndReleasesAll) {
  const usb3cam::Options noMono8{.mono8 = false}, none{.devices = 0}, noChannel{.channels = 0};
  const std::string longText(5000, 'x');
  const std::vector<OpenFailure> cases = {
      {Fault::kCount, none, "camera not found"},
      {Fault::kEnumerate, {}, "camera open error: enumerate failedstand-in fault"},
      {Fault::kCreate, {}, "camera open error: create failedstand-in fault"},
      {Fault::kOpen, {}, "camera open error: open failedstand-in fault"},
      {Fault::kCount, noMono8, "unsupported format (Mono8)"},
      {Fault::kPixelFormat, {}, "unsupported format (Mono8)"},
      {Fault::kAcquisitionMode, {}, "unknown open error"},
      {Fault::kExposureMode, {}, "unknown open error"},
      {Fault::kGainLimits, {}, "unknown open error"},
      {Fault::kExposureLimits, {}, "unknown open error"},
      {Fault::kBrightnessLimits, {}, "unknown open error"},
      {Fault::kProfile, {}, "unknown open error"},
      {Fault::kGrabberChannel, {}, "unknown open error"},
      {Fault::kCount, noChannel, "unknown open error"},
      {Fault::kWaitObject, {}, "unknown open error"},
      {Fault::kPayloadSize, {}, "unknown open error"},
      {Fault::kMaxBuffers, {}, "unknown open error"},
      {Fault::kPrepare, {}, "unknown open error"},
      {Fault::kAcquisitionStart, {}, "unknown open error"},
  };
  const char* names[] = {"enumerate failed", "create failed", "open failed"};
  for (int round = 0; round < 6; ++round) {
    for (const OpenFailure& f : cases) {
      SCOPED_TRACE(f.status + " " + std::to_string(static_cast<int>(f.fault)));
      reset(small(f.options));
      if (f.fault != Fault::kCount) {
        const int i = static_cast<int>(f.fault);
        usb3cam::fail(f.fault, i < 3 ? names[i] : longText);
      }
      EXPECT_EQ(basler_usb3cam(cam(), baslerConfig()), -1);
      EXPECT_EQ(baslerConfig().text(&BaslerConfig::status), f.status);
      expectNothingHeld();
    }
  }
  EXPECT_TRUE(cam().empty());
}

struct ChunkCase {
  const char* name;
  bool chunks;
  std::string removed;
  bool stamp, exposure, gain;
};

TEST_F(UsbCamTest, FramesReachTheStoreWithTheirChunkValues) {
  const std::vector<ChunkCase> cases = {
      {"all chunks", true, "", true, true, true},
      {"no chunk support", false, "", false, false, false},
      {"no stamp chunk", true, "ChunkTimestamp", false, true, true},
      {"no gain chunk", true, "ChunkGain", true, true, false},
  };
  for (const ChunkCase& c : cases) {
    SCOPED_TRACE(c.name);
    cameras().clear();
    Camera& store = addCamera(kCamId, 8 << 20);
    store.updConfig(nlohmann::json{{"source", "basler"}, {"url", "usb"}, {"enabled", 1}});
    reset(small({.chunks = c.chunks}));
    if (!c.removed.empty()) usb3cam::removeChunk(c.removed);
    usb3cam::setLight(0.5);  // a dark scene: exposure 1600 us, gain 0
    EXPECT_EQ(basler_usb3cam(store, baslerConfig(), 3), 1);
    EXPECT_EQ(baslerConfig().chunks, c.chunks ? 1u : 0u);
    ASSERT_EQ(store.cambuf->meta().end() - store.cambuf->meta().begin(), 3u);
    for (std::uint32_t index = 1; index <= 3; ++index) {
      auto it = store.find(index);
      ASSERT_FALSE(it.isEnd());
      const FrameMetadata& rec = *it;
      EXPECT_EQ(std::make_tuple(rec.width.load(), rec.height.load(), rec.type), std::make_tuple(160, 120, FRAME_GRAY8));
      // Frame n of a 25 fps camera at camera time (n - 1) / 25 s.
      EXPECT_EQ(rec.camTimestamp.load(), c.stamp ? (index - 1) * 40000000ull : 0ull);
      EXPECT_EQ(rec.exposure.load(), c.exposure ? 1600u : 0u);
      EXPECT_EQ(rec.gain.load(), 0u);
      EXPECT_NE(rec.sec.load(), 0u);
    }
    EXPECT_EQ(baslerConfig().text(&BaslerConfig::status), "working");
    expectNothingHeld();
  }
}

TEST_F(UsbCamTest, GainChunkCarriesTheAutomaticGain) {
  usb3cam::setLight(0.05);  // needs 16000 us: exposure stops at 1800, gain makes up the rest
  EXPECT_EQ(basler_usb3cam(cam(), baslerConfig(), 2), 1);
  const FrameMetadata& rec = *cam().find(2);
  EXPECT_EQ(rec.exposure.load(), 1800u);
  EXPECT_EQ(rec.gain.load(), 18u);  // 20 log10(16000 / 1800) = 18.98 dB
}

struct Fallback {
  const char* name;
  std::function<bool(BaslerCamera&)> call;
  std::vector<std::string> writes;
};

TEST_F(UsbCamTest, SettingsOutsideTheCameraRangeFallBack) {
  const std::vector<Fallback> cases = {
      {"exposure above the range", [](BaslerCamera& c) { return c.exposure(2000000); },
       {"AutoExposureTimeUpperLimit=3500", "AutoExposureTimeLowerLimit=29", "ExposureAuto=Continuous"}},
      {"exposure at the lower end keeps the range upright", [](BaslerCamera& c) { return c.exposure(28); },
       {"AutoExposureTimeUpperLimit=29", "AutoExposureTimeLowerLimit=29", "ExposureAuto=Continuous"}},
      {"gain 0", [](BaslerCamera& c) { return c.gain(0); }, {"GainAuto=Off", "Gain=0"}},
      {"gain above the range", [](BaslerCamera& c) { return c.gain(40); }, {"GainAuto=Off", "Gain=0"}},
      {"brightness out of range", [](BaslerCamera& c) { return c.brightness(0.9f); },
       {"AutoTargetBrightness=0.5", "AutoFunctionROISelector=ROI1", "AutoFunctionROIUseBrightness=true"}},
      {"flash on", [](BaslerCamera& c) { return c.flasher(1); },
       {"LineSelector=Line4", "LineMode=Output", "LineSource=ExposureActive", "LineInverter=true"}},
      {"free frame rate", [](BaslerCamera& c) { return c.fps(0); }, {"AcquisitionFrameRateEnable=false"}},
      {"frame rate beyond the camera's", [](BaslerCamera& c) { return c.fps(1000); },
       {"AcquisitionFrameRateEnable=true", "AcquisitionFrameRate=400"}},
  };
  BaslerCamera camera(baslerConfig());
  ASSERT_TRUE(camera.open());
  for (const Fallback& f : cases) {
    SCOPED_TRACE(f.name);
    usb3cam::clearJournal();
    EXPECT_TRUE(f.call(camera));
    EXPECT_EQ(usb3cam::journal(), f.writes);
  }
}

TEST_F(UsbCamTest, SettingsChangedBetweenFramesReachTheCameraOnce) {
  BaslerCamera camera(baslerConfig());
  ASSERT_TRUE(camera.open());
  auto ignore = [](int, int, unsigned char*, unsigned long, unsigned, unsigned, long) {};
  ASSERT_GT(camera.grab(ignore), 0);
  usb3cam::clearJournal();
  ASSERT_GT(camera.grab(ignore), 0);
  EXPECT_TRUE(usb3cam::journal().empty());  // nothing changed

  baslerConfig().exposure = 2000;
  baslerConfig().flashmod(2);
  ASSERT_GT(camera.grab(ignore), 0);
  const auto writes = usb3cam::journal();
  EXPECT_NE(std::find(writes.begin(), writes.end(), "AutoExposureTimeUpperLimit=2000"), writes.end());
  EXPECT_NE(std::find(writes.begin(), writes.end(), "LineMode=Output"), writes.end());

  // A refused frame rate is reported once and does not hold back the rest.
  baslerConfig().flashmod(0);
  baslerConfig().maxfps = 0;
  baslerConfig().minfps = 0;
  baslerConfig().curfps = 0;
  usb3cam::clearJournal();
  usb3cam::fail(Fault::kAcquisitionMode, "unused");  // unrelated fault: no effect
  ASSERT_GT(camera.grab(ignore), 0);
  ASSERT_GT(camera.grab(ignore), 0);
  const auto second = usb3cam::journal();
  EXPECT_EQ(std::count(second.begin(), second.end(), "LineMode=Input"), 1);
  EXPECT_EQ(std::count(second.begin(), second.end(), "AcquisitionFrameRateEnable=false"), 1);
}

TEST_F(UsbCamTest, BadResultsCountAsFailedFramesAndFaultsEndTheConnection) {
  usb3cam::failFrames(2);
  usb3cam::oversizeResults(1);
  EXPECT_EQ(basler_usb3cam(cam(), baslerConfig(), 4), 1);
  EXPECT_EQ(baslerConfig().errminor, 3u);
  EXPECT_EQ(baslerConfig().grabbed, 7u);  // every retrieved result counts
  EXPECT_EQ(cam().cambuf->meta().end() - cam().cambuf->meta().begin(), 4u);

  const std::vector<std::pair<const char*, std::function<void()>>> faults = {
      {"unplugged", [] { usb3cam::unplug(); }},
      {"queueing fails", [] { usb3cam::fail(Fault::kQueue, "queue", -1); }},
      {"retrieval fails", [] { usb3cam::fail(Fault::kRetrieve, "retrieve", -1); }},
      {"chunk trailer refused", [] { usb3cam::fail(Fault::kAttach, "attach", -1); }},
  };
  for (const auto& [name, inject] : faults) {
    SCOPED_TRACE(name);
    reset({});
    baslerConfig().errmajor = 0;
    BaslerCamera camera(baslerConfig());
    ASSERT_TRUE(camera.open());
    inject();
    auto ignore = [](int, int, unsigned char*, unsigned long, unsigned, unsigned, long) {};
    int r = 0;
    for (int i = 0; i < 6 && r >= 0; ++i) r = camera.grab(ignore);
    EXPECT_EQ(r, -1);
  }
  expectNothingHeld();
}

TEST_F(UsbCamTest, StalledCameraTimesOutAsAMajorError) {
  reset(small({.pacing = usb3cam::Pacing::kStepped}));
  usb3cam::step(2);
  EXPECT_EQ(basler_usb3cam(cam(), baslerConfig(), 10), -1);
  EXPECT_EQ(baslerConfig().errmajor, 1u);
  EXPECT_EQ(baslerConfig().grabbed, 2u);
  expectNothingHeld();
}

TEST_F(UsbCamTest, FrameAllowanceEndsTheConnectionAndTheNextOneOpensAgain) {
  EXPECT_EQ(basler_usb3cam(cam(), baslerConfig(), 5), 1);
  usb3cam::clearJournal();
  EXPECT_EQ(basler_usb3cam(cam(), baslerConfig(), 1), 1);
  const auto writes = usb3cam::journal();
  EXPECT_EQ(writes.front(), "PixelFormat=Mono8");  // opened again
  EXPECT_EQ(cam().cambuf->meta().end() - cam().cambuf->meta().begin(), 6u);
}

TEST_F(UsbCamTest, OnlyEnabledBaslerCamerasTakeFrames) {
  cameras().clear();
  Camera& off = addCamera(kCamId, 1 << 20);
  off.updConfig(nlohmann::json{{"source", "basler"}, {"url", "usb"}, {"enabled", 0}});
  std::vector<unsigned char> picture(64 * 48, 9);
  usbframeplace_basler(kCamId, 64, 48, picture.data(), picture.size(), 1, 2, 3);
  EXPECT_TRUE(off.empty());
}

}  // namespace
}  // namespace kovira::testing
