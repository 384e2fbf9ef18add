// Running a shell command for its output. Blocks until the command ends, at
// most `limit`; the command runs through childProcesses(), so the unit's
// shut-down ends it.
#pragma once

#include <chrono>
#include <string>

// A command that takes longer is ended (SIGTERM, then SIGKILL to its group).
inline constexpr std::chrono::seconds kShellLimitDefault{60};

// Everything cmd prints on stdout and stderr; "" and a "[DBG] ..." line on
// stderr when the command cannot be started. The exit status is not looked at.
std::string cmdrunsimple(std::string cmd, std::chrono::milliseconds limit = kShellLimitDefault);
