// Reading one number of a configuration section into a typed field without
// garbage: a value that the field cannot hold (an integer outside its range,
// a float beyond 32 bits or below its smallest normal magnitude) is not
// applied. The field keeps what it held and the caller says so, because the
// store must never write back a value it cannot read again (an infinite
// float becomes null in JSON and the next start fails).
//
// Includes the JSON library: for .cpp files only. Thread-safe.
#pragma once

#include <nlohmann/json.hpp>

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <iostream>
#include <limits>
#include <optional>
#include <string>
#include <type_traits>

namespace kovira {

// v as a value of T when T can hold it. Booleans count as 0 and 1; integral
// fields take a float's whole part. Non-numbers give nothing.
template <class T>
std::optional<T> fittingNumber(const nlohmann::json& v) {
  if constexpr (std::is_floating_point_v<T>) {
    if (!v.is_number()) return std::nullopt;
    const double d = v.get<double>();
    if (!std::isfinite(d)) return std::nullopt;
    if constexpr (std::is_same_v<T, float>) {
      // Magnitudes from here on round to infinity; those between FLT_MAX and
      // here round down to FLT_MAX.
      constexpr double kFloatOverflow = 0x1.ffffffp127;
      const double a = std::fabs(d);
      if (a == 0) return static_cast<float>(d);
      if (a < FLT_MIN || a >= kFloatOverflow) return std::nullopt;
      if (a > FLT_MAX) return std::copysign(FLT_MAX, static_cast<float>(d > 0 ? 1 : -1));
      return static_cast<float>(d);
    } else {
      return static_cast<T>(d);
    }
  } else {
    using Limits = std::numeric_limits<T>;
    if (v.is_boolean()) return static_cast<T>(v.get<bool>() ? 1 : 0);
    if (v.is_number_unsigned()) {
      const std::uint64_t u = v.get<std::uint64_t>();
      if (u > static_cast<std::uint64_t>(Limits::max())) return std::nullopt;
      return static_cast<T>(u);
    }
    if (v.is_number_integer()) {
      const std::int64_t i = v.get<std::int64_t>();
      if constexpr (Limits::is_signed) {
        if (i < static_cast<std::int64_t>(Limits::min()) || i > static_cast<std::int64_t>(Limits::max()))
          return std::nullopt;
      } else {
        if (i < 0 || static_cast<std::uint64_t>(i) > static_cast<std::uint64_t>(Limits::max())) return std::nullopt;
      }
      return static_cast<T>(i);
    }
    if (v.is_number_float()) {
      const double d = std::trunc(v.get<double>());
      // 2^digits is exact in a double; the range is [-2^digits, 2^digits)
      // for signed fields and [0, 2^digits) for unsigned ones.
      const double bound = std::ldexp(1.0, Limits::digits);
      if (!(d < bound) || !(d >= (Limits::is_signed ? -bound : 0.0))) return std::nullopt;
      return static_cast<T>(d);
    }
    return std::nullopt;
  }
}

// Reads section[key] into field when present. A value that is no number
// (a text, null, an array...) or a number that does not fit leaves the field
// as it was, prints one "[WARNING] <owner>: <key>=<value> is not a number"
// (or "does not fit its field") ", kept <old>" line and returns false: one
// typo in the file never stops a start, and the value in memory stays one
// the file can hold.
template <class T>
bool readNumberField(const nlohmann::json& section, const char* key, T& field, const std::string& owner) {
  const auto it = section.find(key);
  if (it == section.end()) return true;
  const bool number = it->is_number() || it->is_boolean();
  if (const std::optional<T> value = number ? fittingNumber<T>(*it) : std::nullopt) {
    field = *value;
    return true;
  }
  std::cout << "[WARNING] " << owner << ": " << key << "=" << it->dump()
            << (number ? " does not fit its field" : " is not a number") << ", kept " << nlohmann::json(field).dump()
            << std::endl;
  return false;
}

// Reads the text section[key] into field when present, without the
// characters XML cannot carry (config/xml_text.h: the texts reach reports
// and captions). A value that is no text keeps the old one with a warning
// and returns false.
bool readTextField(const nlohmann::json& section, const char* key, std::string& field, const std::string& owner);

}  // namespace kovira
