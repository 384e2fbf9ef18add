// The global run flag and the signal handler of main.
#pragma once

#include <atomic>

// 1 at start; SIGINT sets it to 0. Long-running loops go on while it is >= 1.
extern std::atomic<int> working;

// SIGHUP requests not yet taken by the configuration's tick. The handler only
// bumps this counter (lock-free, so safe in a signal handler): it must not
// touch an object that may be half built when the signal arrives.
extern std::atomic<unsigned> reloadRequests;
static_assert(std::atomic<unsigned>::is_always_lock_free);

// SIGINT: working = 0; SIGHUP: one more reload request; else nothing.
void signalcallback(int sig);

// Ends the unit through its normal shut-down with this exit status (a fault
// found after the pipeline started, such as a bad module section at start-up).
void requestExit(int status);
// The status main returns: 0 unless requestExit asked for another.
int exitStatus();
