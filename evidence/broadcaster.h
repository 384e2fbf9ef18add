// The presence broadcaster: "Tegra alive" to 255.255.255.255:7600 from port
// 7600 once a second, so tools on the local network can find the unit.
// Nothing on the unit starts it; a caller runs it on a thread of its own.
#pragma once

#include <chrono>

namespace broadcast {
inline constexpr unsigned short kPort = 7600;
inline constexpr char kPayload[] = "Tegra alive";  // sent without the NUL
inline constexpr std::chrono::seconds kPeriod{1};
}  // namespace broadcast

// Runs until a step fails (one "[ERR] broadcaster: ..." line) or `working`
// drops to 0. The socket is closed on every path.
void broadcaster();
