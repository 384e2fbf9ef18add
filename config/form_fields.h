// Reading the fields of an operator's form post: every value is trimmed
// (numbers of blanks only, by the number-text rule of core/number_text.h),
// texts must be valid UTF-8 (the configuration file is read back by a JSON
// reader that refuses anything else, so one stray byte would stop the next
// start) and lose the control characters XML cannot carry (with a warning),
// numbers must convert whole ("12x" is refused, not read as 12) into their
// member's range. The first
// failure is kept as the answer's text, so a page checks every field before
// it stores any and a refused post changes nothing.
// One reader per request, on the request's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

class HttpRequest;

namespace kovira {

class FormFields {
 public:
  explicit FormFields(const HttpRequest& request) : request_(request) {}

  // Each returns the field's value when the request carries it and it is
  // acceptable; nothing when it is absent or refused (see ok()).
  std::optional<std::string> text(const char* name);
  // An integer in number text (core/number_text.h): "", "12x", "012",
  // "0x10", "1.5" are refused.
  std::optional<std::int32_t> int32(const char* name);
  // The same, refusing negative numbers and numbers beyond 32 bits.
  std::optional<std::uint32_t> uint32(const char* name);
  // The same within [lo, hi] ("out of range lo..hi").
  std::optional<long long> integer(const char* name, long long lo, long long hi);
  // A float in number text; infinities, NaN and hex are refused.
  std::optional<float> float32(const char* name);
  // The same within [lo, hi].
  std::optional<float> float32(const char* name, float lo, float hi);

  bool ok() const { return error_.empty(); }
  // "error: <field>: <reason>\n" of the first refused field.
  const std::string& error() const { return error_; }

 private:
  // The value as sent; raw() trims it like every form text.
  std::optional<std::string> given(const char* name) const;
  std::optional<std::string> raw(const char* name);
  // The field as a whole number, or nothing (error set).
  std::optional<long long> integer(const char* name);
  void refuse(const char* name, const std::string& reason);

  const HttpRequest& request_;
  std::string error_;
};

}  // namespace kovira
