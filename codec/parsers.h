// The registry of hardware parsers: one V4TVideoParser per picture size,
// built on first use and shared by the decode thread and the frame views.
//
// A working parser lives with its devices and capture thread until the
// process ends; a broken one (its capture thread failed, or a parse ran out
// of time) is dropped at the next lookup of its size and a new one is built
// in its place, so one transient failure does not end decoding of that size.
// A dropped parser is destroyed when its last user lets go of it. The
// registry holds at most 16 and refuses a 17th size (the first refusal is
// reported on standard output). Lookups and insertions are made under the
// registry's own mutex, from any thread.
#pragma once

#include <cstddef>
#include <memory>

class V4TVideoParser;

namespace kovira {

inline constexpr std::size_t kMaxParsers = 16;

// The parser of that picture size ("<width>x<height>x<variant>"), built
// when missing; null when the registry is full. Throws std::logic_error
// "Cannot allocate hardware resources (dec, conv)" when the devices cannot
// be opened.
std::shared_ptr<V4TVideoParser> hwVideoParser(int width, int height, int variant);
// Parsers built so far.
std::size_t hwVideoParserCount();

}  // namespace kovira
