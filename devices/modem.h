// The LTE modem: its state, written by the modem's own process as JSON to
// "/run/modem.json", goes to telemetry every 30 s and to the page "/debug/modem/";
// USSD requests go to the modem's AT port; a reset goes through the board.
//
// Threading: mobileloop on the scheduler thread, the page on HTTP threads;
// both only read the state file. Writes to the AT port are serialised by a
// mutex of this file, so two requests never interleave on the line.
#pragma once

#include "devices/heartbeat.h"

#include <cstdint>
#include <string>

class HttpRequest;
class HttpResponse;

extern std::string modemttydev;  // the AT port, "/dev/ttyLTE"

namespace modem {
// The state file ("/run/modem.json"; tests point it elsewhere).
extern std::string statePath;
// The state file is a few hundred bytes; anything larger is not read.
inline constexpr std::size_t kMaxState = 64 * 1024;
// A state older than this (seconds) no longer describes the modem.
inline constexpr std::uint32_t kStale = 300;
// USSD strings are at most 182 characters (3GPP TS 23.038).
inline constexpr std::size_t kMaxUssd = 182;
// Strings shorter than this (after trimming) are placeholders, not values.
inline constexpr std::size_t kMinText = 6;

// Hands the values of one state text to the store; false (nothing handed)
// when the text is no usable state at time `now`.
bool report(const std::string& stateText, std::uint32_t now, Heartbeat& store);
void modinit();
}  // namespace modem

// Replaces text by its GSM 7-bit packing (3GPP TS 23.038) in upper-case hex.
void encode_7bit(std::string& text);
// Sends one USSD request to modemttydev; false when it is too long or the
// port cannot be opened or written.
bool send_ussd(std::string text);
void mobileloop(unsigned int ms);
int http_monitor_modem(const HttpRequest& req, HttpResponse& res);
