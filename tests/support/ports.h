// Loopback ports for tests that start servers.
#pragma once

namespace testsupport {

// A TCP port of 127.0.0.1 that was free a moment ago: bound by the kernel's
// choice, never listened on, then closed (connections to it are refused
// until somebody binds it).
int unusedLoopbackPort();

// A socket listening on 127.0.0.1 at a port of the kernel's choice, which
// goes to `port`; -1 when none could be made.
int listenOnLoopback(int& port, int backlog = 1);

}  // namespace testsupport
