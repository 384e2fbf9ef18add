// One-shot gzip (RFC 1952) of a whole stream with zlib; zlib stays in the
// .cpp. Thread-safe (no shared state).
#pragma once

#include <iosfwd>

// Writes one complete gzip member of everything readable from in to out.
// False when zlib cannot be initialised or fails ("error: deflate init
// failed" is logged for the former); out must then be discarded.
bool gzipStream(std::istream& in, std::ostream& out);
