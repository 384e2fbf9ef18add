#include "http/request.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

HttpRequest::HttpRequest(int sock, const char* ip, int port)
    : peerip(ip ? ip : ""), peerport(port), socket(sock), buffer_(http_limits::kHeaderMax, 0) {}

bool HttpRequest::ParseHeader(int length) {
  if (length < 0) return false;
  const std::size_t bounded = std::min<std::size_t>(static_cast<std::size_t>(length), buffer_.size());
  const auto* text = reinterpret_cast<const char*>(buffer_.data());
  const std::size_t size = strnlen(text, bounded);
  RequestLine line;
  if (!parseRequestHeader(std::string_view(text, size), line, headers)) return false;
  method = std::move(line.method);
  path = std::move(line.path);
  query = std::move(line.query);
  version = std::move(line.version);
  if (!query.empty() && !parseArguments(query, args, argumentRoom())) argumentsRefused_ = true;
  return true;
}

std::size_t HttpRequest::argumentRoom() const {
  return args.size() < http_limits::kArgumentsMax ? http_limits::kArgumentsMax - args.size() : 0;
}

void HttpRequest::readPOSTargs() {
  if (method != "POST") return;
  std::string type;
  if (!head("Content-Type", type)) return;
  if (type.find("application/x-www-form-urlencoded") != std::string::npos) readPOSTencoded(body);
  if (type.find("multipart/form-data") != std::string::npos) readPOSTmiltipart(body, type);
}

void HttpRequest::readPOSTencoded(const std::string& text) {
  if (!text.empty() && !parseArguments(text, args, argumentRoom())) argumentsRefused_ = true;
}

void HttpRequest::readPOSTmiltipart(const std::string& text, std::string contenttype) {
  if (!parseMultipart(text, contenttype, args, argumentRoom())) argumentsRefused_ = true;
}

bool HttpRequest::has(const std::string& name, std::string& value) const {
  const auto it = args.find(name);
  if (it == args.end()) return false;
  value = it->second;
  return true;
}

bool HttpRequest::has(const std::string& name, int& value) const {
  const auto it = args.find(name);
  if (it == args.end()) return false;
  // The whole text must be the number: "12x" or " 12" taken as 12 would
  // apply a value the operator never typed.
  const std::string& text = it->second;
  int n = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n, 10);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return false;
  value = n;
  return true;
}

bool HttpRequest::has(const std::string& name, float& value) const {
  const auto it = args.find(name);
  if (it == args.end()) return false;
  const std::string& text = it->second;
  float f = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), f, std::chars_format::general);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size() || !std::isfinite(f)) return false;
  value = f;
  return true;
}

bool HttpRequest::has(const std::string& name) const { return args.count(name) != 0; }

bool HttpRequest::head(const std::string& name, std::string& value) const {
  const auto it = headers.find(name);
  if (it == headers.end()) return false;
  value = it->second;
  return true;
}

bool HttpRequest::head(const std::string& name) const { return headers.count(name) != 0; }

bool HttpRequest::supportcompress() const {
  const auto it = headers.find("Accept-Encoding");
  return it != headers.end() && it->second.find("gzip") != std::string::npos;
}
