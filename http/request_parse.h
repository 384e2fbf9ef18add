// Pure parsers of the HTTP server: bytes in, fields out. No sockets, no
// state, thread-safe; all are fuzzed (tests/http/fuzz).
//
// Request header (RFC 7230 framing, read by sock_readheader):
//
//   GET /path?query HTTP/1.1 CR LF        request line
//   Name: value CR LF                     header fields, first of a name wins
//   ...
//   CR LF                                 blank line
//
// Only GET, POST and PUT with HTTP/1.0 or 1.1 are understood.
#pragma once

#include <cstddef>
#include <limits>
#include <map>
#include <string>
#include <string_view>

using StringMap = std::map<std::string, std::string>;

struct RequestLine {
  std::string method;
  std::string path;   // before "?", not decoded
  std::string query;  // after "?", not decoded
  std::string version;
};

// The request line without its LF (a trailing CR is allowed). False when it
// is not "(POST|GET|PUT) <target> HTTP/1.[01]".
bool parseRequestLine(const std::string& line, RequestLine& out);

// Header text (request line first); false when there is no line or the
// request line does not parse. Header fields go into headers.
bool parseRequestHeader(std::string_view text, RequestLine& line, StringMap& headers);

// How the body of a request is framed. "Content-Length" (exact name, the
// first one wins) reads like std::stoi: leading blanks and sign, trailing
// text ignored; text without digits is no length (the request has no
// body); a number beyond the int range, negative or above max is too large
// (ignoring it would run the page without the body the client is sending).
// Any "Transfer-Encoding" field (name in any case) is a chunked body, which
// this server does not read.
struct BodyFraming {
  enum Kind { kNone, kLength, kTooLarge, kChunked };
  Kind kind = kNone;
  std::size_t length = 0;  // kLength only
};
BodyFraming bodyFraming(const StringMap& headers, std::size_t max);

// The argument rule of queries and urlencoded bodies: every run of name
// characters (letters, digits, "_", "+", "%") followed by an optional "="
// and a value up to the next "&". Names are taken as they are, values are
// URL-decoded; a later pair replaces an earlier one of the same name.
// False when the text holds more than maxPairs pairs (the first maxPairs
// are taken).
bool parseArguments(std::string_view text, StringMap& args,
                    std::size_t maxPairs = std::numeric_limits<std::size_t>::max());

// multipart/form-data fields (RFC 7578) with a name; file contents are
// taken raw. Malformed parts are skipped. False when more than maxParts
// named parts are found (the first maxParts are taken).
bool parseMultipart(std::string_view body, std::string_view contentType, StringMap& args,
                    std::size_t maxParts = std::numeric_limits<std::size_t>::max());
