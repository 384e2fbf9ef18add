#include "core/utf8.h"

namespace {

// Length of the valid sequence starting at text[i], or 0 when the byte there
// does not start one. Ranges of the second byte follow the Unicode table of
// well-formed byte sequences.
std::size_t sequenceAt(std::string_view text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char b0 = byte(i);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;  // overlong below U+0800
    if (b0 == 0xED) hi = 0x9F;  // surrogates U+D800..U+DFFF
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;  // overlong below U+10000
    if (b0 == 0xF4) hi = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (text.size() - i < len) return 0;
  if (byte(i + 1) < lo || byte(i + 1) > hi) return 0;
  for (std::size_t k = 2; k < len; ++k)
    if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
  return len;
}

}  // namespace

bool validUtf8(std::string_view text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceAt(text, i);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string toValidUtf8(std::string_view text, std::size_t* replaced) {
  std::string out;
  out.reserve(text.size());
  std::size_t bad = 0;
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t n = sequenceAt(text, i);
    if (n == 0) {
      out += kUtf8Replacement;
      ++bad;
      ++i;
    } else {
      out.append(text.substr(i, n));
      i += n;
    }
  }
  if (replaced != nullptr) *replaced = bad;
  return out;
}
