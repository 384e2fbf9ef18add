#include "evidence/platetext.h"

const std::map<char, std::string> substnum = {
    {'A', "А"}, {'B', "В"}, {'E', "Е"}, {'K', "К"}, {'M', "М"}, {'H', "Н"},
    {'O', "О"}, {'P', "Р"}, {'C', "С"}, {'T', "Т"}, {'Y', "У"}, {'X', "Х"},
};

void convertLicenseNumberRUS(std::string& plate) {
  std::string out;
  out.reserve(plate.size() * 2);
  for (const char c : plate) {
    const auto it = substnum.find(c);
    if (it != substnum.end()) {
      out += it->second;
    } else {
      out += c;
    }
  }
  plate = std::move(out);
}
