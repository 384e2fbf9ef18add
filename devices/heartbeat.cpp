#include "devices/heartbeat.h"

#include <utility>

Heartbeat::ExtraS* Heartbeat::find(const std::string& key) {
  for (auto& e : extras_)
    if (e.key == key) return &e;
  return nullptr;
}

void Heartbeat::emplace(std::string key, MultiValZ value) {
  std::lock_guard lock(mutex);
  if (ExtraS* e = find(key)) {
    e->value = std::move(value);
    e->kind = kSet;
    return;
  }
  extras_.push_back({std::move(key), std::move(value), kSet});
}

void Heartbeat::once(std::string key, MultiValZ value) {
  std::lock_guard lock(mutex);
  if (ExtraS* e = find(key)) {
    if (e->value == value) return;
    e->value = std::move(value);
    e->kind = kOnce;
    return;
  }
  extras_.push_back({std::move(key), std::move(value), kOnce});
}

void Heartbeat::addone(std::string key) {
  std::lock_guard lock(mutex);
  if (ExtraS* e = find(key)) {
    ++e->value.u;
    return;
  }
  extras_.push_back({std::move(key), MultiValZ(std::uint64_t{1}), kCounter});
}

std::vector<Heartbeat::ExtraS> Heartbeat::extras() const {
  std::lock_guard lock(mutex);
  return extras_;
}

Heartbeat& heartbeatStore() {
  static Heartbeat* store = new Heartbeat;  // never destroyed: see the header
  return *store;
}
