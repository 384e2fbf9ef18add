#include "recognition/multitrack.h"
#include "recognition/scene_access.h"
#include "recognition/track.h"
#include "recognition/track_mask.h"

#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <string>

namespace kovira {
namespace {

TrackPoint point(std::uint32_t frame, const std::string& text, int ox = 0, int oy = 0, int type = 0) {
  CNN_RESULT r{};
  std::strncpy(r.text, text.c_str(), sizeof(r.text) - 1);
  r.zoneid = 1;
  r.cls = type;
  r.ox = ox;
  r.oy = oy;
  r.w = 50;
  return TrackPoint(r, frame);
}

Track trackOf(std::initializer_list<std::string> texts, std::uint32_t firstFrame = 1) {
  Track t(1, 1, 1);
  std::uint32_t frame = firstFrame;
  for (const auto& text : texts) t.join(point(frame++, text));
  return t;
}

TEST(TrackPointTest, PlateTextStopsAtTheFieldEvenWithoutTerminator) {
  TrackPoint p;
  std::memset(p.text, 'A', sizeof(p.text));
  EXPECT_EQ(p.plate(), std::string(20, 'A'));
}

TEST(TrackTest, EqualHypothesisCountsKeepTheEarlierTextFirst) {
  Track t = trackOf({"A123BC77", "A123BC77", "A123BC77", "A128BC77", "A128BC77", "A128BC77"});
  EXPECT_EQ(t.text(), "A123BC77");
  ASSERT_EQ(t.getHypothesis().size(), 2u);
  EXPECT_EQ(t.getHypothesis()[1], (Track::Hypothesis{"A128BC77", 3}));
  t.join(point(7, "A128BC77"));
  EXPECT_EQ(t.text(), "A128BC77");
}

TEST(TrackTest, SecondReadingOfAFrameReplacesOnlyWhenStrictlyCloserToTheText) {
  Track t = trackOf({"A123BC77", "A123BC77", "A123BC77", "A123BX77"});
  t.join(point(4, "A123BC77"));  // closer: replaces, the votes stay
  EXPECT_EQ(t.getPoint(4).plate(), "A123BC77");
  EXPECT_EQ(t.points.size(), 4u);
  EXPECT_EQ(t.getHypothesis().size(), 2u);
  t.join(point(1, "A123BC7X"));  // farther: dropped
  EXPECT_EQ(t.getPoint(1).plate(), "A123BC77");
  t.join(point(2, "A123BC77"));  // as close: dropped, no new vote
  EXPECT_EQ(t.getHypothesis().front().second, 3);
}

TEST(TrackTest, PointsStayInFrameOrderWhateverTheArrivalOrder) {
  Track t(1, 1, 1);
  for (std::uint32_t f : {30u, 10u, 20u, 40u}) t.join(point(f, "A123BC77"));
  EXPECT_EQ(t.numA(), 10u);
  EXPECT_EQ(t.numB(), 40u);
  EXPECT_EQ(t.place(15), 1u);
  EXPECT_EQ(t.place(41), 4u);
  EXPECT_TRUE(t.contains(25));
  EXPECT_FALSE(t.contains(41));
  EXPECT_EQ(Track().numA(), 0u);
  EXPECT_EQ(Track().numB(), 0u);
}

TEST(TrackTest, AdvancedAccuracyOfOneOrTwoHypotheses) {
  EXPECT_FLOAT_EQ(Track().advAccuracy(), 0.0f);
  EXPECT_FLOAT_EQ(trackOf({"A123BC77", "A123BC77", "A123BC77"}).advAccuracy(), 0.75f);
  EXPECT_FLOAT_EQ(trackOf({"A123BC77", "A123BC77", "A123BC77", "A123BC77"}).advAccuracy(), 1.25f);
  Track many(1, 1, 1);
  for (std::uint32_t f = 1; f <= 40; ++f) many.join(point(f, "A123BC77"));
  EXPECT_FLOAT_EQ(many.advAccuracy(), 25.0f);

  Track two = trackOf({"A123BC77", "A123BC77", "A123BC77", "A123BC77", "A123BC77", "A123BC77", "A128BC77",
                       "A128BC77"});
  EXPECT_FLOAT_EQ(two.advAccuracy(), 2.25f);
  EXPECT_EQ(two.plateCount(), 6u);
  EXPECT_FLOAT_EQ(two.absAccuracy(), 0.75f);
  EXPECT_EQ(two.onlyValidPoints().size(), 6u);
  EXPECT_FLOAT_EQ(Track().absAccuracy(), 0.0f);
}

TEST(TrackTest, AverageJoinDistance) {
  Track t(1, 1, 1);
  t.join(point(10, "A123BC77", 0, 0));
  EXPECT_EQ(t.averageJoinDist(), 150);
  t.join(point(11, "A123BC77", 12, 16));  // 20 pixels
  EXPECT_EQ(t.averageJoinDist(), 10);

  // Only the last ten points count: an early jump is forgotten.
  Track w(1, 1, 1);
  w.join(point(0, "A123BC77", 0, 0));
  for (int i = 1; i <= 10; ++i) w.join(point(i, "A123BC77", 1000 + 9 * i, 0));
  EXPECT_EQ(w.averageJoinDist(), (9 * 9) / 10);
}

TEST(TrackTest, DirectionNeedsFourValidPoints) {
  Track down(1, 1, 1);
  for (int i = 0; i < 3; ++i) down.join(point(i + 1, "A123BC77", 0, 100 + 10 * i));
  EXPECT_EQ(down.direction(), 0u);
  down.join(point(4, "A123BC77", 0, 200));
  EXPECT_EQ(down.direction(), 1u);

  Track up(1, 1, 1);
  for (int i = 0; i < 4; ++i) up.join(point(i + 1, "A123BC77", 0, 300 - 10 * i));
  EXPECT_EQ(up.direction(), 2u);
  up.join(point(5, "X999XX99", 0, 900));  // not a valid point
  EXPECT_EQ(up.direction(), 2u);
}

TEST(TrackTest, VehicleClassByVote) {
  auto votes = [](int a, int na, int b, int nb, int none) {
    Track t(1, 1, 1);
    std::uint32_t f = 1;
    for (int i = 0; i < na; ++i) t.join(point(f++, "A123BC77", 0, 0, a));
    for (int i = 0; i < nb; ++i) t.join(point(f++, "A123BC77", 0, 0, b));
    for (int i = 0; i < none; ++i) t.join(point(f++, "A123BC77", 0, 0, 0));
    return t.type();
  };
  EXPECT_EQ(votes(3, 5, 7, 4, 1), 0);  // (5/10) / (4/5) = 0.625
  EXPECT_EQ(votes(3, 9, 7, 1, 0), 3);  // 8.1
  EXPECT_EQ(votes(3, 1, 7, 9, 0), 7);
  EXPECT_EQ(votes(4, 2, 0, 0, 3), 0);  // one class, two votes
  EXPECT_EQ(votes(4, 3, 0, 0, 3), 4);
  EXPECT_EQ(votes(0, 0, 0, 0, 5), 0);
}

TEST(TrackTest, GetPointOfAnUnknownFrameThrows) {
  Track t = trackOf({"A123BC77"}, 5);
  EXPECT_EQ(t.getPoint(5).num, 5u);
  try {
    t.getPoint(6);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "getPoint() point was not found [num=6]");
  }
}

TEST(TrackTest, ComparePlateText) {
  EXPECT_TRUE(comparePlateText("A123BC", "A123BC77"));
  EXPECT_FALSE(comparePlateText("A123", "A123"));
  EXPECT_FALSE(comparePlateText("A123BC77", "A123"));
  EXPECT_FALSE(comparePlateText("A123BC77", "X456BC99"));
  EXPECT_TRUE(comparePlateText("O123BC77", "0123BC77"));
}

TEST(TrackTest, JoinTrackMergesAnEarlierTrackInFrameOrder) {
  Track later = trackOf({"A123BC77", "A123BC77", "A123BC77"}, 20);
  Track earlier = trackOf({"A123BC77", "A123BC77", "A123BC77"}, 18);  // frames 18, 19, 20
  ASSERT_TRUE(later.joinTrack(earlier));
  ASSERT_EQ(later.points.size(), 5u);
  for (std::size_t i = 0; i < later.points.size(); ++i) EXPECT_EQ(later.points[i].num, 18u + i);
  EXPECT_EQ(later.numA(), 18u);
  EXPECT_EQ(later.getHypothesis().front().second, 3);  // the other's votes are not added
}

TEST(TrackTest, JoinTrackRefusesShortTextsOtherZonesAndOtherPlates) {
  Track a = trackOf({"A123"});
  EXPECT_FALSE(a.joinTrack(trackOf({"A123"}, 5)));
  Track five = trackOf({"A1234"});
  EXPECT_TRUE(five.joinTrack(trackOf({"A1234"}, 5)));
  Track b = trackOf({"A123BC77"});
  Track otherZone = trackOf({"A123BC77"}, 5);
  otherZone.zone = 2;
  EXPECT_FALSE(b.joinTrack(otherZone));
  EXPECT_FALSE(b.joinTrack(trackOf({"X999YZ11"}, 5)));
  EXPECT_EQ(b.points.size(), 1u);
}

class CheckMaskTest : public ::testing::Test {
 protected:
  void TearDown() override { sceneAccess().trackmask = nullptr; }
};

TEST_F(CheckMaskTest, BuiltInPatternsMatchTheUpperCasedText) {
  EXPECT_TRUE(trackOf({"a123bc77"}).checkMask());
  EXPECT_TRUE(trackOf({"A123BC777"}).checkMask());
  EXPECT_TRUE(trackOf({"1TAX2345"}).checkMask());
  EXPECT_FALSE(trackOf({"A12"}).checkMask());
  EXPECT_FALSE(trackOf({"HELLO1"}).checkMask());
  EXPECT_FALSE(Track().checkMask());
  EXPECT_EQ(builtinPlatePatterns().size(), 18u);
}

TEST_F(CheckMaskTest, ConfiguredPatternsAreAddedPieceByPiece) {
  sceneAccess().trackmask = [] { return std::string(" HELLO[0-9] ;\nQQ[0-9]{2}|,"); };
  EXPECT_TRUE(trackOf({"hello1"}).checkMask());
  EXPECT_TRUE(trackOf({"QQ12"}).checkMask());
  EXPECT_TRUE(trackOf({"A123BC77"}).checkMask());
  EXPECT_FALSE(trackOf({"QQ123"}).checkMask());
}

TEST_F(CheckMaskTest, InvalidConfiguredPieceIsReportedOnceAndTheRestStillWork) {
  sceneAccess().trackmask = [] { return std::string("ZZ[0-9]{3};BAD[0-9"); };
  testing::internal::CaptureStdout();
  EXPECT_TRUE(trackOf({"ZZ123"}).checkMask());
  EXPECT_TRUE(trackOf({"A123BC77"}).checkMask());
  sceneAccess().trackmask = [] { return std::string("BAD[0-9"); };
  EXPECT_TRUE(trackOf({"A123BC77"}).checkMask());
  EXPECT_FALSE(trackOf({"ZZ123"}).checkMask());
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[TRACK] trackmask pattern is not a valid expression, ignored: BAD[0-9\n");
}

TEST(MultiTrackTest, TracksByZone) {
  MultiTrack g;
  EXPECT_EQ(g.text(), "");
  Track z1 = trackOf({"A123BC77", "A123BC77"});
  Track z2 = trackOf({"A123BC77"}, 10);
  z2.zone = 2;
  EXPECT_TRUE(g.addTrack(z1));
  EXPECT_TRUE(g.addTrack(z2));
  EXPECT_EQ(g.text(), "A123BC77");
  EXPECT_TRUE(g.hasTrack(2));
  EXPECT_FALSE(g.hasTrack(3));
  EXPECT_EQ(g.track(2).numA(), 10u);
  try {
    g.track(3);
    FAIL();
  } catch (const std::logic_error& e) {
    EXPECT_STREQ(e.what(), "track was not found in MultiTrack [zoneid=3]");
  }
}

TEST(MultiTrackTest, SecondTrackOfAZoneIsMergedOrLeftOut) {
  MultiTrack g;
  ASSERT_TRUE(g.addTrack(trackOf({"A123BC77", "A123BC77"}, 1)));
  EXPECT_TRUE(g.addTrack(trackOf({"A123BC77"}, 9)));
  ASSERT_EQ(g.tracks.size(), 1u);
  EXPECT_EQ(g.tracks[0].numB(), 9u);

  MultiTrack shortText;
  ASSERT_TRUE(shortText.addTrack(trackOf({"A123"}, 1)));
  EXPECT_FALSE(shortText.addTrack(trackOf({"A123"}, 9)));
  EXPECT_EQ(shortText.tracks[0].points.size(), 1u);
}

}  // namespace
}  // namespace kovira
