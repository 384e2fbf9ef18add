// Plate patterns: does a plate text look like a real plate? The built-in
// patterns cover the plate formats the unit meets; the operator adds more in
// the global "trackmask" text.
//
// Thread-safe: compiled expressions are cached per "trackmask" text under a
// mutex and matched without it.
#pragma once

#include <string>
#include <vector>

namespace kovira {

const std::vector<std::string>& builtinPlatePatterns();

// Whether the upper-cased text (4 characters or more) matches one of the
// built-in patterns or of the pieces of `trackmask` (split at line ends,
// ";", "," and "|", trimmed). A piece that is not a valid expression is
// logged once and left out; the others still count.
bool plateMatchesMask(const std::string& text, const std::string& trackmask);

}  // namespace kovira
