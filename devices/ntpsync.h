// NTP synchronisation state: asks the time daemon (org.freedesktop.timedate1
// on the system D-Bus) whether the clock is NTP-synchronised and raises the
// configuration's `ntpsync` flag once it is. The flag only goes from 0 to 1.
//
// Threading: timesync() runs once on the start-up thread and then every 30 s
// on the scheduler thread; NTPSynchronized keeps no state and opens its own
// bus connection, so it may run on any thread. It returns within kCallLimit
// whatever the bus does.
#pragma once

#include <chrono>

namespace ntpsync {
// The scheduler thread runs every periodic task, so one query, connection
// handshake included, must never hold it for long: sd-bus's blocking calls
// would wait 25 s for a reply and longer for a hung bus's handshake.
inline constexpr std::chrono::milliseconds kCallLimit{2000};
inline constexpr std::chrono::seconds kPeriod{30};
}  // namespace ntpsync

// 1 or 0 from the property "NTPSynchronized", or the negative sd-bus error
// of the failing step; *step (when given) becomes "" at entry and the name
// of the failing step on failure.
int NTPSynchronized(char const** step);

// Sets `ntpsync` to 1 ("[DBG] ntpsync flag obtained") when it is 0 and the
// daemon answers true. Anything else changes and prints nothing.
void timesync();
// Scheduler task; the argument (ms since the previous run) is not used.
void timesyncloop(unsigned int);
