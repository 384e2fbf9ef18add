// The telemetry vehicle counter: the processing module "heartbeat" adds one
// to "carflow" for each plate group with a track read well enough, and the
// records carry the count of their period.
#include "devices/heartbeat.h"
#include "devices/sttydev.h"
#include "modules/heartbeat.h"
#include "recognition/multitrack.h"
#include "recognition/track.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <cstring>
#include <string>
#include <vector>

namespace {

// A track of `good` readings of the plate and `bad` of another text, in a
// zone of its own.
kovira::Track trackOf(std::uint32_t id, int good, int bad) {
  kovira::Track t(id, id, 1);
  for (int i = 0; i < good + bad; ++i) {
    CNN_RESULT r{};
    std::strncpy(r.text, i < good ? "A123BC77" : "X999XX99", sizeof r.text - 1);
    t.join(kovira::TrackPoint(r, id * 100 + i));
  }
  return t;
}

MultiValZ counted() {
  for (const auto& e : heartbeatStore().extras())
    if (e.key == "carflow") return e.value;
  return MultiValZ();
}

TEST(HeartbeatModule, CountsEachGroupWithAWellReadTrackOnce) {
  const struct {
    const char* what;
    std::vector<kovira::Track> tracks;
    int adds;
  } groups[] = {
      {"one accurate track", {trackOf(1, 10, 0)}, 1},
      {"accurate tracks in several zones count once", {trackOf(2, 2, 0), trackOf(1, 10, 0), trackOf(3, 9, 1)}, 1},
      {"only vague tracks", {trackOf(2, 2, 0), trackOf(4, 1, 1)}, 0},
      {"no track", {}, 0},
  };
  int total = 0;
  for (const auto& g : groups) {
    SCOPED_TRACE(g.what);
    kovira::MultiTrack group;
    for (const auto& t : g.tracks) group.addTrack(t);
    EXPECT_EQ(heartbeat::funnyt6(group), 0);
    total += g.adds;
    EXPECT_TRUE(counted() == MultiValZ(std::uint64_t(total))) << counted();
  }

  // The next record carries the count, the one after it 0.
  SttyDev noBoard;
  heartbeatStore().push(noBoard, 1800000000);
  heartbeatStore().push(noBoard, 1800000300);
  std::uint32_t n = 0;
  std::string body;
  ASSERT_GT(heartbeatStore().fill(n, body), 0u);
  const auto records = nlohmann::json::parse(body);
  ASSERT_GE(records.size(), 2u);
  EXPECT_EQ(records[records.size() - 2]["carflow"].get<int>(), 2);
  EXPECT_EQ(records.back()["carflow"].get<int>(), 0);
}

}  // namespace
