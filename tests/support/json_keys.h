// The keys of a JSON object text, in the order the text gives them: tests of
// the configuration sections compare key sets and their order.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace testsupport {

inline std::vector<std::string> keysOf(const std::string& text) {
  std::vector<std::string> keys;
  const nlohmann::json parsed = nlohmann::json::parse(text);
  for (auto it = parsed.begin(); it != parsed.end(); ++it) keys.push_back(it.key());
  return keys;
}

}  // namespace testsupport
