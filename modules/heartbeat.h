// The telemetry module: counts vehicles for the heartbeat records and
// schedules building and posting them. Start-up only registers; the tasks
// run on the scheduler (records, the address) and on its fresh threads
// (posts).
#pragma once

#include <string>

namespace kovira { class MultiTrack; }

namespace heartbeat {
// The processing module "heartbeat": a group with at least one track more
// accurate than 1.0 adds one to the "carflow" counter. Returns 0.
int funnyt6(kovira::MultiTrack& group);
// Hands the global "address" setting to the store (sent when it changes).
void heartbeatloop(unsigned int ms);
void modinit();
}  // namespace heartbeat
