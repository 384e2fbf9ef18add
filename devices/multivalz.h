// MultiValZ: one telemetry value tagged with its kind (signed integer,
// double, unsigned 64-bit or text). Only the slot named by `type` means
// anything. A plain value type: no sharing, no locking.
#pragma once

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <iosfwd>
#include <string>
#include <utility>

struct MultiValZ {
  enum Type : std::uint32_t { kNone = 0, kInt = 1, kDouble = 2, kUnsigned = 3, kString = 4 };

  MultiValZ() = default;
  MultiValZ(int v) : type(kInt), i(v) {}                           // NOLINT: implicit by design
  MultiValZ(double v) : type(kDouble), d(v) {}                     // NOLINT
  MultiValZ(unsigned v) : type(kUnsigned), u(v) {}                 // NOLINT
  MultiValZ(std::uint64_t v) : type(kUnsigned), u(v) {}            // NOLINT
  MultiValZ(std::string v) : type(kString), s(std::move(v)) {}     // NOLINT
  MultiValZ(const char* v) : type(kString), s(v ? v : "") {}       // NOLINT

  // Same type (1..4) and equal value in that slot; two empty values are
  // never equal, so an empty value always counts as a change.
  bool operator==(const MultiValZ& other) const;
  bool operator!=(const MultiValZ& other) const { return !(*this == other); }
  explicit operator bool() const { return type > kNone; }

  std::uint32_t type = kNone;
  std::int32_t i = 0;
  double d = 0.0;
  std::uint64_t u = 0;
  std::string s;
};

// The held value in the stream's usual format; nothing for an empty value.
std::ostream& operator<<(std::ostream& os, const MultiValZ& v);
// JSON integer, floating-point number, unsigned integer, string, or null.
void to_json(nlohmann::json& out, const MultiValZ& v);
