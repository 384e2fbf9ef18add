// Checking the values of a section an operator sends before any of them is
// applied. An edit from a page or the update endpoint is either taken whole
// or refused whole (400, with the first refused field and why), so what the
// unit answers is what it did. The same rules bound what a section reader
// takes from the file, where a refused value is kept at its old value with
// a warning instead (readRangedField), so that one typo never stops a start.
//
// Each section owner keeps one table of FieldRule rows beside its reader;
// keys the table does not name are left to the reader (ids, "type", status
// values of an exported section). Includes the JSON library: for .cpp files
// only. Pure; thread-safe.
#pragma once

#include "config/form_fields.h"
#include "config/json_fields.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <initializer_list>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <span>
#include <string>

namespace kovira {

struct FieldRule {
  enum class Kind {
    integer,  // a JSON integer, a whole float or a boolean, within [lo, hi]
    real,     // a finite number within [lo, hi] (a double field)
    single,   // the same for a float field: it must also fit 32 bits
    text,     // a string
    textOrNumber,  // a string or a number ("serial")
  };
  const char* key;
  Kind kind;
  double lo = 0;
  double hi = 0;
};

inline constexpr double kInt32Min = -2147483648.0;
inline constexpr double kInt32Max = 2147483647.0;
inline constexpr double kUint32Max = 4294967295.0;
inline constexpr double kFloatMax = 3.4028234663852886e38;

constexpr FieldRule integerRule(const char* key, double lo, double hi) {
  return {key, FieldRule::Kind::integer, lo, hi};
}
constexpr FieldRule realRule(const char* key, double lo, double hi) { return {key, FieldRule::Kind::real, lo, hi}; }
constexpr FieldRule singleRule(const char* key, double lo, double hi) {
  return {key, FieldRule::Kind::single, lo, hi};
}
constexpr FieldRule textRule(const char* key) { return {key, FieldRule::Kind::text}; }

// "out of range <lo>..<hi>".
std::string rangeText(const FieldRule& rule);

// "not a number", "not a text"... when v is of a JSON type the rule never
// takes, whatever its value; nothing otherwise.
std::optional<std::string> typeRefusal(const FieldRule& rule, const nlohmann::json& v);

// For a section read from the file: false, after one "[WARNING] <owner>:
// <key>=<value> is <reason>, kept <old>" line, when the rule refuses the type of
// section[rule.key]; true when the key is absent or of a type it takes.
bool typeTaken(const nlohmann::json& section, const FieldRule& rule, const nlohmann::json& old,
               const std::string& owner);

// Why v cannot be taken under rule ("not a number", "out of range 1..65535",
// ...), or nothing when it can.
std::optional<std::string> refusalOf(const FieldRule& rule, const nlohmann::json& v);

// "error: <key>: <reason>\n" for the first value of section that a rule
// refuses; "" when every value is acceptable (or section is no object: its
// reader decides).
std::string checkSection(const nlohmann::json& section, std::span<const FieldRule> rules);
inline std::string checkSection(const nlohmann::json& section, std::initializer_list<FieldRule> rules) {
  return checkSection(section, std::span<const FieldRule>(rules.begin(), rules.size()));
}

// A form field read under a number rule: an integer rule takes a whole
// base-10 number within [lo, hi], a single rule a finite float within it,
// so a page refuses what the section itself would. Nothing when the field
// is absent or refused (form.error() then names it). Throws
// std::logic_error for a text rule (no number to read). Inline: the
// section readers link without the form reader.
inline std::optional<double> formNumber(FormFields& form, const char* name, const FieldRule& rule) {
  if (rule.kind == FieldRule::Kind::integer) {
    const auto n = form.integer(name, static_cast<long long>(rule.lo), static_cast<long long>(rule.hi));
    return n ? std::optional<double>(static_cast<double>(*n)) : std::nullopt;
  }
  if (rule.kind == FieldRule::Kind::real || rule.kind == FieldRule::Kind::single) {
    const auto f = form.float32(name, static_cast<float>(rule.lo), static_cast<float>(rule.hi));
    return f ? std::optional<double>(static_cast<double>(*f)) : std::nullopt;
  }
  throw std::logic_error(std::string("no number rule for form field ") + name);
}

// The range part of a rule for a value the file gives: the number as its
// field reads it (readNumberField) and then lo <= value <= hi. A value out
// of range leaves the field as it was, prints "[WARNING] <owner>: <key>=<value>
// out of range lo..hi, kept <old>" and returns false.
template <class T>
bool readRangedField(const nlohmann::json& section, const FieldRule& rule, T& field, const std::string& owner) {
  const auto it = section.find(rule.key);
  if (it == section.end()) return true;
  T value = field;
  if (!readNumberField(section, rule.key, value, owner)) return false;
  if (!(static_cast<double>(value) >= rule.lo && static_cast<double>(value) <= rule.hi)) {
    std::cout << "[WARNING] " << owner << ": " << rule.key << "=" << it->dump() << " " << rangeText(rule)
              << ", kept " << nlohmann::json(field).dump() << std::endl;
    return false;
  }
  field = value;
  return true;
}

}  // namespace kovira
