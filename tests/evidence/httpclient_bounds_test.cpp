// A collection server whose answer goes on and on: what a POST keeps of it
// stays bounded, and a status of 200 still counts however long the answer.
#include "http/httpclient.h"
#include "support/collector.h"

#include <gtest/gtest.h>

#include <fstream>

namespace {

// Peak resident memory of this process, bytes.
std::uint64_t peakResident() {
  std::ifstream in("/proc/self/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind("VmHWM:", 0) == 0) return std::stoull(line.substr(6)) * 1024;
  return 0;
}

TEST(HttpPostBounds, ALongAnswerIsNotKept) {
  constexpr std::uint64_t kAnswer = 512ull << 20;
  testsupport::Collector collector(R"({"*": {"stream": 536870912}})");
  ASSERT_TRUE(collector.ok());
  const std::uint64_t before = peakResident();
  EXPECT_EQ(httppost(collector.base() + "/upload.php", "abc", 3), 0);
  EXPECT_LT(peakResident() - before, kAnswer / 4);
}

// A bounded GET refuses a body over its limit while reading it: nothing of it
// is appended and the bytes held never approach what the server sends.
TEST(HttpFetchBounds, ABodyOverTheLimitIsRefusedWhileItArrives) {
  constexpr std::size_t kLimit = 1 << 20;
  struct Row {
    std::uint64_t sent;
    int result;
  };
  for (const Row row : {Row{kLimit, static_cast<int>(kLimit)}, Row{kLimit + 1, -1}, Row{512ull << 20, -1}}) {
    testsupport::Collector collector(R"({"*": {"stream": )" + std::to_string(row.sent) + "}}");
    ASSERT_TRUE(collector.ok());
    const std::uint64_t before = peakResident();
    std::string body = "old", header;
    EXPECT_EQ(httpfetch(collector.base() + "/mts.txt", body, header, kLimit), row.result) << row.sent;
    EXPECT_EQ(body.size(), row.result < 0 ? 3u : 3u + kLimit) << row.sent;
    EXPECT_LT(peakResident() - before, 64ull << 20) << row.sent;
  }
}

}  // namespace
