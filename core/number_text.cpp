#include "core/number_text.h"

#include <charconv>
#include <cmath>

namespace kovira {

namespace {

bool blank(char c) { return c == ' ' || c == '\t'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// The grammar of the header, on text without blanks; `integral` tells
// whether it has neither a fraction nor an exponent.
bool jsonNumber(std::string_view s, bool& integral) {
  std::size_t i = 0;
  const auto digits = [&] {
    const std::size_t from = i;
    while (i < s.size() && digit(s[i])) ++i;
    return i > from;
  };
  if (i < s.size() && s[i] == '-') ++i;
  if (i < s.size() && s[i] == '0') {
    ++i;
  } else if (!digits()) {
    return false;
  }
  integral = true;
  if (i < s.size() && s[i] == '.') {
    ++i;
    if (!digits()) return false;
    integral = false;
  }
  if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    if (!digits()) return false;
    integral = false;
  }
  return i == s.size();
}

}  // namespace

std::string_view trimBlanks(std::string_view text) {
  while (!text.empty() && blank(text.front())) text.remove_prefix(1);
  while (!text.empty() && blank(text.back())) text.remove_suffix(1);
  return text;
}

bool isNumberText(std::string_view text) {
  bool integral = false;
  return jsonNumber(trimBlanks(text), integral);
}

IntegerText integerText(std::string_view text, std::int64_t lo, std::int64_t hi) {
  text = trimBlanks(text);
  bool integral = false;
  if (!jsonNumber(text, integral)) return {};
  std::int64_t n = 0;
  if (integral) {
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), n, 10);
    if (ec != std::errc() || end != text.data() + text.size()) return {std::nullopt, NumberRefusal::outOfRange};
  } else {
    double d = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
    if (ec != std::errc() || !std::isfinite(d)) return {std::nullopt, NumberRefusal::outOfRange};
    if (std::trunc(d) != d) return {std::nullopt, NumberRefusal::notInteger};
    // Bounds of 64 bits are exact in a double: [-2^63, 2^63).
    if (!(d >= -0x1p63 && d < 0x1p63)) return {std::nullopt, NumberRefusal::outOfRange};
    n = static_cast<std::int64_t>(d);
  }
  if (n < lo || n > hi) return {std::nullopt, NumberRefusal::outOfRange};
  return {n, NumberRefusal::notNumber};
}

std::optional<double> realText(std::string_view text) {
  text = trimBlanks(text);
  bool integral = false;
  if (!jsonNumber(text, integral)) return std::nullopt;
  double d = 0;
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), d);
  // A magnitude below the smallest double reads as out of range but is 0
  // for every field; one beyond the largest is refused.
  if (ec == std::errc::result_out_of_range) {
    const std::size_t e = text.find_first_of("eE");
    if (e == std::string_view::npos || text.substr(e + 1).front() != '-') return std::nullopt;
    return 0.0;
  }
  if (ec != std::errc() || end != text.data() + text.size() || !std::isfinite(d)) return std::nullopt;
  return d;
}

}  // namespace kovira
