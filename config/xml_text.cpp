#include "config/xml_text.h"

#include "config/json_fields.h"
#include "core/utf8.h"

#include <iostream>

namespace kovira {

namespace {

bool forbiddenControl(unsigned char c) { return c < 0x20 && c != '\t' && c != '\n' && c != '\r'; }

// U+FFFE and U+FFFF are EF BF BE and EF BF BF.
bool nonCharacterAt(const std::string& text, std::size_t i) {
  return i + 2 < text.size() && static_cast<unsigned char>(text[i]) == 0xEF &&
         static_cast<unsigned char>(text[i + 1]) == 0xBF &&
         (static_cast<unsigned char>(text[i + 2]) == 0xBE || static_cast<unsigned char>(text[i + 2]) == 0xBF);
}

}  // namespace

std::size_t dropXmlForbidden(std::string& text) {
  std::size_t dropped = 0;
  if (!validUtf8(text)) text = toValidUtf8(text, &dropped);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (forbiddenControl(c)) {
      ++dropped;
    } else if (nonCharacterAt(text, i)) {
      ++dropped;
      i += 2;
    } else {
      out.push_back(text[i]);
    }
  }
  if (out.size() != text.size()) text = std::move(out);
  return dropped;
}

void takeXmlSafe(std::string& text, const std::string& owner, const std::string& key) {
  const std::size_t dropped = dropXmlForbidden(text);
  if (dropped != 0)
    std::cout << "[WARNING] " << owner << ": " << key << ": " << dropped
              << " characters XML cannot carry were dropped" << std::endl;
}

bool readTextField(const nlohmann::json& section, const char* key, std::string& field, const std::string& owner) {
  const auto it = section.find(key);
  if (it == section.end()) return true;
  if (!it->is_string()) {
    std::cout << "[WARNING] " << owner << ": " << key << "=" << it->dump() << " is not a text, kept "
              << nlohmann::json(field).dump() << std::endl;
    return false;
  }
  std::string text = it->get<std::string>();
  takeXmlSafe(text, owner, key);
  field = std::move(text);
  return true;
}

}  // namespace kovira
