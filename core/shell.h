// Running a shell command for its output. Blocks until the command ends.
#pragma once

#include <string>

// Everything cmd prints on stdout and stderr; "" and a "[DBG] ..." line on
// stderr when the command cannot be started. The exit status is not looked at.
std::string cmdrunsimple(std::string cmd);
