// Counts the pictures an element processes and measures its frame rate and
// latency. The planes feed it (Part of every element); nothing in the
// program reads the figures, but they stay available for diagnosis.
// Thread-safe: every operation takes the profiler's mutex.
#pragma once

#include <sys/time.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <ostream>

class NvElementProfiler {
 public:
  enum ProfilerField : std::uint32_t {
    PROFILER_FIELD_NONE = 0,
    PROFILER_FIELD_TOTAL_UNITS = 1,
    PROFILER_FIELD_LATE_UNITS = 2,
    PROFILER_FIELD_LATENCIES = 4,
    PROFILER_FIELD_FPS = 8,
    PROFILER_FIELD_ALL = 15,
  };

  struct NvElementProfilerData {
    std::uint32_t valid_fields = 0;
    std::uint64_t average_latency_usec = 0;
    std::uint64_t min_latency_usec = 0;
    std::uint64_t max_latency_usec = 0;
    std::uint64_t total_processed_units = 0;
    std::uint64_t num_late_units = 0;
    float average_fps = 0;
    timeval profiling_time{};
  };

  explicit NvElementProfiler(std::uint32_t fields);

  void reset();
  void enableProfiling(bool resetData);
  void disableProfiling();
  void startProcessing();
  void finishProcessing(std::uint64_t bufferId, bool late);
  void getProfilerData(NvElementProfilerData& data);
  void printProfilerData(std::ostream& out);
  bool isEnabled();
  std::size_t pendingCount();

 private:
  void resetLocked();  // called with mutex_ held

  std::mutex mutex_;
  bool enabled_ = false;                          // guarded by mutex_
  std::uint32_t valid_fields_;                    // guarded by mutex_
  std::uint64_t min_latency_usec_ = UINT64_MAX;   // guarded by mutex_
  std::uint64_t max_latency_usec_ = 0;            // guarded by mutex_
  std::uint64_t total_processed_units_ = 0;       // guarded by mutex_
  std::uint64_t num_late_units_ = 0;              // guarded by mutex_
  timeval start_time_{};                          // guarded by mutex_
  timeval stop_time_{};                           // guarded by mutex_
  timeval accumulated_time_{};                    // guarded by mutex_
  std::uint64_t total_latency_ = 0;               // guarded by mutex_
  std::map<std::uint64_t, timeval> unit_start_;   // guarded by mutex_
  std::uint64_t buffer_num_ = 0;                  // guarded by mutex_
};
