#include "codec/parsers.h"

#include "codec/v4tvideoparser.h"

#include <iostream>
#include <map>
#include <mutex>
#include <string>

namespace kovira {

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, std::shared_ptr<V4TVideoParser>> parsers;  // guarded by mutex
  bool fullReported = false;                                       // guarded by mutex
};

// Built once and never destroyed: parsers keep capture threads that must
// not be joined from static destruction, and pages may still ask for a
// picture while the process exits.
Registry& registry() {
  static Registry* r = new Registry;
  return *r;
}

}  // namespace

std::shared_ptr<V4TVideoParser> hwVideoParser(int width, int height, int variant) {
  const std::string key = std::to_string(width) + "x" + std::to_string(height) + "x" + std::to_string(variant);
  Registry& r = registry();
  std::shared_ptr<V4TVideoParser> dropped;  // destroyed after the lock is released
  std::lock_guard lock(r.mutex);
  if (auto it = r.parsers.find(key); it != r.parsers.end()) {
    if (!it->second->broken()) return it->second;
    dropped = std::move(it->second);
    r.parsers.erase(it);
  }
  if (r.parsers.size() >= kMaxParsers) {
    if (!r.fullReported) std::cout << "[ERROR] hardware video parsers limit reached" << std::endl;
    r.fullReported = true;
    return nullptr;
  }
  auto parser = std::make_shared<V4TVideoParser>();  // throws when the devices cannot be had
  r.parsers.emplace(key, parser);
  return parser;
}

std::size_t hwVideoParserCount() {
  Registry& r = registry();
  std::lock_guard lock(r.mutex);
  return r.parsers.size();
}

}  // namespace kovira
