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

TEST(LabelFormat, LongerKeysGoFirstAndBarsBreakLines) {
  FixedZone zone("MSK-3");
  LabelFormat f("%spd|%t", kTime);
  f.emplace("s", "SERIAL");
  f.emplace("spd", 72);
  EXPECT_EQ(f.text(), "72\n15/11/2023 01:13:20");
}

TEST(LabelFormat, SelfnameExpandsIntoDeviceNameAndSerial) {
  LabelFormat f("%selfname", kTime);
  f.emplace("d", "Kovira-3");
  f.emplace("s", "KV0042");
  EXPECT_EQ(f.text(), "Kovira-3 серийный номер KV0042");
}

TEST(LabelFormat, FirstVariableOfAKeyWinsAndBuiltInsCannotBeOverridden) {
  LabelFormat f("%n %b%t", kTime);
  f.emplace("n", "A1");
  f.emplace("n", "B2");
  f.emplace("b", "X");
  const std::string text = f.text();
  EXPECT_EQ(text.substr(0, 4), "A1 \n");
}

TEST(LabelFormat, DirectionWordsAndUnknownCodes) {
  LabelFormat f("%w", kTime);
  f.way(5);
  EXPECT_EQ(f.text(), "-");
  LabelFormat g("%w", kTime);
  g.way(1);
  EXPECT_EQ(g.text(), "встречное");
  LabelFormat h("%w", kTime);
  h.ways[2] = "от камеры";
  h.way(2);
  EXPECT_EQ(h.text(), "от камеры");
}

TEST(LabelFormat, UnknownAndDanglingPercentSignsStayAndEmptyTemplatesStayEmpty) {
  LabelFormat f("%q 100%", kTime);
  f.emplace("", "never");
  EXPECT_EQ(f.text(), "%q 100%");
  LabelFormat empty("", kTime);
  empty.emplace("n", "A1");
  EXPECT_EQ(empty.text(), "");
  LabelFormat cyr("%скорость км/ч", kTime);
  cyr.emplace("скорость", "90");
  EXPECT_EQ(cyr.text(), "90 км/ч");
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
