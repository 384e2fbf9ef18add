// Text form of one configuration section or of any JSON value, in the file's
// fixed layout: indent of 4 blanks, object members in ascending byte order of
// their keys, "{" / "}" of a non-empty object on lines of their own, "{}" and
// "[]" for empty ones, no final line end. Floating-point numbers are written
// with at most 15 significant digits ("%.15g"; 17 where 15 would round past
// the largest double) and always show a decimal point or an exponent (".0"
// is appended to a whole value); infinity and NaN, which JSON cannot hold,
// are written as null. Strings are written with only the quote, the
// backslash and control characters escaped; bytes that are not UTF-8 are
// written as U+FFFD, so that whatever is written can be read again.
// Pure function; thread-safe.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace kovira {

std::string jsonText(const nlohmann::json& value);

// One string, quoted and escaped as jsonText writes it.
std::string jsonString(const std::string& text);

// One floating-point value as written by jsonText.
std::string jsonNumber(double value);

}  // namespace kovira
