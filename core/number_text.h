// Number text typed by an operator (form fields, query arguments, numbers
// inside configuration texts): one rule everywhere, so that a value a page
// takes is the value the update endpoint takes for the same field.
//
// The rule: blanks (space, tab) around the number are dropped, because a
// browser sends whatever was typed or pasted around it; what remains must be
// one number of the JSON number grammar (RFC 8259 section 6), whole:
//   -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
// so no "+", no leading zeros, no hex ("0x1p3"), no "inf"/"nan", no NUL or
// other byte inside or after it ("7\0garbage"), no "12x". A JSON body's
// number is the same text, so a form and a JSON edit of one field agree.
// Pure functions; thread-safe.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace kovira {

// text without the blanks around it.
std::string_view trimBlanks(std::string_view text);

// The trimmed text is one whole JSON number.
bool isNumberText(std::string_view text);

enum class NumberRefusal { notNumber, notInteger, outOfRange };

struct IntegerText {
  std::optional<std::int64_t> value;
  NumberRefusal why = NumberRefusal::notNumber;  // when !value
};
// An integral number within [lo, hi] ("10", "1e1" and "10.0" are 10; "1.5"
// is not an integer).
IntegerText integerText(std::string_view text, std::int64_t lo, std::int64_t hi);

// A finite number as a double (a number beyond the double range is refused).
std::optional<double> realText(std::string_view text);

}  // namespace kovira
