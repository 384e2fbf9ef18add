// Telemetry records: their keys and JSON types, the bounded queue, and
// posting batches to a loopback collector.
#include "devices/heartbeat.h"
#include "devices/modem.h"
#include "devices/sttydev.h"
#include "http/httpclient.h"
#include "support/collector.h"
#include "tests/evidence/shell_helpers.h"
#include "tools/boardsim/boardsim.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <ctime>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

namespace {

using nlohmann::json;

constexpr std::uint32_t kNow = 1800000000;

json lastRecord(Heartbeat& hb) {
  std::uint32_t n = 0;
  std::string body;
  EXPECT_GT(hb.fill(n, body), 0u);
  return json::parse(body).back();
}

int postTo(const std::string& url, const char* data, std::size_t len) { return httppost(url, data, len); }

board::Status boardAt(std::uint32_t t, std::uint32_t uptime, std::uint32_t flashes, std::uint32_t power) {
  return {.time = t, .V = 20180726, .U = uptime, .V1 = 1234, .V2 = 1190, .P = power, .F = flashes, .G = 9,
          .T1 = static_cast<std::uint32_t>(-5)};
}

// The server tells integers from floating values by the text: 0 is not 0.0.
std::string typeOf(const json& value) {
  return value.is_number_float() ? "f" : value.is_number_integer() ? "i" : value.is_string() ? "s" : "?";
}

TEST(TelemetryRecord, KeysHaveTheTableTypesWithAndWithoutABoard) {
  struct Case {
    const char* name;
    bool board;
    std::vector<const char*> keys;  // "key:type", type "-" for an absent key
  };
  const Case cases[] = {
      {"no board", false,
       {"version:i", "token:s", "timestamp:i", "interval:i", "timesync:i", "coords:s", "memfree:i", "T0:f", "V0:f",
        "T1:f", "V1:f", "V2:f", "carrieruptime:i", "flashcnt:i", "power:i", "voltage:f", "temperature:f",
        "freespace:i", "usedspace:i", "hwversion:-", "onbattery:-", "onmainpower:-", "numsat:-"}},
      {"board", true,
       {"T1:i", "V1:f", "V2:f", "hwversion:i", "onbattery:i", "onmainpower:i", "carrieruptime:i", "numsat:i",
        "flashcnt:i", "power:i", "voltage:f"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Heartbeat hb;
    SttyDev board;
    if (c.board) {
      board.emplace(boardAt(kNow - Heartbeat::kInterval, 1000, 10, 100));
      board.emplace(boardAt(kNow, 1300, 13, 90));
    }
    hb.push(board, kNow);
    const json rec = lastRecord(hb);
    for (const std::string spec : c.keys) {
      const std::string key = spec.substr(0, spec.find(':'));
      EXPECT_EQ(rec.contains(key) ? key + ":" + typeOf(rec[key]) : key + ":-", spec);
    }
    if (c.board) {
      EXPECT_EQ(rec["T1"].get<int>(), -5);
      EXPECT_EQ(rec["flashcnt"].get<std::uint32_t>(), 3u);
      EXPECT_EQ(rec["power"].get<std::uint32_t>(), static_cast<std::uint32_t>(90 - 100));  // 32-bit wrap
      EXPECT_DOUBLE_EQ(rec["voltage"].get<double>(), 12.34);  // V1 wins over V2
    } else {
      EXPECT_EQ(rec["carrieruptime"].get<int>(), 0);
      EXPECT_EQ(rec["V1"].get<double>(), 0.0);
    }
  }
}

TEST(TelemetryRecord, BoardRestartOmitsDifferencesAndCountersGoOutEveryTime) {
  Heartbeat hb;
  SttyDev board;
  board.emplace(boardAt(kNow - Heartbeat::kInterval, 5000, 10, 100));
  board.emplace(boardAt(kNow, 20, 1, 1));  // uptime went back: the board restarted
  for (int group = 0; group < 3; ++group) hb.addone("carflow");
  hb.emplace("uptime", "shadow");  // a fixed key wins over an extra
  hb.push(board, kNow);
  hb.push(board, kNow);
  std::uint32_t n = 0;
  std::string body;
  ASSERT_EQ(hb.fill(n, body), 2u);
  const json both = json::parse(body);
  EXPECT_FALSE(both[0].contains("flashcnt"));
  EXPECT_FALSE(both[0].contains("power"));
  EXPECT_TRUE(both[0]["uptime"].is_number());
  EXPECT_EQ(both[0]["carflow"].get<int>(), 3);
  EXPECT_EQ(both[1]["carflow"].get<int>(), 0);
}

TEST(TelemetrySend, FailedPostKeepsTheQueueAndSaysSo) {
  testsupport::Collector collector(R"({"*": {"status": [500]}})");
  ASSERT_TRUE(collector.ok());
  Heartbeat hb;
  SttyDev board;
  hb.url = collector.base() + Heartbeat::kPath;
  hb.push(board, kNow);
  std::uint32_t n = 0;
  std::string body;
  hb.fill(n, body);
  testing::internal::CaptureStdout();
  hb.send(postTo);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(out, "[DBG] fail send " + std::to_string(body.size()) + " bytes to " + hb.url + "\n");
  EXPECT_EQ(hb.queued(), 1u);
}

TEST(TelemetrySend, RecordPushedDuringAPostStaysAndOverlappingSendsMakeOnePost) {
  Heartbeat hb;
  SttyDev board;
  hb.url = "http://127.0.0.1:9/upload.php";
  hb.push(board, kNow);
  std::promise<void> entered, release;
  auto releasedFuture = release.get_future().share();
  int posts = 0;
  std::thread first([&] {
    hb.send([&](const std::string&, const char*, std::size_t) {
      if (++posts == 1) {
        entered.set_value();
        releasedFuture.wait();
        return 0;
      }
      return -1;  // the record pushed meanwhile: leave it queued
    });
  });
  entered.get_future().wait();
  hb.push(board, kNow + 1);
  int secondPosts = 0;
  hb.send([&](const std::string&, const char*, std::size_t) { return ++secondPosts, 0; });
  release.set_value();
  first.join();
  EXPECT_EQ(secondPosts, 0);
  EXPECT_EQ(posts, 2);
  std::uint32_t n = 0;
  std::string body;
  ASSERT_EQ(hb.fill(n, body), 1u);
  EXPECT_EQ(json::parse(body)[0]["timestamp"].get<std::uint32_t>(), kNow + 1);
}

TEST(TelemetrySend, LongOutageKeepsTheNewestWeekAndDrainsInOrderOnce) {
  Heartbeat hb;
  SttyDev board;
  hb.url = "http://127.0.0.1:9/upload.php";
  const std::uint32_t total = 2100;
  testing::internal::CaptureStdout();
  for (std::uint32_t k = 0; k < total; ++k) hb.push(board, kNow + k);
  hb.send([](const std::string&, const char*, std::size_t) { return -1; });
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(hb.queued(), Heartbeat::kQueueMax);
  EXPECT_EQ(hb.dropped(), total - Heartbeat::kQueueMax);

  std::vector<std::uint32_t> stamps;
  int posts = 0;
  hb.send([&](const std::string&, const char* data, std::size_t len) {
    ++posts;
    EXPECT_LE(len, Heartbeat::kBatchBytes);
    for (const auto& rec : json::parse(std::string(data, len))) stamps.push_back(rec["timestamp"].get<std::uint32_t>());
    return 0;
  });
  EXPECT_GT(posts, 1);
  ASSERT_EQ(stamps.size(), Heartbeat::kQueueMax);
  for (std::size_t k = 0; k < stamps.size(); ++k) ASSERT_EQ(stamps[k], kNow + 84 + k);
  EXPECT_EQ(hb.queued(), 0u);
}

// The unit's sources as they run: the board's status read from the
// simulator over a pseudo-terminal, the modem state as its process writes
// it; the first post carries both records. (The scheduler's periods are not
// shortened here: its waits are bounded by the monotonic clock, which a
// sped-up wall clock does not hasten.)
TEST(TelemetrySend, FirstPostCarriesTheBoardAndTheModem) {
  evtest::ScratchDir dir("telemetry");
  const std::string link = dir.file("ttySS");
  boardsim::Simulator sim(boardsim::Options{.link = link});
  std::string error;
  ASSERT_TRUE(sim.start(error)) << error;
  SttyDev board;
  ASSERT_GE(board.open(link + ",9600"), 0);
  const SttyDev::status_t st = board.status();
  ASSERT_NE(st.time, 0u);
  board.emplace(st);

  testsupport::Collector collector;
  ASSERT_TRUE(collector.ok());
  Heartbeat hb;
  hb.url = collector.base() + Heartbeat::kPath;
  const auto now = static_cast<std::uint32_t>(std::time(nullptr));
  const std::string state = R"({"timestamp": )" + std::to_string(now - 200) +
                            R"(, "duration": 4000, "signal": -67, "name": " TestNet LTE ", "imsi": "123"})";
  ASSERT_TRUE(modem::report(state, now, hb));
  hb.push(board, now);
  hb.push(board, now + 1);
  std::uint32_t n = 0;
  std::string expected;
  ASSERT_EQ(hb.fill(n, expected), 2u);
  hb.send(postTo);
  // Both records in one array with its digest, then erased.
  ASSERT_TRUE(collector.waitForRecords(1, std::chrono::seconds(20)));
  const auto records = collector.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0]["path"], "/upload.php");
  EXPECT_EQ(collector.body(records[0]), expected);
  EXPECT_EQ(records[0]["headers"]["x-hash"], records[0]["md5"]);
  EXPECT_EQ(hb.queued(), 0u);
  const json rec = json::parse(expected)[0];
  EXPECT_EQ(rec["hwversion"].get<std::uint32_t>(), st.V);
  EXPECT_GT(st.V, 0u);
  EXPECT_EQ(rec["signal"].get<int>(), -67);
  EXPECT_EQ(rec["mobtime"].get<int>(), 4000);
  EXPECT_EQ(rec["mobname"], "TestNet LTE");
  EXPECT_FALSE(rec.contains("imsi"));
  sim.stop();
}

}  // namespace
