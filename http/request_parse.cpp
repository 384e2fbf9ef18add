#include "http/request_parse.h"

#include "http/webutil.h"

#include <boost/regex.hpp>

#include <stdexcept>

namespace {

// Perl syntax on purpose: "$" also matches before the CR of a CR LF line
// end. The line is bounded by the header limit, and Boost's matcher does
// not recurse, so hostile lines cannot exhaust the stack.
const boost::regex& requestLinePattern() {
  static const boost::regex re("^(POST|GET|PUT) ([^?]+)(\\?(.*))? HTTP/(1.[01])$");
  return re;
}

// Next line of text at pos, without its LF; pos moves past the LF.
std::string_view nextLine(std::string_view text, std::size_t& pos) {
  const std::size_t end = text.find('\n', pos);
  std::string_view line;
  if (end == std::string_view::npos) {
    line = text.substr(pos);
    pos = text.size();
  } else {
    line = text.substr(pos, end - pos);
    pos = end + 1;
  }
  return line;
}

void parseHeaderFields(std::string_view text, std::size_t pos, StringMap& headers) {
  while (pos < text.size()) {
    const std::string_view line = nextLine(text, pos);
    const std::size_t colon = line.find(':');
    // The blank line that ends the header has no colon.
    if (colon == std::string_view::npos || colon == 0) return;
    std::size_t start = colon + 1;
    if (start < line.size() && line[start] == ' ') ++start;
    std::string_view value = line.substr(start);
    // Clients that end lines with a bare LF keep their last character.
    if (!value.empty() && value.back() == '\r') value.remove_suffix(1);
    headers.emplace(std::string(line.substr(0, colon)), std::string(value));
  }
}

bool isNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || c == '+' ||
         c == '%';
}

}  // namespace

bool parseRequestLine(const std::string& line, RequestLine& out) {
  boost::smatch m;
  try {
    if (!boost::regex_search(line, m, requestLinePattern())) return false;
  } catch (const std::runtime_error&) {
    // Boost gives up on pathological input instead of running away.
    return false;
  }
  out.method = m[1].str();
  out.path = m[2].str();
  out.query = m[4].matched ? m[4].str() : std::string();
  out.version = m[5].str();
  return true;
}

bool parseRequestHeader(std::string_view text, RequestLine& line, StringMap& headers) {
  if (text.empty()) return false;
  std::size_t pos = 0;
  const std::string first(nextLine(text, pos));
  if (!parseRequestLine(first, line)) return false;
  parseHeaderFields(text, pos, headers);
  return true;
}

void parseArguments(std::string_view text, StringMap& args) {
  // Hand scanner for "([\w+%]+)=?([^&]*)": form values reach 800 KB, where
  // a backtracking regex library would exhaust the thread's stack.
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (!isNameChar(text[i])) {
      ++i;
      continue;
    }
    const std::size_t nameStart = i;
    while (i < n && isNameChar(text[i])) ++i;
    const std::string_view name = text.substr(nameStart, i - nameStart);
    if (i < n && text[i] == '=') ++i;
    const std::size_t valueStart = i;
    while (i < n && text[i] != '&') ++i;
    args[std::string(name)] = urldecode(std::string(text.substr(valueStart, i - valueStart)));
  }
}

void parseMultipart(std::string_view body, std::string_view contentType, StringMap& args) {
  static constexpr std::string_view kBoundary = "boundary";
  static constexpr std::string_view kCrLf2 = "\r\n\r\n";
  static constexpr std::size_t kMinDelimiter = 6;
  if (body.empty()) return;
  const std::size_t b = contentType.find(kBoundary);
  if (b == std::string_view::npos) return;
  // The character after the word (normally "=") is skipped unchecked.
  const std::size_t tokenStart = b + kBoundary.size() + 1;
  const std::string delimiter =
      "--" + std::string(tokenStart < contentType.size() ? contentType.substr(tokenStart) : std::string_view());
  if (delimiter.size() < kMinDelimiter) return;

  std::size_t p = 0;
  while (true) {
    const std::size_t start = body.find(delimiter, p);
    if (start == std::string_view::npos) return;
    const std::size_t next = body.find(delimiter, start + delimiter.size());
    if (next == std::string_view::npos) return;
    // Part: after the delimiter's CR LF, up to the CR LF before the next.
    const std::size_t partStart = start + delimiter.size() + 2;
    p = partStart + 1;
    if (next < 2 || partStart > next - 2) continue;  // too short to hold anything
    const std::string_view part = body.substr(partStart, next - 2 - partStart);

    std::string name;
    bool named = false;
    std::size_t pos = 0;
    while (pos < part.size()) {
      const std::string_view line = nextLine(part, pos);
      if (line.find("Content-Disposition") == std::string_view::npos) continue;
      const std::size_t q = line.find("name=\"");
      if (q == std::string_view::npos) continue;
      const std::size_t nameStart = q + 6;
      const std::size_t nameEnd = line.find('"', nameStart);
      name = std::string(line.substr(nameStart, nameEnd == std::string_view::npos ? std::string_view::npos
                                                                                    : nameEnd - nameStart));
      named = true;
    }
    if (!named) continue;
    const std::size_t valueStart = part.find(kCrLf2);
    if (valueStart == std::string_view::npos) continue;
    args[name] = std::string(part.substr(valueStart + kCrLf2.size()));
  }
}
