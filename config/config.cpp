#include "config/config.h"

#include <nlohmann/json.hpp>

#include <fstream>
#include <iostream>

namespace kovira {

namespace {
constexpr int kMaxPort = 65535;
}

GlobalConfig& config() {
  static GlobalConfig instance;
  return instance;
}

bool GlobalConfig::read(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::cout << "[FAILURE] cannot open configuration file (" << path << ")" << std::endl;
    return false;
  }
  cfgpath = path;
  try {
    const nlohmann::json doc = nlohmann::json::parse(in);
    if (!doc.is_array()) throw std::runtime_error("configuration is not a JSON array");
    for (const auto& section : doc) {
      if (!section.is_object()) throw std::runtime_error("section is not an object");
      if (section.value("type", "") != "global") continue;
      const auto it = section.find("webserver");
      if (it != section.end() && it->is_number_integer()) {
        const auto port = it->get<long long>();
        if (port > 0 && port <= kMaxPort) webserver = static_cast<int>(port);
      }
    }
  } catch (const std::exception& e) {
    std::cout << "[FAILURE] " << path << ": " << e.what() << std::endl;
    return false;
  }
  return true;
}

void GlobalConfig::work() {
  if (reloadcnt.load(std::memory_order_relaxed) == 0) return;
  std::cout << "[CFG] reload config" << std::endl;
  reloadcnt = 0;
  read(cfgpath);
}

void GlobalConfig::sortActions() {}

}  // namespace kovira
