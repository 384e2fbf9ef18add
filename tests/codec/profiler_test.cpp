// The element profiler: units and late units counted while enabled only,
// latencies matched to the unit they started with, the fields an element
// asked for, and the printed summary.
#include "codec/nvelementprofiler.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>

namespace {

using Profiler = NvElementProfiler;

Profiler::NvElementProfilerData dataOf(Profiler& p) {
  Profiler::NvElementProfilerData d;
  p.getProfilerData(d);
  return d;
}

TEST(ElementProfiler, CountsUnitsAndLatenciesOnlyWhileEnabled) {
  Profiler p(Profiler::PROFILER_FIELD_ALL);
  p.startProcessing();  // disabled: not remembered
  p.finishProcessing(0, true);
  EXPECT_EQ(p.pendingCount(), 0u);
  EXPECT_EQ(dataOf(p).total_processed_units, 0u);

  p.enableProfiling(true);
  EXPECT_TRUE(p.isEnabled());
  for (int i = 0; i < 3; ++i) p.startProcessing();  // units 1, 2, 3
  ASSERT_EQ(p.pendingCount(), 3u);
  // Latencies are at least the time the units waited.
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  p.finishProcessing(2, false);
  p.finishProcessing(0, true);   // 0: the oldest one waiting (unit 1)
  p.finishProcessing(99, false);  // never started: ignored
  EXPECT_EQ(p.pendingCount(), 1u);
  auto d = dataOf(p);
  EXPECT_EQ(d.valid_fields, static_cast<std::uint32_t>(Profiler::PROFILER_FIELD_ALL));
  EXPECT_EQ(d.total_processed_units, 2u);
  EXPECT_EQ(d.num_late_units, 1u);
  EXPECT_GE(d.min_latency_usec, 3000u);
  EXPECT_LE(d.min_latency_usec, d.average_latency_usec);
  EXPECT_LE(d.average_latency_usec, d.max_latency_usec);
  EXPECT_LT(d.max_latency_usec, 10u * 1000 * 1000);

  // Disabled: nothing more is counted, the profiled time is kept.
  p.disableProfiling();
  const auto kept = dataOf(p);
  p.finishProcessing(3, true);
  p.startProcessing();
  EXPECT_EQ(p.pendingCount(), 1u);
  d = dataOf(p);
  EXPECT_EQ(d.total_processed_units, 2u);
  EXPECT_EQ(d.num_late_units, 1u);
  EXPECT_EQ(d.profiling_time.tv_sec, kept.profiling_time.tv_sec);
  EXPECT_EQ(d.profiling_time.tv_usec, kept.profiling_time.tv_usec);
  EXPECT_GE(d.profiling_time.tv_usec, 0);
  EXPECT_LT(d.profiling_time.tv_usec, 1000000);

  // Enabling again keeps the figures unless asked to reset them.
  p.enableProfiling(false);
  EXPECT_EQ(dataOf(p).total_processed_units, 2u);
  p.disableProfiling();
  p.enableProfiling(true);
  d = dataOf(p);
  EXPECT_EQ(d.total_processed_units, 0u);
  EXPECT_EQ(d.min_latency_usec, 0u);
  EXPECT_EQ(p.pendingCount(), 0u);
}

TEST(ElementProfiler, AnElementWithoutLatenciesCountsEveryFinishedUnit) {
  Profiler p(Profiler::PROFILER_FIELD_TOTAL_UNITS | Profiler::PROFILER_FIELD_FPS);
  p.enableProfiling(false);
  p.startProcessing();  // no latencies: nothing to remember
  EXPECT_EQ(p.pendingCount(), 0u);
  for (int i = 0; i < 5; ++i) p.finishProcessing(0, i == 4);
  const auto d = dataOf(p);
  EXPECT_EQ(d.total_processed_units, 5u);
  EXPECT_EQ(d.num_late_units, 1u);
  EXPECT_EQ(d.average_latency_usec, 0u);
  EXPECT_GE(d.average_fps, 0.0f);
}

TEST(ElementProfiler, PrintsTheFieldsTheElementAskedFor) {
  const struct {
    std::uint32_t fields;
    std::vector<std::string> shown, hidden;
  } cases[] = {
      {Profiler::PROFILER_FIELD_ALL,
       {"Total Profiling time = ", "Average FPS = ", "Total units processed = 2\n", "Num. of late units = 1\n",
        "Average latency(usec) = ", "Minimum latency(usec) = ", "Maximum latency(usec) = "},
       {}},
      {Profiler::PROFILER_FIELD_TOTAL_UNITS | Profiler::PROFILER_FIELD_LATE_UNITS,
       {"Total units processed = 2\n", "Num. of late units = 1\n"},
       {"FPS", "latency", "Profiling time"}},
      {Profiler::PROFILER_FIELD_NONE, {}, {"Total", "FPS", "latency", "late"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fields);
    Profiler p(c.fields);
    p.enableProfiling(true);
    p.startProcessing();
    p.startProcessing();
    p.finishProcessing(0, false);
    p.finishProcessing(0, true);
    std::ostringstream out;
    p.printProfilerData(out);
    for (const auto& s : c.shown) EXPECT_NE(out.str().find(s), std::string::npos) << s << "\n" << out.str();
    for (const auto& s : c.hidden) EXPECT_EQ(out.str().find(s), std::string::npos) << s << "\n" << out.str();
    if (c.fields == Profiler::PROFILER_FIELD_NONE) {
      EXPECT_EQ(out.str(), "");
    }
  }
}

}  // namespace
