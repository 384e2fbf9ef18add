// libFuzzer entry for every parser of the HTTP server: one input is read as
// a request header (and its body framing), as query/urlencoded text, and (first line = content
// type, rest = body) as a multipart body; URL coding and the number-text
// reader run on it too. The
// request-line scanner is checked against the regular expression it
// replaces.
#include "core/number_text.h"
#include "http/request.h"
#include "http/webutil.h"
#include "tests/http/request_line_reference.h"

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);

  HttpRequest request(-1, "127.0.0.1", 1);
  const std::size_t header = std::min<std::size_t>(size, http_limits::kHeaderMax);
  std::memcpy(request.headerBuffer(), data, header);
  if (request.ParseHeader(static_cast<int>(header))) {
    request.method = "POST";
    request.body = std::string(text);
    request.readPOSTargs();
    int i;
    float f;
    std::string s;
    for (const auto& [name, value] : request.args) {
      request.has(name, i);
      request.has(name, f);
      request.has(name, s);
    }
    request.supportcompress();
    const BodyFraming framing = bodyFraming(request.headers, http_limits::kBodyMax);
    if (framing.kind == BodyFraming::kLength && framing.length > http_limits::kBodyMax) __builtin_trap();
  }

  const std::string firstLine(text.substr(0, std::min(text.find('\n'), header)));
  RequestLine fast;
  RequestLine reference;
  const bool fastOk = parseRequestLine(firstLine, fast);
  const bool referenceOk = referenceRequestLine(firstLine, reference);
  if (fastOk != referenceOk) __builtin_trap();
  if (fastOk && (fast.method != reference.method || fast.path != reference.path || fast.query != reference.query ||
                 fast.version != reference.version))
    __builtin_trap();

  StringMap args;
  parseArguments(text, args);

  // Number text: whatever it takes is a whole number of its grammar.
  if (const kovira::IntegerText n = kovira::integerText(text, INT64_MIN, INT64_MAX); n.value && !kovira::isNumberText(text))
    __builtin_trap();
  (void)kovira::realText(text);

  const std::size_t eol = text.find('\n');
  if (eol != std::string_view::npos) parseMultipart(text.substr(eol + 1), text.substr(0, eol), args);

  const std::string decoded = urldecode(std::string(text));
  if (urldecode(urlencode(decoded)) != decoded.substr(0, decoded.find('\0'))) __builtin_trap();
  return 0;
}
