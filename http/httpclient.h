// Blocking HTTP client calls over libcurl for the whole program: a POST of
// a byte buffer (evidence archives, telemetry, configuration backups,
// feedback frames) and a GET with optional verification of the announced
// length and digest (the bus-lane allow-list).
//
// Every call builds and frees its own libcurl handle and keeps no state, so
// calls on different threads are independent. libcurl's global set-up runs
// once during static initialisation, before any thread exists. No call logs;
// the caller sees only the result.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace httpclient {
inline constexpr std::chrono::seconds kTimeout{60};
// A body above this size gets more than kTimeout: a slow link may take
// longer than a minute for an archive. The transfer is given up when it
// moves fewer than kLowSpeedBytes a second for kTimeout, and in any case
// after largePostTime(len), which lets the slowest link still allowed
// finish and ends a server that never stops answering.
inline constexpr std::size_t kLargeBody = 64 * 1024;
inline constexpr long kLowSpeedBytes = 1024;
inline constexpr std::chrono::seconds kMaxPostTime{1800};
std::chrono::seconds largePostTime(std::size_t len);
// What a POST keeps of the answer (headers and body): the result depends on
// the status alone, and an answer that never ends must not fill memory.
inline constexpr std::size_t kMaxAnswer = 64 * 1024;

// What a GET's response headers announce. Header names compare without
// regard to case and a trailing CR is ignored (servers end lines in CRLF).
struct Announced {
  std::optional<std::uint32_t> length;  // "Content-Length", reduced to 32 bits
  std::optional<std::string> hash;      // "X-Hash", lower case
};
// Reads header text line by line; a later matching line wins.
Announced parseAnnounced(std::string_view headers);
}  // namespace httpclient

// POST of len bytes with "X-Hash: <md5>" and "Content-Type:
// application/octet-stream". 0 when the server answered 200; -1 for len 0,
// a transfer error or any other status.
int httppost(const std::string& url, const char* data, std::size_t len);
// The same; the transfer is abandoned (-1) within about a second once
// *cancel becomes true, so an owner can stop its thread promptly.
int httppost(const std::string& url, const char* data, std::size_t len, const std::atomic<bool>* cancel);
// The same POST, telling a server that answered apart from one that could
// not be reached: the HTTP status the server answered (200 on success), or
// -1 when no answer came (len 0, refused connection, time-out, name lookup,
// cancelled transfer).
int httppostStatus(const std::string& url, const char* data, std::size_t len, const std::atomic<bool>* cancel);

// GET; appends the body and the header text. The body length on success;
// -1 on a transfer error, a status other than 200, an announced length
// (not 0) that differs (body emptied) or an announced digest that differs
// (body kept).
int httpfetch(const std::string& url, std::string& body, std::string& header);
int httpfetch(const std::string& url, std::string& body);
// The same with a bounded body: a body longer than maxBody bytes is
// refused while it arrives (-1, nothing appended), never held whole.
int httpfetch(const std::string& url, std::string& body, std::string& header, std::size_t maxBody);

// libcurl write callback: appends size * count bytes to the std::string
// at userdata.
std::size_t write_http_response(void* ptr, std::size_t size, std::size_t count, void* userdata);
