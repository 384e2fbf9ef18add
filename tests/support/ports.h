// Loopback ports for tests that start servers.
#pragma once

namespace testsupport {

// A TCP port of 127.0.0.1 that was free a moment ago: bound by the kernel's
// choice, never listened on, then closed (connections to it are refused
// until somebody binds it).
int unusedLoopbackPort();

}  // namespace testsupport
