// Lens, flash and brush pages over the controller board, and the board half
// of opening the iris. Routes are registered by lensweb::lens_httphook_init
// ("^/lens/..."), and updlens::lens_httphook_init ("^/debug/lens/update$",
// which only keeps numbers in the named runtime values).
//
// Threading: handlers run on HTTP connection threads; board exchanges are
// serialised by the board link.
#pragma once

#include <atomic>

namespace lens {
// Runs of the automatic iris control to hold off after the operator opened
// the iris; it reads and counts down irisHoldoff().
inline constexpr unsigned kIrisHoldoffRuns = 180;
std::atomic<unsigned>& irisHoldoff();
}  // namespace lens

// Opens the iris fully: iris 0 to the board and the hold-off above.
void fixopenlens();
