// Process clocks and time texts. Thread-safe: the time texts use the
// reentrant localtime_r/gmtime_r, since captions are made on several
// workers at once.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>

std::int64_t NowMs();   // system clock, ms since the Unix epoch
std::int64_t NowSec();  // system clock, whole seconds
std::time_t now();      // time(nullptr)

// Seconds and microseconds of one system-clock reading (a frame stamp).
void high_clock(unsigned& sec, unsigned& usec);

// strftime of t in local time; "" and a "[ERR] ..." line on stderr when the
// result is empty or does not fit 100 bytes.
std::string timeformat(const char* fmt, unsigned t);
// As above with ".mmm" appended.
std::string timeformat(const char* fmt, unsigned t, unsigned ms);
// strftime of t in UTC.
std::string timeformatgmt(const char* fmt, unsigned t);

// UTC instant as "2019-Mar-05 14:07:09[.ffffff]".
std::string TimeToString(std::uint64_t ms);
// Current local time in the same form; throws std::runtime_error when the
// local time cannot be formed.
std::string CurrentLocalTimeToString();

// value rounded half away from zero to digits places, printed with exactly
// that many decimals ("2.50").
std::string lazyround(float value, unsigned digits);
