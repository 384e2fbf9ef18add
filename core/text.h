// Text helpers on std::string: trimming, plate-text distance, replacing,
// UTF-8 counting and re-encoding, case conversion (Cyrillic included),
// short duration and size texts, HTML escaping and one-value formatting.
// All are thread-safe; getlocale() builds the program locale once.
#pragma once

#include <cstddef>
#include <cstdio>
#include <locale>
#include <string>
#include <string_view>

const std::locale& getlocale();

void ltrim(std::string& s);
void rtrim(std::string& s);
void trim(std::string& s);

// Edit distance of two plate texts: 'O', 'o' and '0' are one character and
// '?' (an unreadable glyph) never matches. Strings of 16 bytes or more give
// the length of a.
std::size_t fuzzyCompare(const std::string& a, const std::string& b);

// Replaces every from (not empty) in s, never rescanning inserted text.
std::size_t replaceAll(std::string& s, const std::string& from, const std::string& to);

unsigned utf8strlen(const std::string& s);
// Re-encodes UTF-8 s for "Windows-1251"/"cp1251"/"1251" or "koi8-r".
void utf8conv(std::string& s, std::string encoding);
void cropright(std::string& s, std::size_t n);

std::string strtoupper(std::string s);
std::string strtolower(std::string s);

std::string prettytime(unsigned long seconds);
std::string prettysize(unsigned long bytes);

std::string htmlescape(const std::string& s);

// Control bytes (below 0x20, and 0x7f) as "\xHH"; everything else, UTF-8
// included, unchanged. Text from the network goes through this before it
// reaches the console or the log: a CR, LF or ESC in it could forge lines
// or drive the terminal.
std::string escapeControlBytes(std::string_view s);
bool hasControlBytes(std::string_view s);

// printf-style formatting of one value, of any length.
template <class T>
std::string format(const std::string& fmt, T value) {
  const int n = std::snprintf(nullptr, 0, fmt.c_str(), value);
  if (n <= 0) return {};
  std::string out(static_cast<std::size_t>(n) + 1, '\0');
  std::snprintf(out.data(), out.size(), fmt.c_str(), value);
  out.resize(static_cast<std::size_t>(n));
  return out;
}
