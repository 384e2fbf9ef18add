#include "http/request.h"

#include "core/number_text.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

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
  // The one rule of number text (core/number_text.h): "12x" or "7\0junk"
  // taken as 12 or 7 would apply a value the operator never typed.
  const kovira::IntegerText n =
      kovira::integerText(it->second, std::numeric_limits<int>::min(), std::numeric_limits<int>::max());
  if (!n.value) return false;
  value = static_cast<int>(*n.value);
  return true;
}

bool HttpRequest::has(const std::string& name, float& value) const {
  const auto it = args.find(name);
  if (it == args.end()) return false;
  const std::optional<double> d = kovira::realText(it->second);
  if (!d) return false;
  const auto f = static_cast<float>(*d);
  if (!std::isfinite(f)) return false;
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
