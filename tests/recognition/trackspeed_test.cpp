// Speed of a track over real zones (calibrated bands) and a real frame store
// (capture times and camera timestamps).
#include "recognition/trackspeed.h"

#include "tests/recognition/scene_fixture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <unistd.h>

namespace kovira {
namespace {

using namespace kovira::testing;

constexpr int kW = 1280;
constexpr int kH = 720;
constexpr int kZone = 1;
constexpr int kFrames = 13;
// Marks on rows 200, 400, 600 and 800, 10 m apart: bands of 50 000
// millionths of a metre per row, each from its mark's row up to the next.
const std::string kMarks = "600,200,640,400,680,600,720,800";
constexpr float kMetresPerBand = 10.0f;

class TrackSpeedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    clearScene();
    cam = nextCamera++;
    cameraSection(cam);
    zoneSection(kZone, cam, rectCoords(10, 10, kW - 11, kH - 11), 6, kMarks, kMetresPerBand);
    // Thirteen frames 0.1 s apart: the first and the last are 1.2 s apart.
    nums = storeFrames(cam, kFrames, 16, 16);
    for (int i = 0; i < kFrames; ++i) setTimes(i, 100000ull * i, 0);
    setPlatePositions(0, 0, 0);
  }
  void TearDown() override {
    setPlatePositions(0, 0, 0);
    clearScene();
  }

  // Capture time base + micros; camera clock ns (0: none).
  void setTimes(int i, std::uint64_t micros, std::uint64_t camNs) {
    auto rec = record(cam, nums[i]);
    const std::uint64_t at = 1700000000ull * 1000000 + micros;
    rec->sec = static_cast<std::uint32_t>(at / 1000000);
    rec->usec = static_cast<std::uint32_t>(at % 1000000);
    rec->camTimestamp = camNs;
  }
  static void setPlatePositions(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
    ConfigWriteLock lock;
    config().posa = a;
    config().posb = b;
    config().posc = c;
  }

  // A track of zone `zone` whose plate row runs evenly from `fromRow` to
  // `toRow` over the thirteen frames.
  Track track(int zone = kZone, int fromRow = 200, int toRow = 600) const {
    Track t(7, static_cast<std::uint32_t>(zone), static_cast<std::uint32_t>(cam));
    for (int i = 0; i < kFrames; ++i) {
      CNN_RESULT r{};
      r.zoneid = static_cast<std::uint32_t>(zone);
      std::strncpy(r.text, "A123BC77", sizeof r.text - 1);
      r.w = 60;
      r.ox = 640;
      r.oy = fromRow + (toRow - fromRow) * i / (kFrames - 1);
      t.join(TrackPoint(r, nums[i]));
    }
    return t;
  }

  static inline int nextCamera = 300;
  int cam = 0;
  std::vector<unsigned> nums;
};

TEST_F(TrackSpeedTest, TwentyMetresInOnePointTwoSecondsIsSixtyKmh) {
  const TrackSpeed s(track());
  ASSERT_TRUE(static_cast<bool>(s)) << s;
  EXPECT_EQ(std::make_tuple(s.numA, s.numB, s.direction, s.nvalid),
            std::make_tuple(nums.front(), nums.back(), 1u, 13u));
  EXPECT_FLOAT_EQ(s.dist, 20.0f);
  EXPECT_NEAR(s.time, 1.2f, 1e-5);
  EXPECT_NEAR(s.speed, 60.0f, 1e-3);
  // 1.2 s as a float is a little more than 1.2: 59.999996 km/h.
  EXPECT_EQ(s.text().rfind("[num=A123BC77, speed=59.99999", 0), 0u) << s;
}

TEST_F(TrackSpeedTest, PlatePositionCorrectionIsAFloatingPointFactorByDirection) {
  setPlatePositions(20, 30, 200);
  const TrackSpeed down(track());
  EXPECT_FLOAT_EQ(down.ckoef, 0.9f);
  EXPECT_EQ(std::make_pair(down.posAB, down.posC), std::make_pair(20u, 200u));
  EXPECT_FLOAT_EQ(down.dist, 18.0f);
  EXPECT_NE(down.text().find(", ckoef=0.900000]"), std::string::npos) << down;

  const TrackSpeed up(track(kZone, 600, 200));
  EXPECT_EQ(up.direction, 2u);
  EXPECT_FLOAT_EQ(up.ckoef, 0.85f);

  setPlatePositions(20, 0, 200);
  const TrackSpeed unused(track());
  EXPECT_FLOAT_EQ(unused.ckoef, 1.0f);
  EXPECT_EQ(unused.posAB, 0u);
  EXPECT_FLOAT_EQ(unused.dist, 20.0f);
}

TEST_F(TrackSpeedTest, CameraClockIsUsedUnlessItDisagreesByMoreThanThreePercent) {
  // Store times 1.02 s apart, camera 1.00 s: 2 %, the camera's time counts.
  setTimes(0, 0, 5'000'000'000ull);
  setTimes(kFrames - 1, 1'020'000, 6'000'000'000ull);
  const TrackSpeed close(track());
  EXPECT_TRUE(static_cast<bool>(close));
  EXPECT_NEAR(close.metatime, 1.02f, 1e-5);
  EXPECT_NEAR(close.usbtime, 1.0f, 1e-6);
  EXPECT_NEAR(close.time, 1.0f, 1e-6);
  EXPECT_NEAR(close.speed, 72.0f, 1e-3);
  EXPECT_NE(close.text().find(", timediff=0.02"), std::string::npos) << close;

  // 1.04 s against 1.00 s: 4 %, no trustworthy time.
  setTimes(kFrames - 1, 1'040'000, 6'000'000'000ull);
  const TrackSpeed apart(track());
  EXPECT_FALSE(static_cast<bool>(apart));
  EXPECT_EQ(std::make_pair(apart.time, apart.speed), std::make_pair(0.0f, 0.0f));
  EXPECT_EQ(apart.text().rfind("[num=A123BC77, speed=invalid, numA=", 0), 0u) << apart;

  // A camera that repeats its stamp says nothing: the store's time counts.
  setTimes(kFrames - 1, 1'200'000, 5'000'000'000ull);
  const TrackSpeed repeated(track());
  EXPECT_TRUE(static_cast<bool>(repeated));
  EXPECT_EQ(repeated.usbtime, 0.0f);
  EXPECT_NEAR(repeated.time, 1.2f, 1e-5);

  // A stamp missing on one frame: the same.
  setTimes(kFrames - 1, 1'200'000, 0);
  EXPECT_NEAR(TrackSpeed(track()).time, 1.2f, 1e-5);
}

TEST_F(TrackSpeedTest, DisabledZoneIsMeasuredWithItsEnclosingZonesCalibration) {
  zoneSection(2, cam, rectCoords(100, 100, 900, 650));
  ASSERT_TRUE(config().updSection("zone", {{"type", "zone"}, {"zoneid", 2}, {"enabled", 0}}));
  EXPECT_EQ(TrackSpeed::findZoneCal(2).zoneid, kZone);
  const TrackSpeed s(track(2));
  EXPECT_TRUE(static_cast<bool>(s)) << s;
  EXPECT_FLOAT_EQ(s.dist, 20.0f);
}

TEST_F(TrackSpeedTest, EnclosingZoneOfAnotherCameraNeverMeasuresTheTrack) {
  const int other = nextCamera++;
  clearScene();
  cameraSection(cam);
  cameraSection(other);
  // Zone 2 of our camera lies inside the calibrated zone 3 of another one.
  zoneSection(3, other, rectCoords(10, 10, kW - 11, kH - 11), 6, kMarks, kMetresPerBand);
  zoneSection(2, cam, rectCoords(100, 100, 900, 650));
  {
    ConfigReadLock lock;
    ASSERT_EQ(zone(2).freecnn, 3);
  }
  EXPECT_EQ(TrackSpeed::findZoneCal(2).zoneid, 2);
  const TrackSpeed s(track(2));
  EXPECT_FALSE(static_cast<bool>(s));
  EXPECT_EQ(s.numA, 0u);
  EXPECT_EQ(s.camid, static_cast<std::uint32_t>(cam));
}

TEST_F(TrackSpeedTest, GeometryOfBoundsAndDistance) {
  EXPECT_FALSE(TrackSpeed::isBoundsValid(100, 106));  // more than six frames apart
  EXPECT_TRUE(TrackSpeed::isBoundsValid(100, 107));
  EXPECT_FALSE(TrackSpeed::isBoundsValid(0, 107));
  EXPECT_FALSE(TrackSpeed::isBoundsValid(200, 100));
  Zone z;
  {
    ConfigReadLock lock;
    z = zone(kZone);
  }
  // Distance sums the bands of the rows between the points, either way;
  // rows above the first mark add nothing.
  struct Row {
    int a, b;
    float metres;
  };
  for (const Row r : {Row{200, 600, 20}, Row{600, 200, 20}, Row{200, 300, 5}, Row{100, 300, 5}, Row{100, 100, 0}}) {
    TrackPoint a, b;
    a.oy = r.a;
    b.oy = r.b;
    EXPECT_FLOAT_EQ(TrackSpeed::getTrackDist(z, a, b), r.metres) << r.a << ".." << r.b;
  }
  // Only points on calibrated rows bound the track: rows 100 .. 700 in steps of 50.
  std::uint32_t a = 0, b = 0;
  TrackSpeed::getTrackBounds(z, track(kZone, 100, 700).points, a, b);
  EXPECT_EQ(a, nums[2]);
  EXPECT_EQ(b, nums[12]);
  const TrackSpeed noZone(track(99));
  EXPECT_EQ(noZone.text(),
            "[num=A123BC77, speed=invalid, numA=0, numB=0, dist=0, time=0, metatime=0, usbtime=0, ckoef=1.000000]");
}

TEST_F(TrackSpeedTest, UnknownZoneEndsTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(
      {
        std::fflush(stdout);
        ::dup2(2, 1);
        TrackSpeed::findZoneCal(99);
      },
      "findZoneCal\\(\\) invalid zoneid\n");
}

}  // namespace
}  // namespace kovira
