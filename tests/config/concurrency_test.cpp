#include "config/config.h"

#include "tests/config/config_fixture.h"

#include <nlohmann/json.hpp>

#include <latch>
#include <thread>

namespace kovira {
namespace {

using Json = nlohmann::json;

TEST(ConfigLock, NestsOnOneThreadButRefusesAnUpgrade) {
  {
    ConfigWriteLock outer;
    ConfigReadLock inner;
    ConfigWriteLock again;
  }
  {
    ConfigReadLock outer;
    ConfigReadLock inner;
    EXPECT_THROW(ConfigWriteLock upgrade, std::logic_error);
  }
  // Everything was released: another thread can write.
  std::thread([] { ConfigWriteLock lock; }).join();
}

class ConcurrencyTest : public testing::ConfigTest {};

// Page handlers update sections while the pipeline reads zones and the main
// loop serialises the whole configuration; every text must stay a complete
// file and zone references must stay valid as the registry grows.
TEST_F(ConcurrencyTest, ReadersSeeCompleteTextsWhileWritersUpdate) {
  GlobalConfig cfg(identity);
  ASSERT_TRUE(cfg.updSection("camera", {{"type", "camera"}, {"camid", 1}, {"bufsize", 1}}));
  ASSERT_TRUE(cfg.updSection("zone", {{"type", "zone"}, {"zoneid", 1}, {"camid", 1}, {"scale", 6},
                                      {"enabled", 1}, {"coords", "0,0,100,0,100,100"}}));
  const Zone* first = &zone(1);
  constexpr int kWrites = 300;
  constexpr int kReaders = 3;
  std::latch start(kReaders + 1);
  std::atomic<bool> done{false};
  std::atomic<int> badTexts{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < kReaders; ++r) {
    readers.emplace_back([&] {
      start.arrive_and_wait();
      while (!done) {
        const std::string text = cfg.whole(0);
        if (!Json::accept(text)) ++badTexts;
        (void)cfg.latlon();
        ConfigReadLock lock;
        for (const Zone& z : zones()) (void)z.cnnPolygon(0);
      }
    });
  }
  start.arrive_and_wait();
  for (int i = 0; i < kWrites; ++i) {
    cfg.updSection("global", {{"address", std::string(static_cast<std::size_t>(i % 50), 'x')},
                              {"coords", std::to_string(i) + ",1"}});
    cfg.updSection("zone", {{"type", "zone"}, {"zoneid", 2 + i % 200}, {"camid", 1}, {"scale", 6},
                            {"coords", "10,10,90,10,90,90"}});
    cfg.updSection("action", {{"type", "action"}, {"actid", 1 + i % 90}, {"label", std::to_string(i)}});
  }
  done = true;
  for (auto& t : readers) t.join();
  EXPECT_EQ(badTexts, 0);
  EXPECT_EQ(first, &zone(1));
  EXPECT_EQ(zone(1).zoneid, 1);
  EXPECT_EQ(zones().size(), 201u);
}

}  // namespace
}  // namespace kovira
