// The operator's pages of the industrial USB3 camera ("/debug/usbcam/...":
// settings form and status, update, brightness schedule, log) and the
// supervisor's watchdog ("/usbcam/watchdog.txt", with its 30 s check).
// The settings and schedule forms take a post whole or refuse it whole
// (400 "error: <field>: <reason>") under the section's own rules.
//
// Threading: handlers run on HTTP threads and read and write BaslerConfig,
// whose numbers are atomics and whose texts are copied under its mutex; the
// watchdog check runs on the scheduler thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>

class HttpRequest;
class HttpResponse;

int http_usbcam(const HttpRequest& req, HttpResponse& res);
int http_schedule(const HttpRequest& req, HttpResponse& res);
int http_usbcam_logtxt(const HttpRequest& req, HttpResponse& res);
int http_usbcam_update(const HttpRequest& req, HttpResponse& res);

namespace watchdog {
// grabbed at the previous check, and whether it had not moved since.
extern std::atomic<std::uint64_t> lastgrab;
extern std::atomic<std::uint64_t> stalled;
}  // namespace watchdog
void usbcam_watchdog_loop(unsigned ms);
int http_ubscam_watchdog(const HttpRequest& req, HttpResponse& res);
