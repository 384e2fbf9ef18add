#include "config/identity.h"

#include <nlohmann/json.hpp>

#include <arpa/inet.h>

#include <charconv>
#include <fstream>
#include <iostream>
#include <limits>
#include <optional>

namespace kovira {

namespace {

constexpr std::string_view kHttp = "http://";
constexpr unsigned long kMaxPort = 65535;

std::optional<nlohmann::json> parseFile(const std::string& path) {
  std::ifstream in(path);
  if (!in) return std::nullopt;
  nlohmann::json doc = nlohmann::json::parse(in, nullptr, false);
  if (doc.is_discarded() || !doc.is_object()) return std::nullopt;
  return doc;
}

std::optional<int> intValue(const nlohmann::json& v) {
  if (v.is_number_integer()) {
    const auto n = v.get<std::int64_t>();
    if (n >= std::numeric_limits<int>::min() && n <= std::numeric_limits<int>::max()) return static_cast<int>(n);
  } else if (v.is_number_unsigned()) {
    const auto n = v.get<std::uint64_t>();
    if (n <= static_cast<std::uint64_t>(std::numeric_limits<int>::max())) return static_cast<int>(n);
  } else if (v.is_number_float()) {
    const double d = v.get<double>();
    if (d >= std::numeric_limits<int>::min() && d <= std::numeric_limits<int>::max()) return static_cast<int>(d);
  }
  return std::nullopt;
}

void takeEndpoint(const nlohmann::json& doc, const char* key, bool (*valid)(const std::string&),
                  const char* form, std::string& out) {
  const auto it = doc.find(key);
  if (it == doc.end()) return;
  if (it->is_string() && valid(it->get_ref<const std::string&>())) {
    out = it->get<std::string>();
    return;
  }
  std::cout << "[WARNING] identity file: \"" << key << "\" is not " << form << ", not used" << std::endl;
}

}  // namespace

bool isBaseUrl(const std::string& text) {
  if (text.compare(0, kHttp.size(), kHttp) != 0) return false;
  const std::string_view rest = std::string_view(text).substr(kHttp.size());
  const std::size_t colon = rest.find(':');
  const std::string_view host = rest.substr(0, colon);
  if (host.empty()) return false;
  for (const char c : host) {
    const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                    c == '-';
    if (!ok) return false;
  }
  if (colon == std::string_view::npos) return true;
  const std::string_view port = rest.substr(colon + 1);
  unsigned long value = 0;
  const auto res = std::from_chars(port.data(), port.data() + port.size(), value);
  return !port.empty() && res.ec == std::errc() && res.ptr == port.data() + port.size() && value >= 1 &&
         value <= kMaxPort;
}

bool isIPv4(const std::string& text) {
  in_addr addr{};
  return inet_pton(AF_INET, text.c_str(), &addr) == 1;
}

Identity readIdentity(const IdentityPaths& paths) {
  Identity id;
  if (const auto doc = parseFile(paths.kovira)) {
    const auto token = doc->find("token");
    if (token != doc->end() && token->is_string()) id.token = token->get<std::string>();
    Endpoints& e = id.endpoints;
    constexpr const char* kUrl = "a base URL http://host[:port]";
    takeEndpoint(*doc, "upload", isBaseUrl, kUrl, e.upload);
    takeEndpoint(*doc, "telemetry", isBaseUrl, kUrl, e.telemetry);
    takeEndpoint(*doc, "backup", isBaseUrl, kUrl, e.backup);
    takeEndpoint(*doc, "feedback", isBaseUrl, kUrl, e.feedback);
    takeEndpoint(*doc, "buslist", isIPv4, "an IPv4 address", e.buslist);
  }
  if (const auto doc = parseFile(paths.skygateway)) {
    for (const char* key : {"devid", "camid"}) {  // "camid" last: it wins
      const auto it = doc->find(key);
      if (it == doc->end()) continue;
      if (const auto v = intValue(*it)) id.devid = *v;
    }
  }
  return id;
}

}  // namespace kovira
