// "/debug/diagnostics/": the output of a fixed list of system commands
// (clock, memory, network, disks, USB, the unit's processes) for the
// operator. Each command runs in a shell and a process group of its own
// (core/child_process.h), cut after kCommandLimitSec, with its standard
// error captured; the output is HTML-escaped. The handler runs on a
// connection thread and blocks only its own connection.
//
// At most kMaxRunning pages are made at once, each starting its commands one
// after another: a further request is answered 503 with "Retry-After" rather
// than piling up processes on the unit.
#pragma once

#include "http/request.h"
#include "http/response.h"

class HttpServer;

int http_diagnostics(const HttpRequest& req, HttpResponse& resp);

namespace diagnostics {
inline constexpr int kCommandLimitSec = 10;
inline constexpr int kMaxRunning = 2;
inline constexpr int kRetryAfterSec = 10;
void subscribe(HttpServer& server);
}  // namespace diagnostics
