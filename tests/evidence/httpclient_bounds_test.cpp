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

}  // namespace
