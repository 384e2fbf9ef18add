#include "recognition/bestframe.h"
#include "recognition/scene_access.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace kovira {
namespace {

TEST(CarRectTest, VehicleAroundThePlate) {
  EXPECT_EQ(carRect(100, 500, 400, 0, 0, 1.0f), (IntRect{200, 50, 600, 500}));
  EXPECT_EQ(carRect(100, 500, 400, 640, 480, 1.0f), (IntRect{200, 50, 440, 430}));
  EXPECT_EQ(carRect(100, 500, 400, 0, 0, 0.5f), (IntRect{350, 225, 300, 250}));
  // Clipped at the picture's edges; unclipped it may start left of the picture.
  EXPECT_EQ(carRect(100, 100, 400, 640, 480, 1.0f), (IntRect{0, 50, 400, 430}));
  EXPECT_EQ(carRect(100, -1000, 400, 640, 480, 1.0f), (IntRect{}));
  EXPECT_EQ(carRect(100, 500, 2000, 640, 480, 1.0f), (IntRect{}));
  // Unclipped, the rectangle may start left of the picture.
  EXPECT_EQ(carRect(100, 100, 400, 0, 0, 1.0f), (IntRect{-200, 50, 600, 500}));
}

class BestFrameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    sceneAccess().zoneCamera = [](unsigned zone) { return zone == 1 ? 7u : 0u; };
    sceneAccess().storedFrame = [this](unsigned camid, unsigned frame) -> std::optional<StoredFrame> {
      if (camid != 7 || evicted.count(frame)) return std::nullopt;
      return StoredFrame{1000, 800};
    };
  }
  void TearDown() override { sceneAccess() = SceneAccess{}; }

  // Frames 1..5, plate width 20 (vehicle 120 x 100); the first and the last
  // vehicle reach over the left and right edge, the middle three fit.
  static Track track(bool down) {
    Track t(1, 1, 7);
    const int xs[] = {20, 500, 500, 500, 990};
    for (int i = 0; i < 5; ++i) {
      CNN_RESULT r{};
      std::strcpy(r.text, "A123BC77");
      r.zoneid = 1;
      r.w = 20;
      r.ox = xs[i];
      r.oy = down ? 200 + 50 * i : 600 - 50 * i;
      t.join(TrackPoint(r, static_cast<std::uint32_t>(i + 1)));
    }
    return t;
  }

  std::set<unsigned> evicted;
};

TEST_F(BestFrameTest, WhollyInsideByDirectionEvictedSkipped) {
  // Down the image: the last wholly inside frame; up: the first.
  Track t = track(true);
  ASSERT_EQ(t.direction(), 1u);
  EXPECT_EQ(findBestFrame(t, 0), 4u);
  Track up = track(false);
  ASSERT_EQ(up.direction(), 2u);
  EXPECT_EQ(findBestFrame(up, 0), 2u);

  evicted = {3, 4};
  EXPECT_EQ(findBestFrame(t, 0), 2u);
  evicted = {2, 3, 4};
  EXPECT_EQ(findBestFrame(t, 0), 1u);  // 80 of 120 columns against 70 of 120
  evicted = {1, 2, 3, 4, 5};
  EXPECT_EQ(findBestFrame(t, 0), 0u);
  evicted.clear();

  // No camera or no vehicle area: no frame.
  Track other = track(true);
  other.zone = 2;
  EXPECT_EQ(findBestFrame(other, 0), 0u);
  Track flat = track(true);
  for (auto& p : flat.points) p.w = 0;
  EXPECT_EQ(findBestFrame(flat, 0), 0u);
}

}  // namespace
}  // namespace kovira
