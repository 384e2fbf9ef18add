#include "http/webutil.h"

#include <cstdlib>

std::string urldecode(const std::string& s) {
  std::string out;
  out.reserve(s.size());
  const std::size_t n = s.size();
  for (std::size_t i = 0; i < n; ++i) {
    const char c = s[i];
    if (c == '%' && i + 2 < n) {
      // strtol semantics on purpose: browsers only send valid pairs, and old
      // bookmarks rely on a valid prefix being enough.
      const char hex[3] = {s[i + 1], s[i + 2], '\0'};
      out.push_back(static_cast<char>(std::strtol(hex, nullptr, 16) & 0xff));
      i += 2;
    } else if (c == '+') {
      out.push_back(' ');
    } else {
      out.push_back(c);
    }
  }
  return out;
}

std::string urlencode(const std::string& s) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(s.size() * 3);
  for (const char c : s) {
    const auto b = static_cast<unsigned char>(c);
    if (b == 0) break;
    const bool alnum = (b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9');
    if (alnum || b == '-' || b == '.' || b == '_' || b == '~') {
      out.push_back(c);
    } else if (b == ' ') {
      out.push_back('+');
    } else {
      out.push_back('%');
      out.push_back(kHex[b >> 4]);
      out.push_back(kHex[b & 0x0f]);
    }
  }
  return out;
}

std::string taglink(std::string url, std::string text) {
  return "<a href=\"" + url + "\">" + text + "</a>";
}

std::string taglink(std::string url) { return taglink(url, url); }
