// The operator's start page ("/" and "/debug/"): links to the main pages,
// the working-mode form (the global `suspended`), the board's temperatures
// and power monitor read from sysfs, and the controller board's state.
// It sits with the devices because most of what it shows is theirs.
//
// The handler runs on a connection thread; the board block waits for the
// board's line like every other board page (bounded exchanges).
#pragma once

#include "devices/board_reply.h"
#include "http/request.h"
#include "http/response.h"

#include <cstdint>
#include <string>

class HttpServer;
class SttyDev;

int http_debug_handler(const HttpRequest& req, HttpResponse& resp);

namespace indexpage {

// Firmware from which the status line carries the satellite count; older
// firmware is asked for its RMC sentence instead.
inline constexpr std::uint32_t kFwSatellites = 20180727;

// The temperature and power blocks read below root ("" on the unit; tests
// lay a fake tree elsewhere).
std::string sensorBlocks(const std::string& root);
// The carrier block of a board in this state ("no connection to carrier"
// when it is not connected). Asks the board for coordinates and, with old
// firmware, its RMC sentence.
std::string carrierBlock(SttyDev& board);
// The rows of a connected board's table, a pure function of its values.
std::string carrierRows(std::uint32_t version, const board::Status& st, const std::string& coords);

void subscribe(HttpServer& server);

}  // namespace indexpage
