#include "recognition/multitrack.h"
#include "recognition/scene_access.h"
#include "recognition/track.h"
#include "recognition/track_mask.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

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

TEST(TrackTest, VotesOrderAndReplacement) {
  TrackPoint unterminated;  // the text stops at the field
  std::memset(unterminated.text, 'A', sizeof(unterminated.text));
  EXPECT_EQ(unterminated.plate(), std::string(20, 'A'));

  // Equal votes keep the earlier text first.
  Track t = trackOf({"A123BC77", "A123BC77", "A123BC77", "A128BC77", "A128BC77", "A128BC77"});
  EXPECT_EQ(t.text(), "A123BC77");
  EXPECT_EQ(t.getHypothesis()[1], (Track::Hypothesis{"A128BC77", 3}));
  t.join(point(7, "A128BC77"));
  EXPECT_EQ(t.text(), "A128BC77");

  // A second reading of a frame replaces only when strictly closer to the text; no new vote.
  Track r = trackOf({"A123BC77", "A123BC77", "A123BC77", "A123BX77"});
  r.join(point(4, "A123BC77"));
  EXPECT_EQ(r.getPoint(4).plate(), "A123BC77");
  r.join(point(1, "A123BC7X"));
  r.join(point(2, "A123BC77"));
  EXPECT_EQ(r.getPoint(1).plate(), "A123BC77");
  EXPECT_EQ(r.points.size(), 4u);
  EXPECT_EQ(r.getHypothesis().front().second, 3);
  EXPECT_THROW(r.getPoint(6), std::logic_error);

  // Frame order whatever the arrival order.
  Track o(1, 1, 1);
  for (std::uint32_t f : {30u, 10u, 20u, 40u}) o.join(point(f, "A123BC77"));
  EXPECT_EQ(o.numA(), 10u);
  EXPECT_EQ(o.numB(), 40u);
  EXPECT_EQ(o.place(15), 1u);
  EXPECT_EQ(o.place(41), 4u);
  EXPECT_TRUE(o.contains(25));
  EXPECT_FALSE(o.contains(41));
}

TEST(TrackTest, Measures) {
  // Accuracy of one or two hypotheses.
  EXPECT_FLOAT_EQ(Track().advAccuracy(), 0.0f);
  EXPECT_FLOAT_EQ(trackOf({"A123BC77", "A123BC77", "A123BC77"}).advAccuracy(), 0.75f);
  Track many(1, 1, 1);
  for (std::uint32_t f = 1; f <= 40; ++f) many.join(point(f, "A123BC77"));
  EXPECT_FLOAT_EQ(many.advAccuracy(), 25.0f);
  Track two = trackOf({"A123BC77", "A123BC77", "A123BC77", "A123BC77", "A123BC77", "A123BC77", "A128BC77",
                       "A128BC77"});
  EXPECT_FLOAT_EQ(two.advAccuracy(), 2.25f);
  EXPECT_FLOAT_EQ(two.absAccuracy(), 0.75f);
  EXPECT_EQ(two.onlyValidPoints().size(), 6u);

  // Join distance over the last ten points only.
  Track w(1, 1, 1);
  w.join(point(0, "A123BC77", 0, 0));
  EXPECT_EQ(w.averageJoinDist(), 150);
  for (int i = 1; i <= 10; ++i) w.join(point(i, "A123BC77", 1000 + 9 * i, 0));
  EXPECT_EQ(w.averageJoinDist(), (9 * 9) / 10);

  // Direction needs four valid points.
  Track down(1, 1, 1), up(1, 1, 1);
  for (int i = 0; i < 3; ++i) down.join(point(i + 1, "A123BC77", 0, 100 + 10 * i));
  EXPECT_EQ(down.direction(), 0u);
  down.join(point(4, "A123BC77", 0, 200));
  EXPECT_EQ(down.direction(), 1u);
  for (int i = 0; i < 4; ++i) up.join(point(i + 1, "A123BC77", 0, 300 - 10 * i));
  up.join(point(5, "X999XX99", 0, 900));
  EXPECT_EQ(up.direction(), 2u);
}

TEST(TrackTest, MotionPerFrameCountsTheFramesBetweenReadings) {
  struct Row {
    std::vector<std::uint32_t> frames;
    std::vector<int> ys;
    std::optional<double> motion;
  };
  const Row rows[] = {
      {{10, 10}, {0, 20}, std::nullopt},    // two readings of one frame are one point
      {{10, 11}, {0, 20}, 20.0},            // averageJoinDist says 10 here
      {{10, 15, 20}, {0, 100, 200}, 20.0},  // every 5th frame read: 100 pixels a reading
      {{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12},  // only the last ten readings count
       {0, 100, 200, 210, 220, 230, 240, 250, 260, 270, 280, 290}, 10.0},
  };
  for (const Row& r : rows) {
    Track t(1, 1, 1);
    for (std::size_t i = 0; i < r.frames.size(); ++i) t.join(point(r.frames[i], "A123BC77", 0, r.ys[i]));
    EXPECT_EQ(t.motionPerFrame(), r.motion) << r.frames.size() << " readings";
  }
}

TEST(TrackTest, VehicleClassByVote) {
  struct Row {
    int a, na, b, nb, none, expected;
  };
  for (const Row& r : {Row{3, 5, 7, 4, 1, 0}, Row{3, 9, 7, 1, 0, 3}, Row{3, 1, 7, 9, 0, 7}, Row{4, 2, 0, 0, 3, 0},
                       Row{4, 3, 0, 0, 3, 4}, Row{0, 0, 0, 0, 5, 0}}) {
    Track t(1, 1, 1);
    std::uint32_t f = 1;
    for (int i = 0; i < r.na; ++i) t.join(point(f++, "A123BC77", 0, 0, r.a));
    for (int i = 0; i < r.nb; ++i) t.join(point(f++, "A123BC77", 0, 0, r.b));
    for (int i = 0; i < r.none; ++i) t.join(point(f++, "A123BC77", 0, 0, 0));
    EXPECT_EQ(t.type(), r.expected) << r.a << "x" << r.na << " " << r.b << "x" << r.nb;
  }
}

TEST(TrackTest, Joining) {
  EXPECT_TRUE(comparePlateText("A123BC", "A123BC77"));
  EXPECT_TRUE(comparePlateText("O123BC77", "0123BC77"));
  EXPECT_FALSE(comparePlateText("A123", "A123"));
  EXPECT_FALSE(comparePlateText("A123BC77", "X456BC99"));

  // An earlier track merges in frame order; its votes are not added.
  Track later = trackOf({"A123BC77", "A123BC77", "A123BC77"}, 20);
  ASSERT_TRUE(later.joinTrack(trackOf({"A123BC77", "A123BC77", "A123BC77"}, 18)));
  ASSERT_EQ(later.points.size(), 5u);
  for (std::size_t i = 0; i < later.points.size(); ++i) EXPECT_EQ(later.points[i].num, 18u + i);
  EXPECT_EQ(later.getHypothesis().front().second, 3);

  // Short texts, other zones and other plates are refused.
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

  // A multi-track holds one track per zone; a second one of a zone is merged or left out.
  MultiTrack g;
  EXPECT_EQ(g.text(), "");
  Track z2 = trackOf({"A123BC77"}, 10);
  z2.zone = 2;
  EXPECT_TRUE(g.addTrack(trackOf({"A123BC77", "A123BC77"}, 1)));
  EXPECT_TRUE(g.addTrack(z2));
  EXPECT_TRUE(g.addTrack(trackOf({"A123BC77"}, 9)));
  EXPECT_EQ(g.text(), "A123BC77");
  ASSERT_EQ(g.tracks.size(), 2u);
  EXPECT_EQ(g.track(1).numB(), 9u);
  EXPECT_EQ(g.track(2).numA(), 10u);
  EXPECT_FALSE(g.hasTrack(3));
  EXPECT_THROW(g.track(3), std::logic_error);
  MultiTrack shortText;
  ASSERT_TRUE(shortText.addTrack(trackOf({"A123"}, 1)));
  EXPECT_FALSE(shortText.addTrack(trackOf({"A123"}, 9)));
}

class CheckMaskTest : public ::testing::Test {
 protected:
  void TearDown() override { sceneAccess().trackmask = nullptr; }
};

TEST_F(CheckMaskTest, BuiltInAndConfiguredPatterns) {
  EXPECT_TRUE(trackOf({"a123bc77"}).checkMask());  // upper-cased first
  EXPECT_TRUE(trackOf({"1TAX2345"}).checkMask());
  EXPECT_FALSE(trackOf({"HELLO1"}).checkMask());
  EXPECT_FALSE(Track().checkMask());
  sceneAccess().trackmask = [] { return std::string(" HELLO[0-9] ;\nQQ[0-9]{2}|,"); };
  EXPECT_TRUE(trackOf({"hello1"}).checkMask());
  EXPECT_TRUE(trackOf({"QQ12"}).checkMask());
  EXPECT_TRUE(trackOf({"A123BC77"}).checkMask());
  EXPECT_FALSE(trackOf({"QQ123"}).checkMask());
  // An invalid piece is reported once; the rest still work.
  sceneAccess().trackmask = [] { return std::string("ZZ[0-9]{3};BAD[0-9"); };
  testing::internal::CaptureStdout();
  EXPECT_TRUE(trackOf({"ZZ123"}).checkMask());
  sceneAccess().trackmask = [] { return std::string("BAD[0-9"); };
  EXPECT_TRUE(trackOf({"A123BC77"}).checkMask());
  EXPECT_FALSE(trackOf({"ZZ123"}).checkMask());
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "[TRACK] trackmask pattern is not a valid expression, ignored: BAD[0-9\n");
}

}  // namespace
}  // namespace kovira
