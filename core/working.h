// The global run flag and the signal handler of main.
#pragma once

#include <atomic>

// 1 at start; SIGINT sets it to 0. Long-running loops go on while it is >= 1.
extern std::atomic<int> working;

// SIGINT: working = 0; SIGHUP: ask the configuration to reload; else nothing.
void signalcallback(int sig);
