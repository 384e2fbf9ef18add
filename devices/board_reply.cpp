#include "devices/board_reply.h"

#include "core/text.h"

#include <array>
#include <cctype>
#include <charconv>
#include <limits>

namespace board {

std::string lastLine(std::string_view reply) {
  std::string_view line = reply;
  if (reply.size() >= 2) {
    const auto at = reply.rfind('\n', reply.size() - 2);
    if (at != std::string_view::npos) line = reply.substr(at + 1);
  }
  std::string out(line);
  trim(out);
  return out;
}

bool answers(std::string_view line, std::string_view command) {
  return line.starts_with(command) || line.starts_with("OK");
}

bool complete(std::string_view reply, std::string_view command) {
  return !reply.empty() && reply.back() == '\n' && answers(lastLine(reply), command);
}

bool toInt(std::string_view text, int& value) {
  std::size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  long long magnitude = 0;
  std::size_t digits = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i, ++digits) {
    magnitude = magnitude * 10 + (text[i] - '0');
    if (magnitude > static_cast<long long>(std::numeric_limits<int>::max()) + 1) return false;
  }
  if (digits == 0) return false;
  const long long v = negative ? -magnitude : magnitude;
  if (v > std::numeric_limits<int>::max() || v < std::numeric_limits<int>::min()) return false;
  value = static_cast<int>(v);
  return true;
}

Status parseStatus(std::string_view line) {
  Status st;
  const auto blank = line.find(' ');
  if (blank == std::string_view::npos) return st;
  struct Key {
    std::string_view name;
    std::uint32_t Status::*field;
  };
  static constexpr std::array<Key, 15> kKeys{{{"V", &Status::V},   {"U", &Status::U},   {"V1", &Status::V1},
                                               {"V2", &Status::V2}, {"I", &Status::I},   {"S", &Status::S},
                                               {"O", &Status::O},   {"B", &Status::B},   {"P", &Status::P},
                                               {"F", &Status::F},   {"CF", &Status::CF}, {"CI", &Status::CI},
                                               {"G", &Status::G},   {"A", &Status::A},   {"T1", &Status::T1}}};
  std::string_view rest = line.substr(blank + 1);
  while (!rest.empty()) {
    const auto end = rest.find(' ');
    const std::string_view token = rest.substr(0, end);
    rest = end == std::string_view::npos ? std::string_view{} : rest.substr(end + 1);
    const auto eq = token.find('=');
    if (eq == std::string_view::npos || eq + 1 == token.size()) continue;
    const std::string_view key = token.substr(0, eq);
    for (const auto& k : kKeys) {
      int v = 0;
      if (k.name == key && toInt(token.substr(eq + 1), v)) st.*k.field = static_cast<std::uint32_t>(v);
    }
  }
  return st;
}

bool getValueStr(const std::string& reply, std::string& value) {
  const auto blank = reply.find(' ');
  if (blank == std::string::npos) return false;
  value = reply.substr(blank + 1);
  return true;
}

}  // namespace board
