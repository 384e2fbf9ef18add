#include "devices/multivalz.h"

#include <nlohmann/json.hpp>

#include <ostream>

bool MultiValZ::operator==(const MultiValZ& other) const {
  if (type != other.type) return false;
  switch (type) {
    case kInt: return i == other.i;
    case kDouble: return d == other.d;
    case kUnsigned: return u == other.u;
    case kString: return s == other.s;
    default: return false;
  }
}

std::ostream& operator<<(std::ostream& os, const MultiValZ& v) {
  switch (v.type) {
    case MultiValZ::kInt: return os << v.i;
    case MultiValZ::kDouble: return os << v.d;
    case MultiValZ::kUnsigned: return os << v.u;
    case MultiValZ::kString: return os << v.s;
    default: return os;
  }
}

void to_json(nlohmann::json& out, const MultiValZ& v) {
  switch (v.type) {
    case MultiValZ::kInt: out = v.i; break;
    case MultiValZ::kDouble: out = v.d; break;
    case MultiValZ::kUnsigned: out = v.u; break;
    case MultiValZ::kString: out = v.s; break;
    default: out = nullptr; break;
  }
}
