// "/debug/diagnostics/": the output of a fixed list of system commands
// (clock, memory, network, disks, USB, the unit's processes) for the
// operator. Each command runs in a shell, cut after kCommandLimitSec, with
// its standard error captured; the output is HTML-escaped. The handler runs
// on a connection thread and blocks only its own connection.
#pragma once

#include "http/request.h"
#include "http/response.h"

class HttpServer;

int http_diagnostics(const HttpRequest& req, HttpResponse& resp);

namespace diagnostics {
inline constexpr int kCommandLimitSec = 10;
void subscribe(HttpServer& server);
}  // namespace diagnostics
