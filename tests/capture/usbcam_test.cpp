// The industrial USB3 camera on the library stand-in: the driver (the open
// sequence, failures at every step, frames with their chunk values in the
// store, fallbacks of the settings, the connection's limits), the "usbcam"
// section's rules, the automatic exposure/iris/day-night loop closed over
// the stand-in, and the operator's pages and watchdog.
#include "capture/cam.h"
#include "capture/camauto.h"
#include "capture/usbcam.h"
#include "capture/usbcam_config.h"
#include "capture/usbcam_pages.h"
#include "core/working.h"
#include "http/request.h"
#include "http/response.h"
#include "platform/usb3cam/control.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstdio>
#include <fstream>
#include <mutex>
#include <numeric>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace kovira::testing {
namespace {

// Puts the section back to its start values (the singleton outlives tests).
void resetBaslerConfig() {
  BaslerConfig& c = baslerConfig();
  c.fromjson(nlohmann::json::parse(
      R"({"exposure":1800,"limgain":24,"maxfps":40,"maxnfps":18,"camflashmod":1,"brightness":0.5,"br1":0.25,"br2":0.25})"));
  c.night = 0, c.minfps = 4, c.curfps = 25, c.target = 0.5f, c.period = 0;
  c.diaphragm = 0, c.autodiaphragm = 1, c.grabbed = 0, c.errmajor = 0, c.errminor = 0;
  c.chunks = 0, c.actexp = 0, c.actgain = 0;
  c.clearLog();
  c.setText(&BaslerConfig::status, "");
}

class UsbCamTest : public ::testing::Test {
 protected:
  static constexpr int kCamId = 7;
  void SetUp() override {
    working = 1;
    cameras().clear();
    Camera& cam = addCamera(kCamId, 8 << 20);
    cam.updConfig(nlohmann::json{{"source", "basler"}, {"url", "usb"}, {"enabled", 1}});
    usb3cam::reset({.width = 160, .height = 120});
    resetBaslerConfig();
  }
  void TearDown() override { cameras().clear(); }
  void reset(const usb3cam::Options& o) { usb3cam::reset(o); }
  Camera& cam() { return camera(kCamId); }
};

using usb3cam::Fault;

// A grab callback that drops the frame.
void ignore(int, int, unsigned char*, unsigned long, unsigned, unsigned, long) {}

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
  std::vector<OpenFailure> cases = {
      {Fault::kCount, none, "camera not found"},
      {Fault::kEnumerate, {}, "camera open error: enumerate failedstand-in fault"},
      {Fault::kCreate, {}, "camera open error: create failedstand-in fault"},
      {Fault::kOpen, {}, "camera open error: open failedstand-in fault"},
      {Fault::kCount, noMono8, "unsupported format (Mono8)"},
      {Fault::kPixelFormat, {}, "unsupported format (Mono8)"},
      {Fault::kCount, noChannel, "unknown open error"},
  };
  for (Fault f : {Fault::kAcquisitionMode, Fault::kExposureMode, Fault::kGainLimits, Fault::kExposureLimits,
                  Fault::kBrightnessLimits, Fault::kProfile, Fault::kGrabberChannel, Fault::kWaitObject,
                  Fault::kPayloadSize, Fault::kMaxBuffers, Fault::kPrepare, Fault::kAcquisitionStart})
    cases.push_back({f, {}, "unknown open error"});
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
    // A scene that needs 16000 us: exposure stops at 1800, the automatic
    // gain makes up the rest, 20 log10(16000 / 1800) = 18.98 dB.
    usb3cam::setLight(0.05);
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
      EXPECT_EQ(rec.exposure.load(), c.exposure ? 1800u : 0u);
      EXPECT_EQ(rec.gain.load(), c.gain ? 18u : 0u);
      EXPECT_NE(rec.sec.load(), 0u);
    }
    EXPECT_EQ(baslerConfig().text(&BaslerConfig::status), "working");
    expectNothingHeld();
  }
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

TEST_F(UsbCamTest, RefusedSettingIsTriedAfterEveryFrameUntilTheCameraTakesIt) {
  BaslerCamera camera(baslerConfig());
  ASSERT_TRUE(camera.open());
  ASSERT_GT(camera.grab(ignore), 0);
  BaslerConfig& c = baslerConfig();
  ASSERT_TRUE(usb3cam::command("refuse ExposureTime exposure refused by the test"));  // as the FIFO says it
  c.exposure = 2000;
  c.flashmod(2);
  usb3cam::clearJournal();
  for (std::uint64_t frame = 1; frame <= 3; ++frame) {
    ASSERT_GT(camera.grab(ignore), 0);  // frames still flow
    EXPECT_EQ(usb3cam::refusedWrites(), frame);
  }
  EXPECT_EQ(c.text(&BaslerConfig::status), "camera refused exposure: exposure refused by the test");
  const auto refused = usb3cam::journal();
  EXPECT_EQ(std::count(refused.begin(), refused.end(), "LineMode=Output"), 0);  // the round stopped there
  const std::string log = c.text(&BaslerConfig::log);
  EXPECT_EQ(log.find("camera refused exposure"), log.rfind("camera refused exposure"));  // said once

  ASSERT_TRUE(usb3cam::command("accept ExposureTime"));
  ASSERT_GT(camera.grab(ignore), 0);
  const auto applied = usb3cam::journal();
  EXPECT_NE(std::find(applied.begin(), applied.end(), "AutoExposureTimeUpperLimit=2000"), applied.end());
  EXPECT_NE(std::find(applied.begin(), applied.end(), "LineMode=Output"), applied.end());
  EXPECT_EQ(c.text(&BaslerConfig::status), "working");
  usb3cam::clearJournal();
  ASSERT_GT(camera.grab(ignore), 0);
  EXPECT_TRUE(usb3cam::journal().empty());  // applied once
}

// A refusal named in the stand-in's file holds from the start.
TEST_F(UsbCamTest, StandInFileRefusesNamedFeatures) {
  const std::string path = ::testing::TempDir() + "usb3cam-refuse.json";
  std::ofstream(path) << R"({"width": 160, "height": 120, "pacing": "unpaced", "refuse": ["Gain"]})";
  std::string error;
  ASSERT_TRUE(usb3cam::configureFromFile(path, error)) << error;
  std::remove(path.c_str());
  BaslerCamera camera(baslerConfig());
  EXPECT_FALSE(camera.open());  // the gain is a required step of the open
  EXPECT_EQ(errbasler(0, 0), "Feature 'AutoGainLowerLimit': write refused by the camera");
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

TEST(BaslerConfigTest, FrameRateFollowsDayNightAndLimits) {
  // night, maxfps, maxnfps, curfps -> fps(); minfps 4
  const std::vector<std::tuple<unsigned, unsigned, unsigned, unsigned, unsigned>> cases = {
      {0, 40, 18, 25, 25}, {1, 40, 18, 25, 18}, {1, 40, 0, 25, 25}, {0, 0, 18, 25, 4},
      {0, 40, 18, 2, 4},   {1, 40, 30, 25, 25}, {0, 20, 18, 25, 20},
  };
  BaslerConfig c;
  for (const auto& [night, maxfps, maxnfps, curfps, expected] : cases) {
    c.night = night, c.maxfps = maxfps, c.maxnfps = maxnfps, c.curfps = curfps;
    EXPECT_EQ(c.fps(), expected) << night << " " << maxfps << " " << maxnfps << " " << curfps;
  }
  c.night = 0, c.maxfps = 40, c.curfps = 40;
  c.faster();
  c.faster();
  EXPECT_EQ(c.curfps, 41u);  // one past the cap, which fps() applies
  EXPECT_EQ(c.fps(), 40u);
  c.framerate(2);
  EXPECT_EQ(c.curfps, 4u);
}

TEST(BaslerConfigTest, ScheduleTimesAndPeriods) {
  const std::vector<std::pair<std::string, int>> texts = {
      {"07:30", 450}, {"07-30", 450}, {"00:00", 0}, {"23:59", 0}, {"23:58", 1438}, {"abc", 0},
      {"7", 0},       {"", 0},        {"24:00", 0}, {"7:x", 0},   {"-1:30", 0},
      {"12:30:45", 750}, {"12:30:xx", 0}, {"12:30:", 0}, {"12:30:4x", 0}, {"12:30:45:1", 0},
  };
  for (const auto& [text, minutes] : texts) EXPECT_EQ(timeconv(text), minutes) << text;
  EXPECT_EQ(timeconvback(450), "07:30");

  BaslerConfig c;
  c.schedule = 1, c.t1 = 480, c.t2 = 1200;
  // minute of the day -> period, at time zone +3
  const std::vector<std::pair<unsigned, unsigned>> periods = {{480, 0}, {481, 1}, {1199, 1}, {1200, 0}};
  for (const auto& [minute, period] : periods)
    EXPECT_EQ(c.checkTime(86400 * 100 + minute * 60 - 3 * 3600, 3), period) << minute;
  EXPECT_TRUE(c.isSchedulled());
  c.t1 = 1200;
  EXPECT_EQ(c.checkTime(86400 * 100 + 600 * 60, 0), 0u);
  EXPECT_FALSE(c.isSchedulled());

  // A preset is taken only strictly inside the camera's range.
  c.brmin = 0.2f, c.brmax = 0.8f, c.br1 = 0.3f, c.br2 = 0.8f;
  EXPECT_TRUE(c.setBrightnessPreset(1));
  EXPECT_FALSE(c.setBrightnessPreset(2));
  EXPECT_FALSE(c.setBrightnessPreset(5));
  EXPECT_EQ(c.target, 0.3f);
}

// The driver re-applies the settings when the checksum moves: every setting
// of the block must move it.
TEST(BaslerConfigTest, ChecksumCoversEverySetting) {
  EXPECT_EQ(crc32c("123456789", 9), 0xE3069283u);
  const unsigned fresh = BaslerConfig().changed();
  const std::vector<std::function<void(BaslerConfig&)>> edits = {
      [](BaslerConfig& b) { b.night = 1; },     [](BaslerConfig& b) { b.minfps = 5; },
      [](BaslerConfig& b) { b.maxfps = 41; },   [](BaslerConfig& b) { b.maxnfps = 1; },
      [](BaslerConfig& b) { b.curfps = 24; },   [](BaslerConfig& b) { b.limgain = 1; },
      [](BaslerConfig& b) { b.exposure = 1; },  [](BaslerConfig& b) { b.target = 0.4f; },
      [](BaslerConfig& b) { b.camflashmod = 2; }, [](BaslerConfig& b) { b.period = 1; },
  };
  for (std::size_t i = 0; i < edits.size(); ++i) {
    BaslerConfig edited;
    edits[i](edited);
    EXPECT_NE(edited.changed(), fresh) << i;
  }
}

TEST(BaslerConfigTest, SectionRoundTripsAndSkipsBadValues) {
  BaslerConfig c;
  nlohmann::json out;
  c.tojson(out, 0);
  EXPECT_EQ(out, nlohmann::json::parse(R"({"exposure":1800})"));
  c.maxfps = 0, c.brightness = 0.4f, c.schedule = 1, c.t1 = 450;
  nlohmann::json saved;
  c.tojson(saved, 0);
  BaslerConfig back;
  back.fromjson(saved);
  EXPECT_EQ(std::make_tuple(back.maxfps.load(), back.brightness.load(), back.t1.load(), back.schedule.load()),
            std::make_tuple(0u, 0.4f, 450, 1));

  BaslerConfig bad;
  bad.fromjson(nlohmann::json::parse(
      R"({"exposure":"1800","limgain":-5,"maxfps":30,"t1":null,"t2":600,"br1":"x","br2":0.3,"camflashmod":1e20,
          "t3":1439,"maxnfps":4294967296,"brightness":2})"));
  EXPECT_EQ(std::make_tuple(bad.exposure.load(), bad.limgain.load(), bad.maxfps.load(), bad.camflashmod.load(),
                            bad.maxnfps.load(), bad.brightness.load()),
            std::make_tuple(1800u, 24u, 30u, 1u, 18u, 0.5f));
  EXPECT_EQ(std::make_tuple(bad.t1.load(), bad.t2.load(), bad.t3.load(), bad.br1.load(), bad.br2.load()),
            std::make_tuple(0, 600, 0, 0.25f, 0.3f));
  EXPECT_NO_THROW(bad.fromjson(nlohmann::json::array({1, 2})));

  // The only-exposure section clears the schedule and keeps frame rates.
  back.fromjson(nlohmann::json::parse(R"({"exposure":900})"));
  EXPECT_EQ(std::make_tuple(back.exposure.load(), back.schedule.load(), back.maxfps.load()),
            std::make_tuple(900u, 0, 0u));
}

TEST(BaslerConfigTest, LogStopsAtItsCap) {
  BaslerConfig c;
  c.logme("first");
  EXPECT_NE(c.text(&BaslerConfig::log).find(" first\n"), std::string::npos);
  c.setText(&BaslerConfig::log, std::string(BaslerConfig::kLogLimit + 1, 'x'));
  c.logme("more");
  EXPECT_EQ(c.text(&BaslerConfig::log).size(), BaslerConfig::kLogLimit + 1);
}

// The automatic loop on the stand-in: each run grabs a frame, takes the
// camera's live values and runs the control once (a test clock of runs).
class CameraAutoTest : public UsbCamTest {
 protected:
  void SetUp() override {
    UsbCamTest::SetUp();
    camfunc.tick = 0;
    camfunc.holdoff = 0;
    camfunc.iris = -1;
    camfunc.exposures.fill(0);
    camfunc.gains.fill(0);
    camauto::setHooks(
        [this](unsigned n) {
          std::lock_guard lock(sentMutex);  // the lens page sends from its own thread
          sent.push_back(n);
          usb3cam::setIris(static_cast<int>(n));
        },
        [this](const std::string& key, int value, bool once) { telemetry.emplace_back(key, value, once); });
    camera = std::make_unique<BaslerCamera>(baslerConfig());
    ASSERT_TRUE(camera->open());
  }
  void TearDown() override {
    camera.reset();
    camauto::setHooks({}, {});
    UsbCamTest::TearDown();
  }
  void run(int runs) {
    for (int i = 0; i < runs; ++i) {
      ASSERT_GT(camera->grab(ignore), 0);
      baslerConfig().actexp = static_cast<std::uint32_t>(usb3cam::exposureUs());
      baslerConfig().actgain = static_cast<float>(usb3cam::gainDb());
      camfunc.update(1000);
    }
  }
  std::unique_ptr<BaslerCamera> camera;
  std::mutex sentMutex;
  std::vector<unsigned> sent;
  std::vector<std::tuple<std::string, int, bool>> telemetry;
};

TEST_F(CameraAutoTest, BrightLightClosesTheIrisUntilTheExposureIsInItsBand) {
  usb3cam::setLight(4);
  run(89);
  EXPECT_TRUE(sent.empty());  // the rings fill first
  run(211);
  ASSERT_FALSE(sent.empty());
  EXPECT_EQ(sent.front(), 1u);
  for (std::size_t i = 1; i < sent.size(); ++i)
    EXPECT_EQ(std::abs(static_cast<int>(sent[i]) - static_cast<int>(sent[i - 1])), 2) << i;
  const unsigned mean = std::accumulate(camfunc.exposures.begin(), camfunc.exposures.end(), 0u) / 10;
  EXPECT_GE(mean, 600u);
  EXPECT_LE(mean, 1000u);
  EXPECT_EQ(baslerConfig().diaphragm, sent.back());
  EXPECT_NE(baslerConfig().text(&BaslerConfig::log).find("diaphragm set to 1\n"), std::string::npos);
  EXPECT_EQ(std::get<0>(telemetry.front()), "fixbrightness");
  EXPECT_EQ(baslerConfig().night, 0u);
}

TEST_F(CameraAutoTest, LowLightTurnsNightOnAtTheHundredTwentiethRunAndTheFlashFollows) {
  usb3cam::setLight(0.02);
  run(119);
  EXPECT_EQ(baslerConfig().night, 0u);
  EXPECT_EQ(sent, std::vector<unsigned>{0});  // already open: one command, then none
  usb3cam::clearJournal();
  run(1);
  EXPECT_EQ(baslerConfig().night, 1u);
  EXPECT_EQ(std::count(telemetry.begin(), telemetry.end(), std::make_tuple(std::string("night"), 1, false)), 1);
  run(1);  // the driver applies the flash after its next frame
  const auto writes = usb3cam::journal();
  EXPECT_NE(std::find(writes.begin(), writes.end(), "LineMode=Output"), writes.end());
  // Flash mode 2 never switches day and night.
  baslerConfig().flashmod(2);
  usb3cam::setLight(4);
  run(240);
  EXPECT_EQ(baslerConfig().night, 1u);
}

TEST_F(CameraAutoTest, OpeningTheLensHoldsTheIrisForThreeMinutesOfRuns) {
  usb3cam::setLight(4);
  run(100);
  ASSERT_FALSE(sent.empty());
  fixopenlens();
  EXPECT_EQ(sent.back(), 0u);
  EXPECT_EQ(baslerConfig().diaphragm, 0u);
  const std::size_t commands = sent.size();
  run(179);
  EXPECT_EQ(sent.size(), commands);
  run(2);
  ASSERT_GT(sent.size(), commands);
  EXPECT_EQ(sent[commands], 1u);  // from an unknown position again
}

// The lens page opens the iris from an HTTP thread while the scheduler runs
// the loop; the sanitizer runs of this test check that they share safely.
TEST_F(CameraAutoTest, OpeningTheLensWhileTheLoopRuns) {
  baslerConfig().actexp = 100;  // bright: the loop keeps closing the iris
  std::thread page([] {
    for (int i = 0; i < 300; ++i) fixopenlens();
  });
  for (int i = 0; i < 300; ++i) camfunc.update(1000);
  page.join();
  EXPECT_EQ(camfunc.tick, 300u);
  EXPECT_GE(camfunc.holdoff, 180u);
  EXPECT_GE(std::count(sent.begin(), sent.end(), 0u), 300);

  cam().updConfig(nlohmann::json{{"enabled", 0}});  // without an enabled camera nothing runs
  camfunc.update(1000);
  EXPECT_EQ(camfunc.tick, 300u);
}

// Pages: handlers called with the arguments a request would carry.
class UsbCamPagesTest : public UsbCamTest {
 protected:
  int call(int (*handler)(const HttpRequest&, HttpResponse&), std::vector<std::pair<std::string, std::string>> args,
           std::string method = "GET") {
    HttpRequest req(-1, "127.0.0.1", 0);
    req.method = std::move(method);
    req.path = "/debug/usbcam/schedule/";
    for (auto& [k, v] : args) req.args[k] = v;
    HttpResponse res(-1);
    const int code = handler(req, res);
    body = res.body.str();
    location = res.headers.count("Location") != 0 ? res.headers["Location"] : "";
    return code;
  }
  std::string body;
  std::string location;
};

TEST_F(UsbCamPagesTest, UpdateStoresWhatParsesAndIgnoresTheRest) {
  EXPECT_EQ(call(http_usbcam_update, {{"exp", "2000"}, {"maxfps", "30"}, {"flash", "2"}, {"diaphragm", "0"}}), 302);
  EXPECT_EQ(location, "/debug/usbcam/");
  BaslerConfig& c = baslerConfig();
  EXPECT_EQ(std::make_tuple(c.exposure.load(), c.maxfps.load(), c.camflashmod.load(), c.autodiaphragm.load()),
            std::make_tuple(2000u, 30u, 2u, 0u));
  const std::vector<std::pair<std::string, std::string>> bad = {
      {"exp", "abc"}, {"exp", "99999999999"}, {"exp", "12x"}, {"maxfps", "-3"}, {"gain", " "},
      {"brightness", "nan"}, {"brightness", "inf"}, {"brightness", "0.4x"}, {"exp", std::string(1 << 20, '7')},
  };
  for (const auto& arg : bad) {
    EXPECT_EQ(call(http_usbcam_update, {arg, {"flash", "2"}}), 400) << arg.first;
    EXPECT_EQ(std::make_tuple(c.exposure.load(), c.maxfps.load(), c.limgain.load(), c.brightness.load()),
              std::make_tuple(2000u, 30u, 24u, 0.5f))
        << arg.first;
  }
  EXPECT_EQ(call(http_usbcam_update, {{"brightness", "0.4"}}), 302);
  EXPECT_EQ(c.brightness, 0.4f);
  EXPECT_EQ(c.camflashmod, 0u);  // no "flash": 0

  c.logme("line");
  EXPECT_EQ(call(http_usbcam_update, {{"mod", "clean"}, {"exp", "100"}}), 302);
  EXPECT_TRUE(c.text(&BaslerConfig::log).empty());
  EXPECT_EQ(c.exposure, 2000u);
}

TEST_F(UsbCamPagesTest, SchedulePostStoresTimesAndTheCheckbox) {
  BaslerConfig& c = baslerConfig();
  EXPECT_EQ(call(http_schedule, {{"t1", "07:30"}, {"t2", "24:00"}, {"br1", "0.3"}, {"enabled", "1"}}, "POST"), 302);
  EXPECT_EQ(location, "/debug/usbcam/schedule/");
  EXPECT_EQ(std::make_tuple(c.t1.load(), c.t2.load(), c.br1.load(), c.schedule.load()),
            std::make_tuple(450, 0, 0.3f, 1));
  EXPECT_EQ(call(http_schedule, {{"br2", "0.6"}}, "POST"), 302);
  EXPECT_EQ(std::make_tuple(c.t1.load(), c.br2.load(), c.schedule.load()), std::make_tuple(450, 0.6f, 0));
  EXPECT_EQ(call(http_schedule, {}), 200);
  EXPECT_NE(body.find("name=t1 value=07:30>"), std::string::npos);
}

TEST_F(UsbCamPagesTest, SettingsPageShowsTheFormAndTheCameraState) {
  BaslerConfig& c = baslerConfig();
  c.setText(&BaslerConfig::status, "working");
  c.flashmod(0);
  EXPECT_EQ(call(http_usbcam, {}), 200);
  EXPECT_NE(body.find("<option SELECTED value=1>AUTO</option></select>"), std::string::npos);  // diaphragm
  EXPECT_NE(body.find("<option SELECTED value=0>NONE</option><option  value=1>AUTO</option>"), std::string::npos);
  EXPECT_NE(body.find("<p><b>status:</b> working</p>"), std::string::npos);
  c.setText(&BaslerConfig::serial, "<script>&");  // texts from the camera are escaped
  EXPECT_EQ(call(http_usbcam, {}), 200);
  c.setText(&BaslerConfig::serial, "");
  EXPECT_NE(body.find("<p><b>camera serial:</b> &lt;script&gt;&amp;</p>"), std::string::npos);
  c.logme("x");
  EXPECT_EQ(call(http_usbcam_logtxt, {}), 200);
  EXPECT_EQ(body, c.text(&BaslerConfig::log));
}

TEST_F(UsbCamPagesTest, WatchdogReportsAStallFromTheCheckAfterIt) {
  baslerConfig().grabbed = 5;
  for (const char* expected : {"0\n", "1\n"}) {  // the second check: nothing arrived since
    usbcam_watchdog_loop(0);
    EXPECT_EQ(call(http_ubscam_watchdog, {}), 200);
    EXPECT_EQ(body, expected);
  }
  cam().updConfig(nlohmann::json{{"enabled", 0}});
  EXPECT_EQ(call(http_ubscam_watchdog, {}), 404);
  EXPECT_EQ(body, "camera (basler) not found (configuration) or disabled\n");
}

}  // namespace
}  // namespace kovira::testing
