// One parsed HTTP request: request line, arguments (query and POST form
// fields), header fields, body, peer address and the sub-matches of the
// route that matched. Built and filled by one connection thread, then
// handed read-only to a page handler; never shared between threads.
#pragma once

#include "http/limits.h"
#include "http/request_parse.h"

#include <boost/regex.hpp>

#include <string>
#include <vector>

class HttpRequest {
 public:
  HttpRequest(int socket, const char* peerip, int peerport);

  HttpRequest(const HttpRequest&) = delete;
  HttpRequest& operator=(const HttpRequest&) = delete;

  // Receives the raw header (kHeaderMax bytes, zero-filled).
  unsigned char* headerBuffer() { return buffer_.data(); }
  // Parses the header text in the buffer: up to its first zero byte and
  // never past length. False when the request line does not parse.
  bool ParseHeader(int length);

  // Adds the form fields of a POST body to args (urlencoded, multipart).
  void readPOSTargs();
  // More than kArgumentsMax arguments arrived (query and body together);
  // the server answers 413.
  bool argumentsRefused() const { return argumentsRefused_; }
  void readPOSTencoded(const std::string& body);
  void readPOSTmiltipart(const std::string& body, std::string contenttype);

  // Argument accessors; they never throw and write value only on success.
  bool has(const std::string& name, std::string& value) const;
  // True when the argument is number text (core/number_text.h) of an
  // integer in the 32-bit range ("-7", " 12 " yes; "", "+12", "012",
  // "12x", "0x10" and overflow no).
  bool has(const std::string& name, int& value) const;
  // The same for a finite float ("nan", "inf", "2.5x", "0x1p3" no).
  bool has(const std::string& name, float& value) const;
  bool has(const std::string& name) const;
  // Header accessors; names are case-sensitive.
  bool head(const std::string& name, std::string& value) const;
  bool head(const std::string& name) const;
  // The client accepts gzip.
  bool supportcompress() const;

  std::string path;     // request target before "?", not decoded
  std::string method;   // "GET", "POST" or "PUT"
  std::string query;    // after "?", not decoded
  std::string version;  // "1.0" or "1.1"
  StringMap args;
  StringMap headers;
  std::string body;
  // Sub-matches of the route that matched, over path: 0 the whole path,
  // 1.. the pattern's groups.
  boost::smatch match;
  std::string peerip;
  int peerport;
  int socket;

 private:
  // Arguments that may still be added.
  std::size_t argumentRoom() const;

  std::vector<unsigned char> buffer_;
  bool argumentsRefused_ = false;
};
