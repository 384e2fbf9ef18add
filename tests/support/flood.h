// Many short HTTP requests from loopback clients, for tests that flood a
// server (its access log). Each client connects from a loopback address of
// its own (127.0.1.<client + 1>) so that a hundred thousand connections,
// each lingering in TIME_WAIT, do not run out of ports on one address.
// Thread-safe: one call per client thread.
#pragma once

#include <string>

namespace testsupport {

// Sends text on a new connection to 127.0.0.1:port and reads the answer to
// its end; the answer, empty when the connection failed.
std::string requestFrom(int client, int port, const std::string& text);

}  // namespace testsupport
