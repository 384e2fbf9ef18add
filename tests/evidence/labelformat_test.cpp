#include "evidence/labelformat.h"
#include "tests/support/timezone.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <latch>
#include <string>
#include <thread>
#include <vector>

namespace {

// Captions are local time: tests pin the zone.
using FixedZone = testsupport::ScopedTimeZone;

constexpr unsigned kTime = 1700000000;  // 2023-11-14 22:13:20 UTC

}  // namespace

// A row per rule: template, variables in the order given, direction code
// (-1: none), expected caption at kTime in Moscow time.
TEST(LabelFormat, Rules) {
  FixedZone zone("MSK-3");
  struct Row {
    const char* what;
    std::string tmpl;
    std::vector<std::pair<std::string, std::string>> vars;
    int way;
    std::string expected;
  };
  const Row rows[] = {
      {"longer keys first, bars break lines", "%spd|%t", {{"s", "SERIAL"}, {"spd", "72"}}, -1, "72\n15/11/2023 01:13:20"},
      {"selfname", "%selfname", {{"d", "Kovira-3"}, {"s", "KV0042"}}, -1, "Kovira-3 серийный номер KV0042"},
      {"first of a key wins, built-ins stay", "%n %b", {{"n", "A1"}, {"n", "B2"}, {"b", "X"}}, -1, "A1 \n"},
      {"unknown direction", "%w", {}, 5, "-"},
      {"oncoming", "%w", {}, 1, "встречное"},
      {"unknown and dangling percent signs stay", "%q 100%", {{"", "never"}}, -1, "%q 100%"},
      {"empty template", "", {{"n", "A1"}}, -1, ""},
      {"Cyrillic key", "%скорость км/ч", {{"скорость", "90"}}, -1, "90 км/ч"},
  };
  for (const Row& r : rows) {
    LabelFormat f(r.tmpl, kTime);
    for (const auto& [k, v] : r.vars) f.emplace(k, v);
    if (r.way >= 0) f.way(r.way);
    EXPECT_EQ(f.text(), r.expected) << r.what;
  }
  LabelFormat own("%w", kTime);
  own.ways[2] = "от камеры";
  own.way(2);
  EXPECT_EQ(own.text(), "от камеры");
}

TEST(LabelFormat, EachCaptionShowsItsOwnTimeWhenWorkersComposeAtOnce) {
  FixedZone zone("UTC0");
  constexpr int kWorkers = 4;
  std::vector<std::string> wrong(kWorkers);
  std::vector<std::thread> workers;
  std::latch start(kWorkers);
  for (int w = 0; w < kWorkers; ++w) {
    workers.emplace_back([&, w] {
      start.arrive_and_wait();
      const unsigned t = 86400u * static_cast<unsigned>(w + 1);  // 02/01/1970, 03/01/1970, ...
      char expected[32];
      std::snprintf(expected, sizeof expected, "%02d/01/1970 00:00:00", w + 2);
      for (int i = 0; i < 2000; ++i) {
        if (LabelFormat("%t", t).text() != expected) wrong[static_cast<std::size_t>(w)] = "mismatch";
      }
    });
  }
  for (auto& t : workers) t.join();
  for (const auto& w : wrong) EXPECT_EQ(w, "");
}
