#include "config/camera_sections.h"

#include <nlohmann/json.hpp>

#include <algorithm>

namespace kovira::camera_sections {

namespace {

struct Kept {
  int camid;
  nlohmann::json section;
};

// guarded by configMutex()
std::vector<Kept>& kept() {
  static std::vector<Kept> list;
  return list;
}

Kept* find(int camid) {
  auto& list = kept();
  const auto it = std::find_if(list.begin(), list.end(), [camid](const Kept& k) { return k.camid == camid; });
  return it == list.end() ? nullptr : &*it;
}

}  // namespace

bool exists(int camid) { return find(camid) != nullptr; }

std::size_t count() { return kept().size(); }

std::vector<int> ids() {
  std::vector<int> out;
  for (const Kept& k : kept()) out.push_back(k.camid);
  return out;
}

void add(int camid, std::uint64_t /*storeBytes*/) { kept().push_back({camid, nlohmann::json::object()}); }

void update(int camid, const nlohmann::json& section) {
  Kept* k = find(camid);
  if (k == nullptr || !section.is_object()) return;
  for (auto it = section.begin(); it != section.end(); ++it) k->section[it.key()] = it.value();
}

void tojson(int camid, nlohmann::json& out, int /*mode*/) {
  const Kept* k = find(camid);
  if (k == nullptr) return;
  out = k->section;
  out["type"] = "camera";
  out["camid"] = camid;
}

bool framesAllocated() { return false; }

void clearForTests() { kept().clear(); }

}  // namespace kovira::camera_sections
