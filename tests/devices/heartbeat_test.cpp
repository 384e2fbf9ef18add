// The heartbeat store's values and the three ways of setting them.
#include "devices/heartbeat.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sstream>
#include <thread>
#include <vector>

namespace {

const Heartbeat::ExtraS* find(const std::vector<Heartbeat::ExtraS>& extras, const std::string& key) {
  for (const auto& e : extras)
    if (e.key == key) return &e;
  return nullptr;
}

// Marks every extra as written into a record, as the record builder does.
class RecordedHeartbeat : public Heartbeat {
 public:
  void markSent() {
    std::lock_guard lock(mutex);
    for (auto& e : extras_)
      if (e.kind == kSet || e.kind == kOnce) e.kind = kSent;
  }
};

TEST(MultiValZ, EqualityPrintingAndJsonByType) {
  EXPECT_FALSE(MultiValZ() == MultiValZ());  // empty values always count as a change
  EXPECT_FALSE(MultiValZ(1) == MultiValZ(std::uint64_t{1}));
  EXPECT_TRUE(MultiValZ(1) == MultiValZ(1));
  EXPECT_TRUE(MultiValZ(0.5) == MultiValZ(0.5));
  EXPECT_TRUE(MultiValZ("abc") == MultiValZ(std::string("abc")));
  EXPECT_TRUE(MultiValZ("abc") != MultiValZ("abd"));
  EXPECT_FALSE(static_cast<bool>(MultiValZ()));
  EXPECT_TRUE(static_cast<bool>(MultiValZ(0)));
  // Printed and converted to JSON by type.
  std::ostringstream os;
  os << MultiValZ(-3) << "|" << MultiValZ(0.25) << "|" << MultiValZ(std::uint64_t{1} << 40) << "|" << MultiValZ("x")
     << "|" << MultiValZ();
  EXPECT_EQ(os.str(), "-3|0.25|1099511627776|x|");
  nlohmann::json j = {MultiValZ(-3), MultiValZ(0.5), MultiValZ(7u), MultiValZ("s"), MultiValZ()};
  EXPECT_EQ(j.dump(), R"([-3,0.5,7,"s",null])");
  EXPECT_TRUE(j[0].is_number_integer() && !j[0].is_number_unsigned());
  EXPECT_TRUE(j[1].is_number_float());
  EXPECT_TRUE(j[2].is_number_unsigned());
}

TEST(HeartbeatStore, EmplaceKeepsOneEntryWithTheLatestValue) {
  Heartbeat hb;
  hb.emplace("lazybuffused", 0.5);
  hb.emplace("signal", 10);
  hb.emplace("lazybuffused", 1);
  const auto extras = hb.extras();
  ASSERT_EQ(extras.size(), 2u);
  EXPECT_EQ(extras[0].key, "lazybuffused");  // order of first use
  EXPECT_TRUE(extras[0].value == MultiValZ(1));
  EXPECT_EQ(extras[0].kind, Heartbeat::kSet);
}

// once() sends a value only when it changed; addone() counts without changing type or kind.
TEST(HeartbeatStore, OnceAndAddone) {
  RecordedHeartbeat hb;
  hb.once("imei", "123");
  EXPECT_EQ(find(hb.extras(), "imei")->kind, Heartbeat::kOnce);
  hb.markSent();
  hb.once("imei", "123");
  EXPECT_EQ(find(hb.extras(), "imei")->kind, Heartbeat::kSent);
  hb.once("imei", "456");
  EXPECT_EQ(find(hb.extras(), "imei")->kind, Heartbeat::kOnce);
  EXPECT_TRUE(find(hb.extras(), "imei")->value == MultiValZ("456"));
  hb.addone("carflow");
  auto e = *find(hb.extras(), "carflow");
  EXPECT_EQ(e.kind, Heartbeat::kCounter);
  EXPECT_EQ(e.value.type, MultiValZ::kUnsigned);
  EXPECT_EQ(e.value.u, 1u);
  hb.emplace("other", 5);
  hb.once("carflow", std::uint64_t{1});  // same value: nothing changes
  hb.addone("carflow");
  e = *find(hb.extras(), "carflow");
  EXPECT_EQ(e.value.u, 2u);
  EXPECT_EQ(e.kind, Heartbeat::kCounter);
}

TEST(HeartbeatStore, ConcurrentCountersLoseNothing) {
  Heartbeat hb;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&hb, t] {
      for (int i = 0; i < 1000; ++i) {
        hb.addone("n");
        hb.emplace("t" + std::to_string(t), i);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(find(hb.extras(), "n")->value.u, 4000u);
  EXPECT_EQ(hb.extras().size(), 5u);
}

}  // namespace
