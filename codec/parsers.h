// The registry of hardware parsers: one V4TVideoParser per picture size,
// built on first use and shared by the decode thread and the frame views.
//
// A parser, once built, lives with its devices and capture thread until the
// process ends; the registry holds at most 16 and refuses a 17th size (the
// first refusal is reported on standard output). Lookups and insertions are
// made under the registry's own mutex, from any thread.
#pragma once

#include <cstddef>

class V4TVideoParser;

namespace kovira {

inline constexpr std::size_t kMaxParsers = 16;

// The parser of that picture size ("<width>x<height>x<variant>"), built
// when missing; null when the registry is full. Throws std::logic_error
// "Cannot allocate hardware resources (dec, conv)" when the devices cannot
// be opened.
V4TVideoParser* hwVideoParser(int width, int height, int variant);
// Parsers built so far.
std::size_t hwVideoParserCount();

}  // namespace kovira
