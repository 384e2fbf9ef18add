// The lazy upload queue: order, hashes and bytes at the collector, failure
// runs in the history, the size limit, head-of-line failures, the page.
#include "devices/heartbeat.h"
#include "evidence/crypto.h"
#include "evidence/upload.h"
#include "http/server.h"
#include "support/collector.h"
#include "support/text.h"
#include "support/wait.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <random>
#include <stdexcept>
#include <thread>

namespace {

using namespace std::chrono_literals;
using testsupport::Collector;

SimpleFile randomArchive(std::size_t n, unsigned seed) {
  const std::string s = testsupport::randomBytes(n, seed);
  return SimpleFile(s.data(), s.size());
}

std::string md5of(const SimpleFile& f) { return md5(reinterpret_cast<const unsigned char*>(f.bytes()), f.size); }

// The collector writes a record once its answer is out, so a record may
// follow the next request's; "n" numbers the requests as they arrived.
std::vector<nlohmann::json> inArrivalOrder(std::vector<nlohmann::json> records) {
  std::sort(records.begin(), records.end(),
            [](const nlohmann::json& a, const nlohmann::json& b) { return a["n"].get<int>() < b["n"].get<int>(); });
  return records;
}

// A failing archive queued before a good one, no pause between attempts.
void queueBoth(UploadWebLazy& queue, const SimpleFile& failing, const SimpleFile& good) {
  queue.configure("http://unused/upload.php");
  queue.faildelay = 0;
  queue.push(failing);
  queue.push(good);
}

std::string deadUrl() { return "http://127.0.0.1:" + std::to_string(testsupport::closedPort()) + "/upload.php"; }

TEST(LazyUpload, ArchivesArriveInOrderWithTheirHashes) {
  Collector collector;
  ASSERT_TRUE(collector.ok());
  UploadWebLazy queue;
  queue.configure(collector.base() + "/upload.php");
  std::vector<SimpleFile> archives;
  for (unsigned i = 0; i < 4; ++i) {
    archives.push_back(randomArchive(10000 + 70000 * i, i));
    ASSERT_TRUE(queue.push(archives.back()));
  }
  queue.start();
  ASSERT_TRUE(collector.waitForRecords(4, 10s));
  const auto records = inArrivalOrder(collector.records());
  std::uint64_t total = 0;
  for (std::size_t i = 0; i < archives.size(); ++i) {
    const std::string hash = md5of(archives[i]);
    EXPECT_EQ(records[i]["path"], "/upload.php");
    EXPECT_EQ(records[i]["query"], "type=upload&hash=" + hash);
    EXPECT_EQ(records[i]["method"], "POST");
    EXPECT_EQ(records[i]["headers"]["x-hash"], hash);
    EXPECT_EQ(records[i]["headers"]["content-type"], "application/octet-stream");
    EXPECT_EQ(collector.body(records[i]), archives[i].str());
    total += archives[i].size;
  }
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.queued() == 0; }, 5s));
  EXPECT_EQ(queue.sent, total);
  EXPECT_EQ(queue.queuedBytes(), 0u);
  const auto history = queue.history();
  ASSERT_EQ(history.size(), 4u);
  for (const auto& e : history) EXPECT_EQ(e.status, 1u);
  EXPECT_EQ(history[3].size, archives[3].size);
}

TEST(LazyUpload, AFailureRunIsOneHistoryEntry) {
  Collector collector(R"({"/upload.php": {"status": [500, 500, 500, 200]}})");
  ASSERT_TRUE(collector.ok());
  UploadWebLazy queue(UploadWebLazy::httpPoster(), 10ms);
  queue.faildelay = 0;
  queue.configure(collector.base() + "/upload.php");
  const SimpleFile archive = randomArchive(5000, 7);
  queue.push(archive);
  queue.start();
  ASSERT_TRUE(collector.waitForRecords(4, 10s));
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.queued() == 0; }, 5s));
  const auto history = queue.history();
  ASSERT_EQ(history.size(), 2u);
  EXPECT_EQ(history[0].status, 0u);
  EXPECT_EQ(history[0].failcount, 3u);
  EXPECT_EQ(history[1].status, 1u);
  EXPECT_EQ(queue.failed, 3u);
  for (const auto& r : collector.records()) EXPECT_EQ(collector.body(r), archive.str());
}

TEST(LazyUpload, WhatDoesNotFitIsDroppedWithALine) {
  UploadWebLazy queue;  // collector down: nothing leaves the queue
  queue.configure(deadUrl());
  queue.limsize = 1;
  testing::internal::CaptureStdout();
  std::vector<bool> queued;
  for (unsigned i = 0; i < 4; ++i) queued.push_back(queue.push(randomArchive(400 * 1024, i)));
  const std::string out = testing::internal::GetCapturedStdout();
  // 2 x 400 KiB fit into 1 MiB, a third does not.
  EXPECT_EQ(queued, (std::vector<bool>{true, true, false, false}));
  EXPECT_EQ(queue.dropped, 2u);
  EXPECT_EQ(queue.queued(), 2u);
  EXPECT_NE(out.find("[DBG] upload queue full (1 MiB): archive of 409600 bytes dropped\n"), std::string::npos) << out;
  EXPECT_EQ(queue.maxfill, 800u * 1024);
  // A smaller archive still fits beside the others.
  EXPECT_TRUE(queue.push(randomArchive(200 * 1024, 9)));
  // Without an address nothing is queued, and nothing counts as dropped.
  UploadWebLazy unset;
  EXPECT_FALSE(unset.push(randomArchive(10, 1)));
  EXPECT_EQ(unset.queued(), 0u);
  EXPECT_EQ(unset.dropped, 0u);
}

TEST(LazyUpload, AnOutageKeepsTheOrderOldestFirst) {
  // The collector is down (connections refused) for many more failed
  // attempts than it takes to give up on a refused head archive, then comes
  // back on the same port.
  const int port = testsupport::closedPort();
  UploadWebLazy queue(UploadWebLazy::httpPoster(), 5ms);
  queue.faildelay = 0;
  queue.configure("http://127.0.0.1:" + std::to_string(port) + "/upload.php");
  std::vector<SimpleFile> archives;
  for (unsigned i = 0; i < 30; ++i) {
    archives.push_back(randomArchive(1000 + 100 * i, 100 + i));
    ASSERT_TRUE(queue.push(archives.back()));
  }
  queue.start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.failed >= 3 * UploadWebLazy::kMaxHeadFailures; }, 20s));
  Collector collector("{}", port);
  ASSERT_TRUE(collector.ok());
  ASSERT_TRUE(collector.waitForRecords(archives.size(), 20s));
  const auto records = inArrivalOrder(collector.records());
  ASSERT_EQ(records.size(), archives.size());
  for (std::size_t i = 0; i < archives.size(); ++i)
    EXPECT_EQ(records[i]["md5"], md5of(archives[i])) << "archive " << i << " out of order";
}

TEST(LazyUpload, AnArchiveThatKeepsFailingLetsTheOthersPass) {
  const SimpleFile poison = randomArchive(100, 1);
  const SimpleFile good = randomArchive(200, 2);
  std::atomic<int> goodSent{0};
  std::atomic<int> poisonPosts{0};
  UploadWebLazy queue(
      [&](const std::string&, const SimpleFile& f, const std::atomic<bool>*) {
        if (f.data == poison.data) {
          // A post that throws, whatever it throws, is a failed post.
          if (++poisonPosts == 1) throw 42;
          if (poisonPosts == 2) throw std::runtime_error("no route");
          return 422;  // the server answers, and refuses this archive
        }
        ++goodSent;
        return 200;
      },
      1ms);
  queueBoth(queue, poison, good);
  testing::internal::CaptureStdout();
  queue.start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return goodSent == 1; }, 5s));
  queue.stop();
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[DBG] upload: archive of 100 bytes failed 10 times in a row, moved to the back of the queue"),
            std::string::npos);
  EXPECT_NE(out.find("[ERR] upload: unknown failure\n"), std::string::npos);
  EXPECT_NE(out.find("[ERR] upload: no route\n"), std::string::npos);
  EXPECT_EQ(queue.queued(), 1u);  // the failing one is kept, never dropped
  EXPECT_GE(queue.failed, 10u);
}

// Which answers say "this archive is refused" (it moves to the back after
// kMaxHeadFailures of them) and which say "the server is down" (the head
// stays, retried forever). Posts run one at a time, so the count of poison
// posts when the first good archive goes out is exact.
TEST(LazyUpload, OnlyARefusalOfTheArchiveMovesTheHead) {
  struct Case {
    int status;
    bool moves;
  };
  const Case cases[] = {{400, true},  {404, true},  {413, true},  {418, true},  {422, true},  {499, true},
                        {408, false}, {429, false}, {500, false}, {502, false}, {503, false}, {504, false},
                        {-1, false},  {301, false}};
  for (const Case& c : cases) {
    const SimpleFile poison = randomArchive(100, 1);
    const SimpleFile good = randomArchive(200, 2);
    std::atomic<int> poisonPosts{0}, poisonPostsBeforeGood{-1};
    UploadWebLazy queue(
        [&](const std::string&, const SimpleFile& f, const std::atomic<bool>*) {
          if (f.data == poison.data) {
            ++poisonPosts;
            return c.status;
          }
          if (poisonPostsBeforeGood < 0) poisonPostsBeforeGood = poisonPosts.load();
          return 200;
        },
        0ms);
    queueBoth(queue, poison, good);
    const std::string out = testsupport::stdoutOf([&] {
      queue.start();
      if (c.moves)
        EXPECT_TRUE(testsupport::waitUntil([&] { return poisonPostsBeforeGood >= 0; }, 5s)) << c.status;
      else
        EXPECT_TRUE(testsupport::waitUntil([&] { return poisonPosts >= 3 * 10; }, 5s)) << c.status;
      queue.stop();
    });
    if (c.moves) {
      EXPECT_EQ(poisonPostsBeforeGood, static_cast<int>(UploadWebLazy::kMaxHeadFailures)) << c.status;
      EXPECT_NE(out.find("moved to the back of the queue"), std::string::npos) << c.status;
    } else {
      EXPECT_EQ(poisonPostsBeforeGood, -1) << c.status << ": the head moved";
      EXPECT_EQ(queue.queued(), 2u) << c.status;
    }
  }
}

// A collection point behind a web server answers 503 while its back end is
// down: fifteen of them, then it is back, and the archives arrive in order.
TEST(LazyUpload, ServerErrorsKeepTheOrder) {
  std::string statuses;
  for (int i = 0; i < 15; ++i) statuses += "503, ";
  Collector collector(R"({"/upload.php": {"status": [)" + statuses + "200]}}");
  ASSERT_TRUE(collector.ok());
  UploadWebLazy queue(UploadWebLazy::httpPoster(), 1ms);
  queue.faildelay = 0;
  queue.configure(collector.base() + "/upload.php");
  std::vector<SimpleFile> archives;
  for (unsigned i = 0; i < 3; ++i) {
    archives.push_back(randomArchive(3000 + i, 200 + i));
    ASSERT_TRUE(queue.push(archives.back()));
  }
  queue.start();
  ASSERT_TRUE(collector.waitForRecords(18, 20s));
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.queued() == 0; }, 5s));
  const auto records = inArrivalOrder(collector.records());
  ASSERT_EQ(records.size(), 18u);
  for (std::size_t i = 0; i < 15; ++i) {
    EXPECT_EQ(records[i]["status"], 503);
    EXPECT_EQ(records[i]["md5"], md5of(archives[0])) << "post " << i << " was not the head";
  }
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(records[15 + i]["status"], 200);
    EXPECT_EQ(records[15 + i]["md5"], md5of(archives[i])) << "archive " << i << " out of order";
  }
  EXPECT_EQ(queue.failed, 15u);
}

// A collection point that refuses one archive (418, by its hash) and takes
// the others: the refused one steps aside after ten refusals.
TEST(LazyUpload, ARefusedArchiveStepsAsideAfterTen) {
  const SimpleFile poison = randomArchive(500, 300);
  const SimpleFile good = randomArchive(600, 301);
  Collector collector(R"({"/upload.php?type=upload&hash=)" + md5of(poison) + R"(": {"status": 418}})");
  ASSERT_TRUE(collector.ok());
  UploadWebLazy queue(UploadWebLazy::httpPoster(), 1ms);
  queue.faildelay = 0;
  queue.configure(collector.base() + "/upload.php");
  queue.push(poison);
  queue.push(good);
  testing::internal::CaptureStdout();
  queue.start();
  ASSERT_TRUE(collector.waitForRecords(11, 20s));
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.queued() == 1; }, 5s));
  queue.stop();
  testing::internal::GetCapturedStdout();
  const auto records = inArrivalOrder(collector.records());
  for (std::size_t i = 0; i < 10; ++i) {
    EXPECT_EQ(records[i]["status"], 418);
    EXPECT_EQ(records[i]["md5"], md5of(poison));
  }
  EXPECT_EQ(records[10]["status"], 200);
  EXPECT_EQ(records[10]["md5"], md5of(good));
  EXPECT_EQ(queue.queued(), 1u);  // the refused one is kept, never dropped
}

TEST(LazyUpload, HistoryStaysCapped) {
  std::atomic<int> calls{0};
  UploadWebLazy queue(
      [&](const std::string&, const SimpleFile&, const std::atomic<bool>*) {
        return ++calls % 2 ? 503 : 200;  // fail, succeed, fail, ...: two entries per archive
      },
      0ms);
  queue.configure("http://unused/upload.php");
  queue.faildelay = 0;
  for (unsigned i = 0; i < 400; ++i) queue.push(randomArchive(10, i));
  queue.start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.queued() == 0; }, 10s));
  queue.stop();
  const auto history = queue.history();
  EXPECT_EQ(history.size(), UploadWebLazy::kHistoryMax);
  EXPECT_EQ(history.back().status, 1u);
}

TEST(LazyUpload, StopCancelsAPostInFlight) {
  Collector collector(R"({"*": {"delay": 30}})");
  ASSERT_TRUE(collector.ok());
  UploadWebLazy queue;
  queue.configure(collector.base() + "/upload.php");
  queue.push(randomArchive(100, 1));
  queue.start();
  std::this_thread::sleep_for(300ms);  // let the post begin
  const auto t0 = std::chrono::steady_clock::now();
  queue.stop();
  EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
  EXPECT_EQ(queue.queued(), 1u);
  EXPECT_EQ(queue.failed, 0u);  // a cancelled post is no failure
}

TEST(LazyUpload, FillLevelGoesToTheHeartbeat) {
  UploadWebLazy queue;
  queue.configure(deadUrl());
  queue.limsize = 100;
  auto reported = [] {
    for (const auto& e : heartbeatStore().extras())
      if (e.key == "lazybuffused") return e.value;
    return MultiValZ();
  };
  queue.push(randomArchive(UploadWebLazy::kMiB, 1));  // 1%
  queue.report();
  EXPECT_TRUE(reported() == MultiValZ(0));
  queue.push(randomArchive(49 * UploadWebLazy::kMiB, 2));  // 50%
  queue.report();
  EXPECT_TRUE(reported() == MultiValZ(0.5));
  queue.limsize = 10;  // lowered below what is queued
  queue.report();
  EXPECT_TRUE(reported() == MultiValZ(1));
}

TEST(LazyUploadPage, HistoryRowShowsTimeSizeAndSpeed) {
  const std::string row = lazyHistoryRow({0, 0, 1, 1000000, 500});
  EXPECT_NE(row.find("<td>SUCCESS</td><td>0.500</td><td>976K</td><td>16000 kbps</td></tr>"), std::string::npos) << row;
  EXPECT_NE(lazyHistoryRow({0, 3, 0, 0, 0}).find("<td>FAIL</td><td>3</td><td>-</td><td>-</td></tr>"),
            std::string::npos);
  EXPECT_NE(lazyHistoryRow({0, 0, 1, 100, 0}).find("<td>0 kbps</td>"), std::string::npos);
}

class PageTest : public testing::Test {
 protected:
  void SetUp() override {
    HttpServerOptions options;
    options.bindAddress = "127.0.0.1";
    server = std::make_unique<HttpServer>(options);
    server->subscribe("^/debug/lazyupload/$", [this](const HttpRequest& q, HttpResponse& r) { return queue.page(q, r); });
    ASSERT_TRUE(server->start(0));
    url = "http://127.0.0.1:" + std::to_string(server->boundPort()) + "/debug/lazyupload/";
  }

  static std::string curl(const std::string& args) { return testsupport::shellOutput("curl -s -i " + args); }

  // Posts succeed at once; no page test waits for a failure.
  UploadWebLazy queue{[](const std::string&, const SimpleFile&, const std::atomic<bool>*) { return 200; }, 0ms};
  std::unique_ptr<HttpServer> server;
  std::string url;
};

TEST_F(PageTest, ShowsTheCountersAndTakesValidSettings) {
  queue.configure(deadUrl());
  queue.push(randomArchive(UploadWebLazy::kMiB * 48, 1));
  queue.failed = 4;
  queue.dropped = 2;
  std::string page = curl(url);
  for (const char* part : {"Content-Type: text/html; charset=utf-8", "name=limsize value=96> мб</p>",
                           "name=faildelay value=30> сек", "<p>Заполненность внутреннего хранилища: 50%</p>",
                           "<p>Максимальная заполненность: 50% - ", "<p>Объектов ожидает выгрузки: 1</p>",
                           "<p>Неудачных попыток выгрузки: 4</p>", "<p>Отброшено (заполнена память): 2</p>"})
    EXPECT_NE(page.find(part), std::string::npos) << part;
  EXPECT_EQ(page.find("Не отправлено"), std::string::npos);  // a server, nothing lost for want of one

  page = curl("-d 'limsize=50&faildelay=10' " + url);
  EXPECT_EQ(page.rfind("HTTP/1.1 302", 0), 0u) << page;
  EXPECT_NE(page.find("Location: /debug/lazyupload/"), std::string::npos);
  EXPECT_EQ(queue.limsize, 50u);
  EXPECT_EQ(queue.faildelay, 10u);

  // Negative, absurd or non-numeric values keep the settings.
  curl("-d 'limsize=-1&faildelay=abc' " + url);
  curl("-d 'limsize=1025&faildelay=99999999' " + url);  // the board has 1 GiB at most
  EXPECT_EQ(queue.limsize, 50u);
  EXPECT_EQ(queue.faildelay, 10u);
  curl("-d 'limsize=1024' " + url);
  EXPECT_EQ(queue.limsize, 1024u);

  queue.limsize = 0;
  EXPECT_NE(curl(url).find("Заполненность внутреннего хранилища: 100%"), std::string::npos);
}

// Without an address each archive is counted and named as not sent.
TEST_F(PageTest, SaysWhatWasNotSentForWantOfAServer) {
  const std::string out = testsupport::stdoutOf([&] {
    for (unsigned i = 1; i <= 3; ++i) EXPECT_FALSE(queue.push(randomArchive(10 * i, i)));
  });
  EXPECT_EQ(testsupport::occurrences(out, "[DBG] no upload server: archive of "), 3u) << out;
  EXPECT_NE(out.find("archive of 20 bytes not sent\n"), std::string::npos) << out;
  const std::string page = curl(url);
  const auto line = page.find("<p>Не отправлено (не задан сервер выгрузки \"upload\" в /etc/kovira.conf): 3</p>");
  ASSERT_NE(line, std::string::npos) << page;
  EXPECT_GT(line, page.find("</table>"));  // under the history table
}

TEST_F(PageTest, ShowsTheNewestHistoryRows) {
  queue.configure("http://unused/upload.php");
  for (unsigned i = 1; i <= 130; ++i) queue.push(randomArchive(i * 1024, i));
  queue.start();
  ASSERT_TRUE(testsupport::waitUntil([&] { return queue.queued() == 0; }, 10s));
  const std::string page = curl(url);
  EXPECT_EQ(testsupport::occurrences(page, "<td>SUCCESS</td>"), UploadWebLazy::kPageRows);
  EXPECT_EQ(page.find("<td>10K</td>"), std::string::npos);  // among the oldest ten
  EXPECT_NE(page.find("<td>130K</td>"), std::string::npos);
  EXPECT_NE(page.find("<td>11K</td>"), std::string::npos);
}

}  // namespace
