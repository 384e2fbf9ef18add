#include "core/clock.h"

#include <boost/date_time/posix_time/posix_time.hpp>

#include <sys/time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <iostream>
#include <stdexcept>

namespace {

constexpr std::size_t kTimeTextBuffer = 100;

std::string strftimeOrError(const char* fmt, const std::tm& tm, const char* who) {
  char buf[kTimeTextBuffer];
  const std::size_t n = std::strftime(buf, sizeof buf, fmt, &tm);
  if (n == 0) {
    std::cerr << who << fmt << std::endl;
    return {};
  }
  return std::string(buf, n);
}

}  // namespace

std::int64_t NowMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::int64_t NowSec() {
  using namespace std::chrono;
  return duration_cast<seconds>(system_clock::now().time_since_epoch()).count();
}

std::time_t now() { return std::time(nullptr); }

void high_clock(unsigned& sec, unsigned& usec) {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  sec = static_cast<unsigned>(ts.tv_sec);
  usec = static_cast<unsigned>(ts.tv_nsec / 1000);
}

std::string timeformat(const char* fmt, unsigned t) {
  const std::time_t tt = t;
  std::tm tm{};
  localtime_r(&tt, &tm);
  return strftimeOrError(fmt, tm, "[ERR] timeformat(): ");
}

std::string timeformat(const char* fmt, unsigned t, unsigned ms) {
  char frac[16];
  std::snprintf(frac, sizeof frac, ".%03u", ms);
  return timeformat(fmt, t) + frac;
}

std::string timeformatgmt(const char* fmt, unsigned t) {
  const std::time_t tt = t;
  std::tm tm{};
  gmtime_r(&tt, &tm);
  return strftimeOrError(fmt, tm, "[ERR] timeformatgmt(): ");
}

std::string TimeToString(std::uint64_t ms) {
  using namespace boost::posix_time;
  const ptime epoch(boost::gregorian::date(1970, 1, 1));
  const ptime t = epoch + seconds(static_cast<long>(ms / 1000)) + microseconds(static_cast<long>(ms % 1000) * 1000);
  return to_simple_string(t);
}

std::string CurrentLocalTimeToString() {
  timeval tv{};
  gettimeofday(&tv, nullptr);
  std::tm tm{};
  const std::time_t secs = tv.tv_sec;
  if (!localtime_r(&secs, &tm)) throw std::runtime_error("could not convert calendar time to local time");
  using namespace boost::posix_time;
  const ptime t(boost::gregorian::date(static_cast<unsigned short>(tm.tm_year + 1900),
                                       static_cast<unsigned short>(tm.tm_mon + 1),
                                       static_cast<unsigned short>(tm.tm_mday)),
                hours(tm.tm_hour) + minutes(tm.tm_min) + seconds(tm.tm_sec) + microseconds(tv.tv_usec));
  return to_simple_string(t);
}

std::string lazyround(float value, unsigned digits) {
  const double scale = std::pow(10.0, digits);
  const double rounded = std::round(static_cast<double>(value) * scale) / scale;
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.*f", static_cast<int>(digits), rounded);
  return buf;
}
