#include "http/response.h"

#include "http/gzip.h"
#include "http/mime.h"
#include "http/sockio.h"

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <climits>
#include <cstdio>
#include <ctime>
#include <utility>
#include <vector>

HttpResponse::HttpResponse(int sock, int sendTimeoutSec)
    : mimetypes(mimeTypes()), compressible(compressibleTypes()), socket(sock), sendTimeoutSec_(sendTimeoutSec) {
  headers["Date"] = DateGMT();
  headers["Content-Type"] = "text/plain; charset=utf-8";
  headers["Connection"] = "close";
}

HttpResponse::~HttpResponse() { closeFile(); }

void HttpResponse::write(const char* data, int n) {
  if (data != nullptr && n > 0) body.write(data, n);
}

void HttpResponse::write(const unsigned char* data, int n) { write(reinterpret_cast<const char*>(data), n); }

int HttpResponse::redirect(std::string url, int code) {
  headers["Location"] = std::move(url);
  return code;
}

void HttpResponse::MIMEbyName(std::string name) {
  headers["Content-Type"] = "application/octet-stream";
  if (name.empty()) return;
  const std::size_t dot = name.rfind('.');
  std::string ext = dot == std::string::npos ? name : name.substr(dot + 1);
  std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
  const auto it = mimetypes.find(ext);
  if (it != mimetypes.end()) headers["Content-Type"] = it->second;
}

std::string HttpResponse::DateGMT() {
  // Formatted by hand: HTTP dates are English whatever the process locale.
  static constexpr const char* kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                            "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  if (gmtime_r(&t, &tm) == nullptr) return {};
  char text[64];
  std::snprintf(text, sizeof text, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[tm.tm_wday % 7], tm.tm_mday,
                kMonths[tm.tm_mon % 12], tm.tm_year + 1900, tm.tm_hour, tm.tm_min, tm.tm_sec);
  return text;
}

std::string HttpResponse::httpCode(int code) {
  switch (code) {
    case 200: return "200 OK";
    case 302: return "302 Found";
    case 400: return "400 Bad Request";
    case 403: return "403 Forbidden";
    case 404: return "404 Not Found";
    case 408: return "408 Request Timeout";
    case 411: return "411 Length Required";
    case 413: return "413 Request Entity Too Large";
    case 503: return "503 Service Unavailable";
    default: return "500 Internal Server Error";
  }
}

bool HttpResponse::compresscheck(unsigned long size, int code) const {
  if (compress == kCompressAlways) return true;
  if (compress == kCompressNever || size <= http_limits::kCompressAbove || code != 200) return false;
  const auto it = headers.find("Content-Type");
  if (it == headers.end()) return false;
  return std::any_of(compressible.begin(), compressible.end(),
                     [&](const std::string& type) { return it->second.find(type) != std::string::npos; });
}

bool HttpResponse::compressdata(std::stringstream& in, std::stringstream& out) {
  in.clear();
  in.seekg(0);
  return gzipStream(in, out);
}

int HttpResponse::sendBytes(std::string_view bytes) {
  if (staged_ != nullptr) {
    staged_->append(bytes);
    return static_cast<int>(std::min<std::size_t>(bytes.size(), INT_MAX));
  }
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    const std::size_t n = std::min(bytes.size() - sent, http_limits::kSendChunk);
    const int rc = sock_send(socket, reinterpret_cast<const unsigned char*>(bytes.data() + sent), static_cast<int>(n),
                             sendTimeoutSec_);
    if (rc < 0) return -1;
    sent += n;
  }
  return static_cast<int>(sent);
}

int HttpResponse::writeSocket(std::stringstream& s) { return sendBytes(s.view()); }

int HttpResponse::sendHead(int code) {
  std::stringstream head;
  head << "HTTP/1.1 " << httpCode(code) << "\r\n";
  for (const auto& [name, value] : headers) head << name << ": " << value << "\r\n";
  head << "\r\n";
  return writeSocket(head);
}

int HttpResponse::sendme(int code) {
  if (fileFd_ >= 0) return sendFile(code);
  const std::size_t size = bodySize();
  bool compressed = compresscheck(size, code);
  if (size >= 1) headers["Content-Length"] = std::to_string(size);
  std::stringstream zipped;
  if (compressed) {
    // A failed compression is sent plain rather than not at all.
    compressed = compressdata(body, zipped);
    if (compressed) {
      headers["Content-Encoding"] = "gzip";
      headers["Content-Length"] = std::to_string(zipped.view().size());
    }
  }
  if (sendHead(code) < 0) return -1;
  return writeSocket(compressed ? zipped : body);
}

int HttpResponse::sendError(int code) {
  if (bodySize() > 0) return sendme(code);
  const std::string text = httpCode(code);
  headers.clear();
  headers["Content-Type"] = "text/html; charset=utf-8";
  body << "<html><head><title>" << text << "</title></head>\n"
       << "<body bgcolor=white>\n"
       << "<center><h1>" << text << "</h1></center>\n"
       << "<hr><center>(kovira web server response)</center>\n"
       << "</body></html>";
  return sendme(code);
}

void HttpResponse::discard() {
  body.str(std::string());
  body.clear();
  closeFile();
}

void HttpResponse::fileBody(int fd, std::uint64_t size) {
  closeFile();
  fileFd_ = fd;
  fileSize_ = size;
}

void HttpResponse::closeFile() {
  if (fileFd_ >= 0) ::close(fileFd_);
  fileFd_ = -1;
  fileSize_ = 0;
}

int HttpResponse::sendFile(int code) {
  headers.erase("Content-Encoding");
  headers["Content-Length"] = std::to_string(fileSize_);
  if (sendHead(code) < 0) return -1;
  if (staged_ != nullptr) {
    staged_->appendFile(fileFd_, fileSize_);
    const std::uint64_t size = fileSize_;
    fileFd_ = -1;
    fileSize_ = 0;
    return static_cast<int>(std::min<std::uint64_t>(size, INT_MAX));
  }
  std::vector<char> chunk(http_limits::kSendChunk);
  std::uint64_t sent = 0;
  while (sent < fileSize_) {
    const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(chunk.size(), fileSize_ - sent));
    const ssize_t got = ::pread(fileFd_, chunk.data(), want, static_cast<off_t>(sent));
    // A file that shrank or fails to read cannot honour the length already
    // announced: the connection is cut so the client sees a short body.
    if (got <= 0) return -1;
    if (sendBytes(std::string_view(chunk.data(), static_cast<std::size_t>(got))) < 0) return -1;
    sent += static_cast<std::uint64_t>(got);
  }
  return static_cast<int>(std::min<std::uint64_t>(sent, INT_MAX));
}

HttpAnswer::~HttpAnswer() { closeFile(); }

HttpAnswer::HttpAnswer(HttpAnswer&& other) noexcept
    : bytes_(std::move(other.bytes_)),
      offset_(other.offset_),
      fileFd_(std::exchange(other.fileFd_, -1)),
      fileOffset_(other.fileOffset_),
      fileLeft_(std::exchange(other.fileLeft_, 0)) {
  other.offset_ = 0;
}

HttpAnswer& HttpAnswer::operator=(HttpAnswer&& other) noexcept {
  if (this != &other) {
    closeFile();
    bytes_ = std::move(other.bytes_);
    offset_ = std::exchange(other.offset_, 0);
    fileFd_ = std::exchange(other.fileFd_, -1);
    fileOffset_ = other.fileOffset_;
    fileLeft_ = std::exchange(other.fileLeft_, 0);
  }
  return *this;
}

void HttpAnswer::closeFile() {
  if (fileFd_ >= 0) ::close(fileFd_);
  fileFd_ = -1;
  fileLeft_ = 0;
}

void HttpAnswer::appendFile(int fd, std::uint64_t size) {
  closeFile();
  fileFd_ = fd;
  fileOffset_ = 0;
  fileLeft_ = size;
  if (size == 0) closeFile();
}

HttpAnswer::Progress HttpAnswer::sendSome(int socket, std::size_t limit, std::uint64_t& sent) {
  std::size_t moved = 0;
  while (moved < limit) {
    if (offset_ >= bytes_.size()) {
      if (fileLeft_ == 0) {
        // Sent: the memory goes back at once, the connection may linger.
        bytes_ = std::string();
        offset_ = 0;
        return Progress::kDone;
      }
      // The next piece of the file replaces the bytes sent; a file that
      // shrank or fails to read cannot honour the announced length, so the
      // connection is cut and the client sees a short body.
      const std::size_t want = static_cast<std::size_t>(std::min<std::uint64_t>(http_limits::kSendChunk, fileLeft_));
      if (bytes_.capacity() > 2 * http_limits::kSendChunk) bytes_ = std::string();
      bytes_.resize(want);
      const ssize_t got = ::pread(fileFd_, bytes_.data(), want, static_cast<off_t>(fileOffset_));
      if (got <= 0) return Progress::kFailed;
      bytes_.resize(static_cast<std::size_t>(got));
      offset_ = 0;
      fileOffset_ += static_cast<std::uint64_t>(got);
      fileLeft_ -= static_cast<std::uint64_t>(got);
      if (fileLeft_ == 0) closeFile();
    }
    const std::size_t n = std::min({bytes_.size() - offset_, limit - moved, http_limits::kSendChunk});
    const ssize_t rc = ::send(socket, bytes_.data() + offset_, n, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (rc < 0) {
      if (errno == EINTR) continue;
      return errno == EAGAIN || errno == EWOULDBLOCK ? Progress::kBlocked : Progress::kFailed;
    }
    offset_ += static_cast<std::size_t>(rc);
    moved += static_cast<std::size_t>(rc);
    sent += static_cast<std::uint64_t>(rc);
  }
  return Progress::kBlocked;
}
