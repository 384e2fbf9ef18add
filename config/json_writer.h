// Text form of one configuration section or of any JSON value, in the file's
// fixed layout: indent of 4 blanks, object members in ascending byte order of
// their keys, "{" / "}" of a non-empty object on lines of their own, "{}" and
// "[]" for empty ones, no final line end. Floating-point numbers are written
// with at most 15 significant digits ("%.15g") and always show a decimal
// point or an exponent (".0" is appended to a whole value). Strings are
// written as they are (UTF-8 or not) with only the quote, the backslash and
// control characters escaped, so any text an operator typed can be saved.
// Pure function; thread-safe.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <string>

namespace kovira {

std::string jsonText(const nlohmann::json& value);

// One floating-point value as written by jsonText.
std::string jsonNumber(double value);

}  // namespace kovira
