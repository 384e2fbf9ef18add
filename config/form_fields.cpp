#include "config/form_fields.h"

#include "core/number_text.h"
#include "core/text.h"
#include "core/utf8.h"
#include "config/xml_text.h"
#include "http/request.h"

#include <cmath>
#include <cstdio>
#include <limits>

namespace kovira {

void FormFields::refuse(const char* name, const std::string& reason) {
  if (error_.empty()) error_ = std::string("error: ") + name + ": " + reason + "\n";
}

std::optional<std::string> FormFields::given(const char* name) const {
  std::string value;
  if (!request_.has(name, value)) return std::nullopt;
  return value;
}

std::optional<std::string> FormFields::raw(const char* name) {
  std::optional<std::string> value = given(name);
  if (value) trim(*value);
  return value;
}

std::optional<std::string> FormFields::text(const char* name) {
  std::optional<std::string> value = raw(name);
  if (value && !validUtf8(*value)) {
    refuse(name, "not valid UTF-8");
    return std::nullopt;
  }
  if (value) takeXmlSafe(*value, "form", name);
  return value;
}

std::optional<long long> FormFields::integer(const char* name) {
  const std::optional<std::string> value = given(name);
  if (!value) return std::nullopt;
  const IntegerText n = integerText(*value, std::numeric_limits<std::int64_t>::min(),
                                    std::numeric_limits<std::int64_t>::max());
  if (!n.value) {
    refuse(name, n.why == NumberRefusal::notNumber    ? "not a number"
                 : n.why == NumberRefusal::notInteger ? "not an integer"
                                                      : "out of range");
    return std::nullopt;
  }
  return *n.value;
}

std::optional<long long> FormFields::integer(const char* name, long long lo, long long hi) {
  const std::optional<long long> n = integer(name);
  if (!n) return std::nullopt;
  if (*n < lo || *n > hi) {
    refuse(name, "out of range " + std::to_string(lo) + ".." + std::to_string(hi));
    return std::nullopt;
  }
  return n;
}

std::optional<std::int32_t> FormFields::int32(const char* name) {
  const std::optional<long long> n = integer(name);
  if (!n) return std::nullopt;
  if (*n < std::numeric_limits<std::int32_t>::min() || *n > std::numeric_limits<std::int32_t>::max()) {
    refuse(name, "out of range");
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*n);
}

std::optional<std::uint32_t> FormFields::uint32(const char* name) {
  const std::optional<long long> n = integer(name);
  if (!n) return std::nullopt;
  if (*n < 0) {
    refuse(name, "negative");
    return std::nullopt;
  }
  if (*n > std::numeric_limits<std::uint32_t>::max()) {
    refuse(name, "out of range");
    return std::nullopt;
  }
  return static_cast<std::uint32_t>(*n);
}

std::optional<float> FormFields::float32(const char* name) {
  const std::optional<std::string> value = given(name);
  if (!value) return std::nullopt;
  if (!isNumberText(*value)) {
    refuse(name, "not a number");
    return std::nullopt;
  }
  const std::optional<double> d = realText(*value);
  const auto f = static_cast<float>(d.value_or(HUGE_VAL));
  if (!std::isfinite(f)) {
    refuse(name, "out of range");
    return std::nullopt;
  }
  return f;
}

std::optional<float> FormFields::float32(const char* name, float lo, float hi) {
  const std::optional<float> f = float32(name);
  if (!f) return std::nullopt;
  if (*f < lo || *f > hi) {
    char why[80];
    std::snprintf(why, sizeof why, "out of range %g..%g", static_cast<double>(lo), static_cast<double>(hi));
    refuse(name, why);
    return std::nullopt;
  }
  return f;
}

}  // namespace kovira
