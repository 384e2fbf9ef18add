#include "http/httpclient.h"

#include "core/text.h"
#include "http/digest.h"

#include <curl/curl.h>

#include <algorithm>
#include <cctype>
#include <limits>
#include <memory>

namespace {

// libcurl's global set-up is not safe to race with the first handles of
// several threads, so it runs here, before main and before any thread.
const bool curlReady = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;

struct CurlFree {
  void operator()(CURL* h) const { curl_easy_cleanup(h); }
};
struct SlistFree {
  void operator()(curl_slist* l) const { curl_slist_free_all(l); }
};
using CurlHandle = std::unique_ptr<CURL, CurlFree>;
using HeaderList = std::unique_ptr<curl_slist, SlistFree>;

CurlHandle newHandle() {
  if (!curlReady) return nullptr;
  return CurlHandle(curl_easy_init());
}

HeaderList addHeader(HeaderList list, const std::string& line) {
  curl_slist* grown = curl_slist_append(list.get(), line.c_str());
  if (!grown) return nullptr;  // the old list is freed with `list`
  (void)list.release();
  return HeaderList(grown);
}

// Keeps the first kMaxAnswer bytes and takes in the rest unread, so the
// server can finish its answer and its status still counts.
std::size_t keepBounded(void* ptr, std::size_t size, std::size_t count, void* userdata) {
  const std::size_t n = size * count;
  auto* kept = static_cast<std::string*>(userdata);
  if (kept->size() < httpclient::kMaxAnswer)
    kept->append(static_cast<const char*>(ptr), std::min(n, httpclient::kMaxAnswer - kept->size()));
  return n;
}

// The body of a bounded GET: appended until it would pass `limit`, then the
// transfer is abandoned (a short write makes libcurl stop), so a hostile or
// broken server never makes us hold more than the caller can use.
struct BoundedBody {
  std::string* body;
  std::size_t start;
  std::size_t limit;
  bool over = false;
};

std::size_t appendBounded(void* ptr, std::size_t size, std::size_t count, void* userdata) {
  const std::size_t n = size * count;
  auto* b = static_cast<BoundedBody*>(userdata);
  if (b->body->size() - b->start + n > b->limit) {
    b->over = true;
    return 0;
  }
  b->body->append(static_cast<const char*>(ptr), n);
  return n;
}

int cancelCheck(void* flag, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
  const auto* cancel = static_cast<const std::atomic<bool>*>(flag);
  return cancel && cancel->load() ? 1 : 0;
}

void setCommon(CURL* h, const std::string& url) {
  curl_easy_setopt(h, CURLOPT_URL, url.c_str());
  curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(h, CURLOPT_PROTOCOLS_STR, "http,https");
  curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, write_http_response);
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// "Name:\s*VALUE" with the whole of VALUE made of accepted characters.
std::optional<std::string_view> headerValue(std::string_view line, std::string_view name,
                                            bool (*accept)(char)) {
  const auto colon = line.find(':');
  if (colon == std::string_view::npos || !equalsNoCase(line.substr(0, colon), name)) return std::nullopt;
  std::string_view rest = line.substr(colon + 1);
  while (!rest.empty() && std::isspace(static_cast<unsigned char>(rest.front()))) rest.remove_prefix(1);
  if (rest.empty()) return std::nullopt;
  for (char c : rest)
    if (!accept(c)) return std::nullopt;
  return rest;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }
bool isHex(char c) { return std::isxdigit(static_cast<unsigned char>(c)) != 0; }

}  // namespace

namespace httpclient {

std::chrono::seconds largePostTime(std::size_t len) {
  const std::uint64_t atLowSpeed = len / static_cast<std::uint64_t>(kLowSpeedBytes);
  const std::uint64_t limit = static_cast<std::uint64_t>(kMaxPostTime.count());
  return std::chrono::seconds(std::min<std::uint64_t>(static_cast<std::uint64_t>(kTimeout.count()) + atLowSpeed, limit));
}

Announced parseAnnounced(std::string_view headers) {
  Announced out;
  while (!headers.empty()) {
    const auto end = headers.find('\n');
    std::string_view line = headers.substr(0, end);
    headers.remove_prefix(end == std::string_view::npos ? headers.size() : end + 1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (auto v = headerValue(line, "Content-Length", isDigit)) {
      std::uint32_t n = 0;
      for (char c : *v) n = n * 10u + static_cast<std::uint32_t>(c - '0');  // wraps: 32 bits
      out.length = n;
    } else if (auto h = headerValue(line, "X-Hash", isHex)) {
      out.hash = strtolower(std::string(*h));
    }
  }
  return out;
}

}  // namespace httpclient

std::size_t write_http_response(void* ptr, std::size_t size, std::size_t count, void* userdata) {
  const std::size_t n = size * count;
  static_cast<std::string*>(userdata)->append(static_cast<const char*>(ptr), n);
  return n;
}

int httppost(const std::string& url, const char* data, std::size_t len) {
  return httppost(url, data, len, nullptr);
}

int httppost(const std::string& url, const char* data, std::size_t len, const std::atomic<bool>* cancel) {
  return httppostStatus(url, data, len, cancel) == 200 ? 0 : -1;
}

int httppostStatus(const std::string& url, const char* data, std::size_t len, const std::atomic<bool>* cancel) {
  if (len == 0 || data == nullptr) return -1;
  CurlHandle h = newHandle();
  if (!h) return -1;
  HeaderList headers = addHeader(nullptr, "X-Hash: " + md5(reinterpret_cast<const unsigned char*>(data), len));
  if (headers) headers = addHeader(std::move(headers), "Content-Type: application/octet-stream");
  if (!headers) return -1;
  std::string answer;
  setCommon(h.get(), url);
  curl_easy_setopt(h.get(), CURLOPT_POSTFIELDS, data);
  curl_easy_setopt(h.get(), CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(len));
  curl_easy_setopt(h.get(), CURLOPT_HEADER, 1L);
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, keepBounded);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &answer);
  const long limit = static_cast<long>(httpclient::kTimeout.count());
  if (len > httpclient::kLargeBody) {
    curl_easy_setopt(h.get(), CURLOPT_CONNECTTIMEOUT, limit);
    curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_LIMIT, httpclient::kLowSpeedBytes);
    curl_easy_setopt(h.get(), CURLOPT_LOW_SPEED_TIME, limit);
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, static_cast<long>(httpclient::largePostTime(len).count()));
  } else {
    curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, limit);
  }
  if (cancel) {
    curl_easy_setopt(h.get(), CURLOPT_XFERINFOFUNCTION, cancelCheck);
    curl_easy_setopt(h.get(), CURLOPT_XFERINFODATA, cancel);
    curl_easy_setopt(h.get(), CURLOPT_NOPROGRESS, 0L);
  }
  if (curl_easy_perform(h.get()) != CURLE_OK) return -1;
  long code = 0;
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
  return code > 0 && code <= 999 ? static_cast<int>(code) : -1;
}

int httpfetch(const std::string& url, std::string& body, std::string& header) {
  return httpfetch(url, body, header, std::numeric_limits<std::size_t>::max());
}

int httpfetch(const std::string& url, std::string& body, std::string& header, std::size_t maxBody) {
  CurlHandle h = newHandle();
  if (!h) return -1;
  HeaderList headers = addHeader(nullptr, "Content-Type: application/octet-stream");
  if (!headers) return -1;
  const std::size_t start = body.size();  // the body is appended to
  setCommon(h.get(), url);
  curl_easy_setopt(h.get(), CURLOPT_HEADERFUNCTION, write_http_response);
  curl_easy_setopt(h.get(), CURLOPT_HEADERDATA, &header);
  BoundedBody bounded{&body, start, maxBody};
  curl_easy_setopt(h.get(), CURLOPT_WRITEFUNCTION, appendBounded);
  curl_easy_setopt(h.get(), CURLOPT_WRITEDATA, &bounded);
  curl_easy_setopt(h.get(), CURLOPT_HTTPHEADER, headers.get());
  curl_easy_setopt(h.get(), CURLOPT_TIMEOUT, static_cast<long>(httpclient::kTimeout.count()));
  if (curl_easy_perform(h.get()) != CURLE_OK) {
    if (bounded.over) body.resize(start);  // a part of a refused body is no body
    return -1;
  }
  long code = 0;
  curl_easy_getinfo(h.get(), CURLINFO_RESPONSE_CODE, &code);
  if (code != 200) return -1;

  const std::size_t got = body.size() - start;
  const httpclient::Announced announced = httpclient::parseAnnounced(header);
  if (announced.length && *announced.length != 0 && *announced.length != got) {
    body.resize(start);
    return -1;
  }
  const auto* bytes = reinterpret_cast<const unsigned char*>(body.data() + start);
  if (announced.hash && *announced.hash != md5(bytes, got)) return -1;
  if (got > static_cast<std::size_t>(std::numeric_limits<int>::max())) return -1;
  return static_cast<int>(got);
}

int httpfetch(const std::string& url, std::string& body) {
  std::string header;
  return httpfetch(url, body, header);
}
