// The response a page handler fills: header map, body stream and
// compression mode. The connection thread sends it once with sendme
// (200, 302) or sendError (any other status) and closes the connection.
// Owned by one connection thread; nothing is shared.
#pragma once

#include "http/limits.h"

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <vector>

class HttpResponse {
 public:
  // Compression modes.
  static constexpr int kCompressNever = 0;
  static constexpr int kCompressAllowed = 1;  // when compresscheck allows it
  static constexpr int kCompressAlways = 2;

  // Presets "Date", "Content-Type" (plain UTF-8 text) and "Connection".
  explicit HttpResponse(int socket, int sendTimeoutSec = http_limits::kSendTimeoutSec);

  ~HttpResponse();
  HttpResponse(const HttpResponse&) = delete;
  HttpResponse& operator=(const HttpResponse&) = delete;

  void write(const char* data, int n);
  void write(const unsigned char* data, int n);
  // Sets "Location" and returns code, for `return res.redirect(url, 302);`.
  int redirect(std::string url, int code);
  // "Content-Type" from a file name's extension (after the last ".").
  void MIMEbyName(std::string name);

  // "Sun, 06 Nov 1994 08:49:37 GMT", always in English.
  static std::string DateGMT();
  // Status line text ("404 Not Found"); unknown codes give
  // "500 Internal Server Error".
  static std::string httpCode(int code);

  bool compresscheck(unsigned long size, int code) const;
  // gzip of in into out; false (out unusable) when zlib fails.
  bool compressdata(std::stringstream& in, std::stringstream& out);
  // Sends all of s in kSendChunk pieces; bytes sent or -1.
  int writeSocket(std::stringstream& s);

  // Status line, headers in name order, body (gzipped when allowed).
  // Returns the body bytes sent or -1.
  int sendme(int code);
  // sendme when the handler wrote a body; otherwise the standard page of
  // the status, with only a "Content-Type" header.
  int sendError(int code);

  // The body length so far (not compressed).
  std::size_t bodySize() const { return body.view().size(); }
  // Forgets what a failed handler had written.
  void discard();
  // Sends size bytes of the open file fd (which the response then owns and
  // closes) as the body instead of the stream: read and sent in kSendChunk
  // pieces, never held whole in memory and never gzipped.
  void fileBody(int fd, std::uint64_t size);

  const std::map<std::string, std::string>& mimetypes;
  const std::vector<std::string>& compressible;
  int socket;
  std::map<std::string, std::string> headers;
  std::stringstream body;
  int compress = kCompressNever;

 private:
  int sendBytes(std::string_view bytes);
  int sendHead(int code);
  int sendFile(int code);
  void closeFile();

  int sendTimeoutSec_;
  int fileFd_ = -1;
  std::uint64_t fileSize_ = 0;
};
