#include "core/text.h"

#include <boost/locale.hpp>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <mutex>

namespace {
constexpr std::size_t kFuzzyMax = 16;  // table side of fuzzyCompare

bool isZeroLike(char c) { return c == 'O' || c == 'o' || c == '0'; }
}  // namespace

const std::locale& getlocale() {
  static const std::locale loc = boost::locale::generator()("ru_RU.UTF-8");
  return loc;
}

void ltrim(std::string& s) {
  s.erase(s.begin(), std::find_if(s.begin(), s.end(), [](unsigned char c) { return !std::isspace(c); }));
}

void rtrim(std::string& s) {
  s.erase(std::find_if(s.rbegin(), s.rend(), [](unsigned char c) { return !std::isspace(c); }).base(), s.end());
}

void trim(std::string& s) {
  ltrim(s);
  rtrim(s);
}

std::size_t fuzzyCompare(const std::string& a, const std::string& b) {
  if (a.size() >= kFuzzyMax || b.size() >= kFuzzyMax) return a.size();
  if (a.empty()) return b.size();
  if (b.empty()) return a.size();

  std::array<std::array<std::uint64_t, kFuzzyMax + 1>, kFuzzyMax + 1> d{};
  for (std::size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
  for (std::size_t i = 0; i < a.size(); ++i) {
    for (std::size_t j = 0; j < b.size(); ++j) {
      std::uint64_t cost = 1;
      if (isZeroLike(a[i]) && isZeroLike(b[j]))
        cost = 0;
      else if (a[i] == b[j] && a[i] != '?')
        cost = 0;
      d[i + 1][j + 1] = std::min({d[i][j + 1] + 1, d[i + 1][j] + 1, d[i][j] + cost});
    }
  }
  return d[a.size()][b.size()];
}

std::size_t replaceAll(std::string& s, const std::string& from, const std::string& to) {
  if (from.empty()) return 0;
  std::size_t count = 0;
  for (std::size_t pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size())) {
    s.replace(pos, from.size(), to);
    ++count;
  }
  return count;
}

unsigned utf8strlen(const std::string& s) {
  unsigned n = 0;
  for (const char c : s) {
    if (c == '\0') break;
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++n;
  }
  return n;
}

void utf8conv(std::string& s, std::string encoding) {
  std::string charset;
  if (encoding == "Windows-1251" || encoding == "cp1251" || encoding == "1251")
    charset = "Windows-1251";
  else if (encoding == "koi8-r")
    charset = "KOI8-R";
  else
    return;
  try {
    std::string out = boost::locale::conv::from_utf(s, charset);
    if (!out.empty()) s = std::move(out);
  } catch (const std::exception&) {
    // An unknown charset leaves the text as it was.
  }
}

void cropright(std::string& s, std::size_t n) {
  if (s.size() > n) s.resize(n);
}

std::string strtoupper(std::string s) { return boost::locale::to_upper(s, getlocale()); }

std::string strtolower(std::string s) { return boost::locale::to_lower(s, getlocale()); }

std::string prettytime(unsigned long seconds) {
  if (seconds > 86400) return std::to_string(seconds / 86400) + "d";
  if (seconds > 10800) return std::to_string(seconds / 3600) + "h";
  if (seconds > 3600) return std::to_string(seconds / 3600) + "h" + std::to_string(seconds % 3600 / 60) + "m";
  if (seconds <= 300) return std::to_string(seconds);
  return std::to_string(seconds / 60) + "m";
}

std::string prettysize(unsigned long bytes) {
  constexpr unsigned long kGiB = 1UL << 30;
  if (bytes > 5 * kGiB) return std::to_string(bytes / kGiB) + "G";
  if (bytes > kGiB) return format("%0.1f", static_cast<double>(bytes) / kGiB) + "G";
  if (bytes > (1UL << 20)) return std::to_string(bytes >> 20) + "M";
  if (bytes <= 1024) return std::to_string(bytes);
  return std::to_string(bytes >> 10) + "K";
}

std::string htmlescape(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      default: out += c;
    }
  }
  return out;
}

namespace {
bool isControlByte(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b < 0x20 || b == 0x7f;
}
}  // namespace

bool hasControlBytes(std::string_view s) {
  for (const char c : s)
    if (isControlByte(c)) return true;
  return false;
}

std::string escapeControlBytes(std::string_view s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size());
  for (const char c : s) {
    if (!isControlByte(c)) {
      out += c;
      continue;
    }
    const auto b = static_cast<unsigned char>(c);
    out += "\\x";
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}
