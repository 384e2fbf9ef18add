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
  for (int i = 0; i < 3; ++i) p.startProcessing();  // units 1, 2, 3
  // Latencies are at least the time the units waited.
  std::this_thread::sleep_for(std::chrono::milliseconds(3));
  p.finishProcessing(2, false);
  p.finishProcessing(0, true);    // 0: the oldest one waiting (unit 1)
  p.finishProcessing(99, false);  // never started: ignored
  EXPECT_EQ(p.pendingCount(), 1u);
  auto d = dataOf(p);
  EXPECT_EQ(d.total_processed_units, 2u);
  EXPECT_EQ(d.num_late_units, 1u);
  EXPECT_GE(d.min_latency_usec, 3000u);
  EXPECT_LE(d.min_latency_usec, d.average_latency_usec);
  EXPECT_LE(d.average_latency_usec, d.max_latency_usec);

  // Disabled: nothing more is counted, the profiled time is kept.
  p.disableProfiling();
  const auto kept = dataOf(p).profiling_time;
  p.finishProcessing(3, true);
  p.startProcessing();
  d = dataOf(p);
  EXPECT_EQ(p.pendingCount(), 1u);
  EXPECT_EQ(d.total_processed_units, 2u);
  EXPECT_EQ(d.profiling_time.tv_sec, kept.tv_sec);
  EXPECT_EQ(d.profiling_time.tv_usec, kept.tv_usec);
  EXPECT_LT(static_cast<unsigned long>(d.profiling_time.tv_usec), 1000000u);

  // Enabling again keeps the figures unless asked to reset them.
  p.enableProfiling(false);
  EXPECT_EQ(dataOf(p).total_processed_units, 2u);
  p.disableProfiling();
  p.enableProfiling(true);
  EXPECT_EQ(dataOf(p).total_processed_units, 0u);
  EXPECT_EQ(p.pendingCount(), 0u);
}

// Two units, the second late, counted by elements asking for these fields.
TEST(ElementProfiler, CountsAndPrintsTheFieldsTheElementAskedFor) {
  const struct {
    std::uint32_t fields;
    std::vector<std::string> shown, hidden;
  } cases[] = {
      {Profiler::PROFILER_FIELD_ALL,
       {"Total Profiling time = ", "Average FPS = ", "Total units processed = 2\n", "Num. of late units = 1\n",
        "Average latency(usec) = ", "Minimum latency(usec) = ", "Maximum latency(usec) = "},
       {}},
      // No latencies: nothing to remember at the start, every finish counts.
      {Profiler::PROFILER_FIELD_TOTAL_UNITS | Profiler::PROFILER_FIELD_FPS,
       {"Total units processed = 2\n", "Average FPS = "},
       {"latency", "late"}},
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
    EXPECT_EQ(p.pendingCount(), 0u);
    std::ostringstream out;
    p.printProfilerData(out);
    for (const auto& s : c.shown) EXPECT_NE(out.str().find(s), std::string::npos) << s << "\n" << out.str();
    for (const auto& s : c.hidden) EXPECT_EQ(out.str().find(s), std::string::npos) << s << "\n" << out.str();
  }
}

}  // namespace
