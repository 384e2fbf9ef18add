#include "config/json_writer.h"

#include "core/utf8.h"

#include <nlohmann/json.hpp>

#include <charconv>
#include <cmath>

namespace kovira {

namespace {

constexpr int kIndent = 4;
constexpr int kFloatDigits = 15;
constexpr int kExactDigits = 17;

void writeString(std::string& out, const std::string& text) {
  static constexpr char kHex[] = "0123456789abcdef";
  // A JSON reader refuses text that is not UTF-8, so such bytes (typed into a
  // page, read from a device) are written as U+FFFD: the file must load again.
  const std::string repaired = validUtf8(text) ? std::string() : toValidUtf8(text);
  const std::string& s = repaired.empty() ? text : repaired;
  out += '"';
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\f': out += "\\f"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (u < 0x20) {
          out += "\\u00";
          out += kHex[u >> 4];
          out += kHex[u & 0xf];
        } else {
          out += c;
        }
    }
  }
  out += '"';
}

template <class Int>
void writeInteger(std::string& out, Int v) {
  char buf[24];
  const auto res = std::to_chars(buf, buf + sizeof buf, v);
  out.append(buf, res.ptr);
}

void write(std::string& out, const nlohmann::json& v, int level) {
  switch (v.type()) {
    case nlohmann::json::value_t::object: {
      if (v.empty()) {
        out += "{}";
        return;
      }
      out += "{\n";
      bool first = true;
      // The object model keeps members in a std::map<std::string, ...>: its
      // order is the byte order of the keys.
      for (auto it = v.begin(); it != v.end(); ++it) {
        if (!first) out += ",\n";
        first = false;
        out.append(static_cast<std::size_t>((level + 1) * kIndent), ' ');
        writeString(out, it.key());
        out += ": ";
        write(out, it.value(), level + 1);
      }
      out += '\n';
      out.append(static_cast<std::size_t>(level * kIndent), ' ');
      out += '}';
      return;
    }
    case nlohmann::json::value_t::array: {
      if (v.empty()) {
        out += "[]";
        return;
      }
      out += "[\n";
      bool first = true;
      for (const auto& e : v) {
        if (!first) out += ",\n";
        first = false;
        out.append(static_cast<std::size_t>((level + 1) * kIndent), ' ');
        write(out, e, level + 1);
      }
      out += '\n';
      out.append(static_cast<std::size_t>(level * kIndent), ' ');
      out += ']';
      return;
    }
    case nlohmann::json::value_t::string: writeString(out, v.get_ref<const std::string&>()); return;
    case nlohmann::json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; return;
    case nlohmann::json::value_t::number_integer: writeInteger(out, v.get<std::int64_t>()); return;
    case nlohmann::json::value_t::number_unsigned: writeInteger(out, v.get<std::uint64_t>()); return;
    case nlohmann::json::value_t::number_float: out += jsonNumber(v.get<double>()); return;
    case nlohmann::json::value_t::binary:  // never produced by the parser
    case nlohmann::json::value_t::discarded:
    case nlohmann::json::value_t::null: out += "null"; return;
  }
}

}  // namespace

std::string jsonString(const std::string& text) {
  std::string out;
  writeString(out, text);
  return out;
}

std::string jsonNumber(double value) {
  // JSON has no infinity or NaN; writing them would make the file unreadable.
  if (!std::isfinite(value)) return "null";
  char buf[64];
  // to_chars is locale-independent, unlike printf's "%.15g".
  auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, kFloatDigits);
  // Next to the largest double, 15 digits round up past it and would read
  // back as an overflow; 17 digits always read back as the value itself.
  double back = 0;
  if (std::from_chars(buf, res.ptr, back).ec == std::errc::result_out_of_range)
    res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::general, kExactDigits);
  std::string s(buf, res.ptr);
  if (s.find_first_of(".e") == std::string::npos) s += ".0";
  return s;
}

std::string jsonText(const nlohmann::json& value) {
  std::string out;
  write(out, value, 0);
  return out;
}

}  // namespace kovira
