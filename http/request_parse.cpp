#include "http/request_parse.h"

#include "http/webutil.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace {

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

// The request line is recognised as Boost.Regex (Perl syntax, default
// flags) would search it with
//
//   ^(POST|GET|PUT) ([^?]+)(\?(.*))? HTTP/(1.[01])$
//
// where "^" and "$" also match next to the line separators CR and FF, so a
// line ending in CR matches. A backtracking search costs quadratic time on
// hostile lines (80 ms for one 8 KB header); this scanner gives the same
// groups in linear time. The fuzz target checks it against Boost.Regex.
bool parseRequestLine(const std::string& line, RequestLine& out) {
  static constexpr std::string_view kTail = " HTTP/1";  // then any byte, then 0 or 1
  static constexpr std::size_t kTailSize = kTail.size() + 2;
  static constexpr std::array<std::string_view, 3> kMethods = {"POST", "GET", "PUT"};
  const auto separator = [](char c) { return c == '\n' || c == '\r' || c == '\f'; };
  const std::size_t n = line.size();
  const std::string_view text(line);

  // " HTTP/1.x" that "$" may follow, starting at t.
  const auto tailAt = [&](std::size_t t) {
    if (t + kTailSize > n || text.compare(t, kTail.size(), kTail) != 0) return false;
    const char minor = text[t + kTailSize - 1];
    if (minor != '0' && minor != '1') return false;
    return t + kTailSize == n || separator(text[t + kTailSize]);
  };
  // lastTailBefore[x]: the largest tail start below x, or npos.
  constexpr std::size_t npos = std::string_view::npos;
  std::vector<std::size_t> lastTailBefore(n + 1, npos);
  for (std::size_t x = 1; x <= n; ++x) lastTailBefore[x] = tailAt(x - 1) ? x - 1 : lastTailBefore[x - 1];
  if (lastTailBefore[n] == npos) return false;

  for (std::size_t s = 0; s < n; ++s) {
    if (s > 0 && !separator(text[s - 1])) continue;  // "^"
    std::size_t p0 = npos;
    for (const std::string_view m : kMethods) {
      if (text.compare(s, m.size(), m) == 0 && s + m.size() < n && text[s + m.size()] == ' ') {
        out.method = std::string(m);
        p0 = s + m.size() + 1;
        break;
      }
    }
    if (p0 == npos || p0 >= n) continue;
    const std::size_t found = text.find('?', p0);
    const std::size_t q = found == npos ? n : found;
    if (q == p0) continue;  // "[^?]+" needs one byte
    // Greedy "[^?]+" stops at the first "?"; the query then runs to the
    // last tail of the line.
    if (q < n && lastTailBefore[n] != npos && lastTailBefore[n] >= q + 1) {
      const std::size_t t = lastTailBefore[n];
      out.path = std::string(text.substr(p0, q - p0));
      out.query = std::string(text.substr(q + 1, t - q - 1));
      out.version = std::string(text.substr(t + kTail.size() - 1, 3));
      return true;
    }
    // Without a query the path ends at the last tail before the "?".
    const std::size_t e = lastTailBefore[q];
    if (e != npos && e >= p0 + 1) {
      out.path = std::string(text.substr(p0, e - p0));
      out.query.clear();
      out.version = std::string(text.substr(e + kTail.size() - 1, 3));
      return true;
    }
  }
  return false;
}

bool parseRequestHeader(std::string_view text, RequestLine& line, StringMap& headers) {
  if (text.empty()) return false;
  std::size_t pos = 0;
  const std::string first(nextLine(text, pos));
  if (!parseRequestLine(first, line)) return false;
  parseHeaderFields(text, pos, headers);
  return true;
}

bool parseArguments(std::string_view text, StringMap& args, std::size_t maxPairs) {
  // Hand scanner for "([\w+%]+)=?([^&]*)": form values reach 800 KB, where
  // a backtracking regex library would exhaust the thread's stack.
  std::size_t i = 0;
  std::size_t pairs = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (!isNameChar(text[i])) {
      ++i;
      continue;
    }
    if (pairs++ == maxPairs) return false;
    const std::size_t nameStart = i;
    while (i < n && isNameChar(text[i])) ++i;
    const std::string_view name = text.substr(nameStart, i - nameStart);
    if (i < n && text[i] == '=') ++i;
    const std::size_t valueStart = i;
    while (i < n && text[i] != '&') ++i;
    args[std::string(name)] = urldecode(std::string(text.substr(valueStart, i - valueStart)));
  }
  return true;
}

bool parseMultipart(std::string_view body, std::string_view contentType, StringMap& args, std::size_t maxParts) {
  static constexpr std::string_view kBoundary = "boundary";
  static constexpr std::string_view kCrLf2 = "\r\n\r\n";
  static constexpr std::size_t kMinDelimiter = 6;
  if (body.empty()) return true;
  const std::size_t b = contentType.find(kBoundary);
  if (b == std::string_view::npos) return true;
  // The character after the word (normally "=") is skipped unchecked.
  const std::size_t tokenStart = b + kBoundary.size() + 1;
  const std::string delimiter =
      "--" + std::string(tokenStart < contentType.size() ? contentType.substr(tokenStart) : std::string_view());
  if (delimiter.size() < kMinDelimiter) return true;

  std::size_t p = 0;
  std::size_t parts = 0;
  while (true) {
    const std::size_t start = body.find(delimiter, p);
    if (start == std::string_view::npos) return true;
    const std::size_t next = body.find(delimiter, start + delimiter.size());
    if (next == std::string_view::npos) return true;
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
    if (parts++ == maxParts) return false;
    args[name] = std::string(part.substr(valueStart + kCrLf2.size()));
  }
}

BodyFraming bodyFraming(const StringMap& headers, std::size_t max) {
  BodyFraming framing;
  for (const auto& [name, value] : headers) {
    if (name.size() == 17 && std::equal(name.begin(), name.end(), "transfer-encoding", [](char a, char b) {
          return std::tolower(static_cast<unsigned char>(a)) == b;
        })) {
      framing.kind = BodyFraming::kChunked;
      return framing;
    }
  }
  const auto it = headers.find("Content-Length");
  if (it == headers.end()) return framing;
  int value = 0;
  try {
    value = std::stoi(it->second);
  } catch (const std::out_of_range&) {
    framing.kind = BodyFraming::kTooLarge;
    return framing;
  } catch (const std::logic_error&) {
    return framing;
  }
  // Compared unsigned: every negative length is far above the limit.
  if (static_cast<std::uint32_t>(value) > max) {
    framing.kind = BodyFraming::kTooLarge;
    return framing;
  }
  framing.kind = BodyFraming::kLength;
  framing.length = static_cast<std::size_t>(value);
  return framing;
}
