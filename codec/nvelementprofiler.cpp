#include "codec/nvelementprofiler.h"

#include <cinttypes>
#include <cstdio>

namespace {

std::int64_t usecBetween(const timeval& from, const timeval& to) {
  return (static_cast<std::int64_t>(to.tv_sec) - from.tv_sec) * 1000000 + (to.tv_usec - from.tv_usec);
}

}  // namespace

NvElementProfiler::NvElementProfiler(std::uint32_t fields) : valid_fields_(fields) {}

void NvElementProfiler::resetLocked() {
  min_latency_usec_ = UINT64_MAX;
  max_latency_usec_ = 0;
  total_processed_units_ = 0;
  num_late_units_ = 0;
  start_time_ = {};
  stop_time_ = {};
  accumulated_time_ = {};
  total_latency_ = 0;
  unit_start_.clear();
}

void NvElementProfiler::reset() {
  std::lock_guard lk(mutex_);
  resetLocked();
}

void NvElementProfiler::enableProfiling(bool resetData) {
  std::lock_guard lk(mutex_);
  if (enabled_) return;
  if (resetData) resetLocked();
  enabled_ = true;
}

void NvElementProfiler::disableProfiling() {
  std::lock_guard lk(mutex_);
  if (!enabled_) return;
  accumulated_time_.tv_sec += stop_time_.tv_sec - start_time_.tv_sec;
  accumulated_time_.tv_usec += stop_time_.tv_usec - start_time_.tv_usec;
  start_time_ = {};
  stop_time_ = {};
  enabled_ = false;
}

void NvElementProfiler::startProcessing() {
  std::lock_guard lk(mutex_);
  if (!enabled_ || !(valid_fields_ & PROFILER_FIELD_LATENCIES)) return;
  timeval now{};
  gettimeofday(&now, nullptr);
  unit_start_[++buffer_num_] = now;
}

void NvElementProfiler::finishProcessing(std::uint64_t bufferId, bool late) {
  std::lock_guard lk(mutex_);
  if (!enabled_) return;
  const bool latency = (valid_fields_ & PROFILER_FIELD_LATENCIES) != 0;
  if (latency && unit_start_.empty()) return;
  timeval now{};
  gettimeofday(&now, nullptr);
  if (latency) {
    auto it = bufferId == 0 ? unit_start_.begin() : unit_start_.find(bufferId);
    if (it == unit_start_.end()) return;
    const std::int64_t d = usecBetween(it->second, now);
    const auto lat = static_cast<std::uint64_t>(d < 0 ? 0 : d);
    unit_start_.erase(it);
    total_latency_ += lat;
    if (lat < min_latency_usec_) min_latency_usec_ = lat;
    if (lat > max_latency_usec_) max_latency_usec_ = lat;
  }
  stop_time_ = now;
  if (start_time_.tv_sec == 0 && start_time_.tv_usec == 0) start_time_ = now;
  if (late) ++num_late_units_;
  ++total_processed_units_;
}

void NvElementProfiler::getProfilerData(NvElementProfilerData& data) {
  std::lock_guard lk(mutex_);
  data.valid_fields = valid_fields_;
  data.total_processed_units = total_processed_units_;
  data.num_late_units = num_late_units_;
  if (total_processed_units_) {
    data.average_latency_usec = total_latency_ / total_processed_units_;
    data.min_latency_usec = min_latency_usec_;
    data.max_latency_usec = max_latency_usec_;
  } else {
    data.average_latency_usec = data.min_latency_usec = data.max_latency_usec = 0;
  }
  std::int64_t sec = static_cast<std::int64_t>(stop_time_.tv_sec) - start_time_.tv_sec + accumulated_time_.tv_sec;
  std::int64_t usec = static_cast<std::int64_t>(stop_time_.tv_usec) - start_time_.tv_usec + accumulated_time_.tv_usec;
  while (usec < 0) {
    usec += 1000000;
    --sec;
  }
  while (usec > 1000000) {
    usec -= 1000000;
    ++sec;
  }
  data.profiling_time.tv_sec = static_cast<time_t>(sec);
  data.profiling_time.tv_usec = static_cast<suseconds_t>(usec);
  const std::int64_t total = sec * 1000000 + usec;
  data.average_fps = (total_processed_units_ == 0 || total <= 0)
                         ? 0.0f
                         : static_cast<float>(static_cast<double>(total_processed_units_ - 1) * 1000000.0 /
                                              static_cast<double>(total));
}

void NvElementProfiler::printProfilerData(std::ostream& out) {
  NvElementProfilerData d;
  getProfilerData(d);
  if (d.valid_fields & PROFILER_FIELD_FPS) {
    char t[64];
    std::snprintf(t, sizeof t, "%ld.%06ld", static_cast<long>(d.profiling_time.tv_sec),
                  static_cast<long>(d.profiling_time.tv_usec));
    out << "Total Profiling time = " << t << "\n";
    out << "Average FPS = " << d.average_fps << "\n";
  }
  if (d.valid_fields & PROFILER_FIELD_TOTAL_UNITS) out << "Total units processed = " << d.total_processed_units << "\n";
  if (d.valid_fields & PROFILER_FIELD_LATE_UNITS) out << "Num. of late units = " << d.num_late_units << "\n";
  if (d.valid_fields & PROFILER_FIELD_LATENCIES) {
    out << "Average latency(usec) = " << d.average_latency_usec << "\n";
    out << "Minimum latency(usec) = " << d.min_latency_usec << "\n";
    out << "Maximum latency(usec) = " << d.max_latency_usec << "\n";
  }
}

bool NvElementProfiler::isEnabled() {
  std::lock_guard lk(mutex_);
  return enabled_;
}

std::size_t NvElementProfiler::pendingCount() {
  std::lock_guard lk(mutex_);
  return unit_start_.size();
}
