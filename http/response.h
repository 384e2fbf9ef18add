// The response a page handler fills: header map, body stream and
// compression mode. The server renders it once with sendme (200, 302) or
// sendError (any other status): onto the socket, or, after stageTo, into an
// HttpAnswer that the listener sends as the client takes it.
// Owned by one thread at a time; nothing is shared.
#pragma once

#include "http/limits.h"

#include <cstdint>
#include <map>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

// A rendered answer on its way to the client: bytes in memory, then
// optionally the rest of an open file, read kSendChunk at a time as the
// socket takes it. Owns the file. Move-only.
class HttpAnswer {
 public:
  enum class Progress { kDone, kBlocked, kFailed };

  HttpAnswer() = default;
  ~HttpAnswer();
  HttpAnswer(HttpAnswer&& other) noexcept;
  HttpAnswer& operator=(HttpAnswer&& other) noexcept;
  HttpAnswer(const HttpAnswer&) = delete;
  HttpAnswer& operator=(const HttpAnswer&) = delete;

  void append(std::string_view bytes) { bytes_.append(bytes); }
  // The file's next size bytes follow the bytes appended; takes fd.
  void appendFile(int fd, std::uint64_t size);
  // Non-blocking sends until the socket is full (kBlocked), everything went
  // out (kDone), the peer is gone or the file fails (kFailed), or limit
  // bytes moved (kBlocked). sent grows by the bytes sent.
  Progress sendSome(int socket, std::size_t limit, std::uint64_t& sent);
  // Memory held now.
  std::size_t held() const { return bytes_.capacity(); }
  bool empty() const { return offset_ >= bytes_.size() && fileLeft_ == 0; }

 private:
  void closeFile();

  std::string bytes_;
  std::size_t offset_ = 0;  // of bytes_ already sent
  int fileFd_ = -1;
  std::uint64_t fileOffset_ = 0;
  std::uint64_t fileLeft_ = 0;
};

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
  // Sends (or, after stageTo, appends) all of s in kSendChunk pieces; bytes
  // sent or -1.
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

  // From now on sendme and sendError render into answer instead of the
  // socket (it must outlive the sending).
  void stageTo(HttpAnswer* answer) { staged_ = answer; }

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
  HttpAnswer* staged_ = nullptr;
  int fileFd_ = -1;
  std::uint64_t fileSize_ = 0;
};
