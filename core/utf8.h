// UTF-8 validity: what a JSON reader accepts as text (RFC 3629: no overlong
// forms, no surrogates, nothing above U+10FFFF). The configuration file and
// the pages are UTF-8; bytes that are not are replaced or refused at the
// edges so that every text the unit writes can be read back.
// Pure functions; thread-safe.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

// U+FFFD REPLACEMENT CHARACTER in UTF-8.
inline constexpr std::string_view kUtf8Replacement = "\xEF\xBF\xBD";

bool validUtf8(std::string_view text);

// text with every byte that does not belong to a valid sequence replaced by
// U+FFFD; `replaced` (when given) receives how many bytes were replaced.
std::string toValidUtf8(std::string_view text, std::size_t* replaced = nullptr);
