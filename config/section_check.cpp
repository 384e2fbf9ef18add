#include "config/section_check.h"

#include "config/sketch.h"

#include <cmath>
#include <cstdio>

namespace kovira {

namespace {

// Integral bounds print without a fraction ("1..65535"), others as %g.
std::string boundText(double v) {
  char text[40];
  if (std::trunc(v) == v && std::fabs(v) < 1e16)
    std::snprintf(text, sizeof text, "%.0f", v);
  else
    std::snprintf(text, sizeof text, "%g", v);
  return text;
}

}  // namespace

std::string rangeText(const FieldRule& rule) { return "out of range " + boundText(rule.lo) + ".." + boundText(rule.hi); }

std::optional<std::string> typeRefusal(const FieldRule& rule, const nlohmann::json& v) {
  using Kind = FieldRule::Kind;
  switch (rule.kind) {
    case Kind::text:
      if (!v.is_string()) return "not a text";
      return std::nullopt;
    case Kind::textOrNumber:
      if (!v.is_string() && !v.is_number()) return "not a text or a number";
      return std::nullopt;
    case Kind::integer:
      if (!v.is_number() && !v.is_boolean()) return "not a number";
      return std::nullopt;
    case Kind::real:
    case Kind::single:
      if (!v.is_number()) return "not a number";
      return std::nullopt;
  }
  return std::nullopt;
}

bool typeTaken(const nlohmann::json& section, const FieldRule& rule, const nlohmann::json& old,
               const std::string& owner) {
  const auto it = section.find(rule.key);
  if (it == section.end()) return true;
  const std::optional<std::string> why = typeRefusal(rule, *it);
  if (!why) return true;
  std::cout << "[WARNING] " << owner << ": " << rule.key << "=" << it->dump() << " is " << *why << ", kept "
            << old.dump() << std::endl;
  return false;
}

std::optional<std::string> refusalOf(const FieldRule& rule, const nlohmann::json& v) {
  using Kind = FieldRule::Kind;
  if (std::optional<std::string> why = typeRefusal(rule, v)) return why;
  switch (rule.kind) {
    case Kind::text:
      return std::nullopt;  // the JSON reader took it: valid UTF-8
    case Kind::textOrNumber:
      return std::nullopt;
    case Kind::integer: {
      if (v.is_boolean()) {
        const double d = v.get<bool>() ? 1 : 0;
        if (d < rule.lo || d > rule.hi) return rangeText(rule);
        return std::nullopt;
      }
      if (v.is_number_unsigned()) {
        // Rounding a huge value to a double never brings it inside a bound
        // (every bound fits 53 bits).
        const auto u = static_cast<double>(v.get<std::uint64_t>());
        if (u < rule.lo || u > rule.hi) return rangeText(rule);
        return std::nullopt;
      }
      if (v.is_number_integer()) {
        const auto i = static_cast<double>(v.get<std::int64_t>());
        if (i < rule.lo || i > rule.hi) return rangeText(rule);
        return std::nullopt;
      }
      const double d = v.get<double>();
      if (!std::isfinite(d)) return "not finite";
      if (std::trunc(d) != d) return "not an integer";
      if (d < rule.lo || d > rule.hi) return rangeText(rule);
      return std::nullopt;
    }
    case Kind::real:
    case Kind::single: {
      const double d = v.get<double>();
      if (!std::isfinite(d)) return "not finite";
      if (d < rule.lo || d > rule.hi) return rangeText(rule);
      // What the float field's reader would refuse (a magnitude below the
      // smallest normal float).
      if (rule.kind == Kind::single && !fittingNumber<float>(v)) return "does not fit a 32-bit float";
      return std::nullopt;
    }
  }
  return std::nullopt;
}

std::string checkSection(const nlohmann::json& section, std::span<const FieldRule> rules) {
  if (!section.is_object()) return {};
  for (const FieldRule& rule : rules) {
    const auto it = section.find(rule.key);
    if (it == section.end()) continue;
    if (const std::optional<std::string> why = refusalOf(rule, *it))
      return std::string("error: ") + rule.key + ": " + *why + "\n";
  }
  return {};
}

}  // namespace kovira

std::string ConfigSketch::check(const nlohmann::json&) const { return {}; }
