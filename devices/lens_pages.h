// Lens, flash and brush pages over the controller board, and the board's
// side of the automatic iris. Routes are registered by lensweb::lens_httphook_init
// ("^/lens/..."), and updlens::lens_httphook_init ("^/debug/lens/update$",
// which only keeps numbers in the named runtime values). An argument that is
// not a whole number (or a flash intensity outside 0..127) answers 400
// "error: <name>: <reason>" and nothing moves or is sent.
//
// Threading: handlers run on HTTP connection threads; board exchanges are
// serialised by the board link.
#pragma once

namespace lens {
// Connects the camera control's iris and telemetry hooks to the board and
// the heartbeat store.
void wireCameraAuto();
}  // namespace lens
