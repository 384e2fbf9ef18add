#include "capture/cam.h"

#include "capture/sequence.h"

#include "config/config_lock.h"
#include "config/json_fields.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <iostream>
#include <stdexcept>

namespace kovira {

namespace {

constexpr const char* kRawSources = "ximea|basler|opencv";
constexpr const char* kKnownSources = "rtsp|file|ximea|basler|opencv";
constexpr std::uint64_t kFpsWindow = 2500;   // frame intervals measured at most
constexpr std::uint64_t kFpsMinRecords = 100;

bool occursIn(const std::string& word, const char* text) {
  return !word.empty() && std::string_view(text).find(word) != std::string_view::npos;
}

// "\w" of the URL option pattern, plus '+' and '%'.
bool isKeyChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_' || c == '+' || c == '%';
}
bool endsValue(char c) {
  return std::isspace(static_cast<unsigned char>(c)) != 0 || c == ',' || c == ';';
}

void warnWrongValue(int id, const char* key, const nlohmann::json& value) {
  std::cout << "[WARNING] wrong camera config value, skip [id=" << id << "] " << key << "="
            << value.dump() << std::endl;
}

// Reads a string key: absent leaves the field, null clears it.
bool readString(const nlohmann::json& section, const char* key, int id, std::string& field) {
  auto it = section.find(key);
  if (it == section.end()) return true;
  if (it->is_null()) {
    field.clear();
    return true;
  }
  if (!it->is_string()) {
    warnWrongValue(id, key, *it);
    return false;
  }
  field = it->get<std::string>();
  return true;
}

// Reads a non-negative number (booleans count as 0/1) that the field can
// hold: absent leaves the field, null sets 0.
template <typename T>
bool readNumber(const nlohmann::json& section, const char* key, int id, T& field) {
  auto it = section.find(key);
  if (it == section.end()) return true;
  if (it->is_null()) {
    field = 0;
    return true;
  }
  const std::optional<T> value = fittingNumber<T>(*it);
  if (!value) {
    warnWrongValue(id, key, *it);
    return false;
  }
  field = *value;
  return true;
}

}  // namespace

Camera::Camera(std::int32_t id, std::uint64_t bytesRequested)
    : camid(id), bufsize(bytesRequested), cambuf(std::make_shared<CamBuf>(bytesRequested)) {}

Camera::Camera(Camera&& other) noexcept
    : camid(other.camid),
      enabled(other.enabled),
      url(std::move(other.url)),
      source(std::move(other.source)),
      zoom(other.zoom),
      focus(other.focus),
      bufsize(other.bufsize),
      packets(other.packets.load()),
      bytes(other.bytes.load()),
      dropframes(other.dropframes.load()),
      fps(other.fps),
      rtspLog(std::move(other.rtspLog)),
      cambuf(other.cambuf) {}

bool Camera::empty() const { return cambuf->empty(); }

SmartBufferIterator Camera::find(std::uint32_t index) const { return cambuf->find(index); }

bool Camera::raw() const { return occursIn(source, kRawSources); }

namespace {
// The second-newest record (its size is final), or the only one.
SmartBufferIterator sizeRecord(const CamBuf& buf) {
  auto newest = buf.meta().newest();
  if (!newest.valid()) return newest;
  auto previous = newest;
  previous.go_backward();
  return previous.valid() ? previous : newest;
}
}  // namespace

std::int32_t Camera::width() const {
  auto it = sizeRecord(*cambuf);
  return it.valid() ? it->width.load() : 0;
}

std::int32_t Camera::height() const {
  auto it = sizeRecord(*cambuf);
  return it.valid() ? it->height.load() : 0;
}

float Camera::realfps() const {
  const SmartBuffer& meta = cambuf->meta();
  const std::uint64_t n = meta.size();
  if (n < kFpsMinRecords) return 0;
  const std::uint64_t k = std::min(n - 10, kFpsWindow);
  auto last = meta.newest();
  if (!last.valid()) return 0;
  auto first = meta.find(last.position() - k);
  if (!first.valid()) return 0;
  const double elapsed = (static_cast<double>(last->sec) - static_cast<double>(first->sec)) +
                         (static_cast<double>(last->usec) - static_cast<double>(first->usec)) / 1e6;
  if (elapsed <= 0) return 0;
  return static_cast<float>(static_cast<double>(k) / elapsed);
}

std::string Camera::tojson(int detail) const {
  nlohmann::json j;
  tojson(j, detail);
  // A URL that is not valid UTF-8 must not make a page fail.
  return j.dump(4, ' ', false, nlohmann::json::error_handler_t::replace);
}

void Camera::tojson(nlohmann::json& j, int detail) const {
  j = nlohmann::json::object();
  j["type"] = "camera";
  j["camid"] = camid;
  j["enabled"] = enabled;
  j["bufsize"] = bufsize;
  j["source"] = source;
  j["url"] = url;
  if (detail != 0 || zoom > 0) j["zoom"] = zoom;
  if (detail != 0 || focus > 0) j["focus"] = focus;
  if (detail != 0 || fps != 0) j["fps"] = fps;
  if (detail != 0) {
    j["cambufsize"] = cambuf->meta().size();
    j["congestion"] = cambuf->congestion();
    j["metacapacity"] = cambuf->metaCapacity;
    j["realfps"] = realfps();
    j["height"] = height();
    j["width"] = width();
  }
}

bool Camera::updConfig(const nlohmann::json& section) {
  if (!section.is_object()) {
    std::cout << "[WARNING] wrong camera config, not an object [id=" << camid << "]" << std::endl;
    return false;
  }
  bool ok = true;
  ok &= readString(section, "source", camid, source);
  ok &= readNumber(section, "fps", camid, fps);
  ok &= readString(section, "url", camid, url);
  ok &= readNumber(section, "enabled", camid, enabled);
  ok &= readNumber(section, "bufsize", camid, bufsize);
  if (!occursIn(source, kKnownSources) || url.empty()) {
    source = "default";
    enabled = 0;
  }
  return ok;
}

bool Camera::extra(const std::string& text, const std::string& key, std::string& value) {
  // Same matches as a left-to-right search for ([\w+%]+)=([^\s,;]*).
  std::size_t i = 0;
  const std::size_t n = text.size();
  while (i < n) {
    if (!isKeyChar(text[i])) {
      ++i;
      continue;
    }
    std::size_t keyEnd = i;
    while (keyEnd < n && isKeyChar(text[keyEnd])) ++keyEnd;
    if (keyEnd == n || text[keyEnd] != '=') {
      i = keyEnd;  // no later start inside this run can reach a '=' either
      continue;
    }
    std::size_t valueEnd = keyEnd + 1;
    while (valueEnd < n && !endsValue(text[valueEnd])) ++valueEnd;
    if (text.compare(i, keyEnd - i, key) == 0 && keyEnd - i == key.size()) {
      value = text.substr(keyEnd + 1, valueEnd - keyEnd - 1);
      return true;
    }
    i = valueEnd;
  }
  return false;
}

std::string Camera::extra(const std::string& key, const std::string& fallback) const {
  std::string value;
  return extra(url, key, value) ? value : fallback;
}

int Camera::extra(const std::string& key, int fallback) const {
  std::string value;
  return extra(url, key, value) ? std::stoi(value) : fallback;
}

std::vector<Camera>& cameras() {
  static std::vector<Camera> registry;
  if (registry.capacity() < kMaxCameras) registry.reserve(kMaxCameras);
  return registry;
}

std::vector<Camera>::iterator findCamera(int id) {
  auto& all = cameras();
  return std::find_if(all.begin(), all.end(), [id](const Camera& c) { return c.camid == id; });
}

bool hasCamera(int id) { return findCamera(id) != cameras().end(); }

Camera& camera(int id) {
  auto it = findCamera(id);
  if (it == cameras().end()) {
    throw std::logic_error("camera configuration was not found [id=" + std::to_string(id) + "]");
  }
  return *it;
}

CamBuf* storeOf(int id) {
  auto it = findCamera(id);
  return it == cameras().end() ? nullptr : it->cambuf.get();
}

SmartBufferIterator storedRecord(int id, std::uint32_t frame) {
  CamBuf* store = storeOf(id);
  return store == nullptr ? SmartBufferIterator() : store->frame(frame);
}

Camera& addCamera(int id, std::uint64_t bytesRequested) {
  auto& all = cameras();
  if (all.size() >= kMaxCameras) {
    std::cout << "[WARNING] camera registry is full (" << kMaxCameras
              << " cameras), camera skipped [id=" << id << "]" << std::endl;
    throw std::logic_error("camera registry is full [id=" + std::to_string(id) + "]");
  }
  all.emplace_back(id, bytesRequested);
  return all.back();
}

std::vector<CameraSettings> cameraSettings() {
  ConfigReadLock lock;
  std::vector<CameraSettings> out;
  for (const Camera& c : cameras()) out.push_back({c.camid, c.enabled, c.url, c.source, c.fps});
  return out;
}

std::vector<std::shared_ptr<CamBuf>> enabledStores(int camid) {
  ConfigReadLock lock;
  std::vector<std::shared_ptr<CamBuf>> out;
  for (const Camera& c : cameras())
    if (c.enabled != 0 && c.camid == camid) out.push_back(c.cambuf);
  return out;
}

namespace {

// The oldest frame the decode stage has not taken starts a sequence that
// has ended: there is something to decode.
bool completeSequenceWaits(CamBuf& buf) {
  const SmartBufferIterator first = buf.lastUnprocFrame();
  if (!first.valid()) return false;
  const SmartBufferIterator end = buf.meta().endIterator();
  const SmartBufferIterator next = seqEnd(buf.meta().oldest(), end, first);
  return !(next == end) && next.valid();
}

}  // namespace

int nextUnprocCamera() {
  // The most congested camera among those with a complete sequence waiting;
  // without any, the most congested camera (the decode stage then looks at
  // its open group). A camera whose group does not close (its stream ended
  // or lost its key frames, or never sends one) stays the most congested,
  // and chosen alone it would hold the decode stage away from the others.
  int best = 0, ready = 0;
  float bestValue = 0, readyValue = 0;
  bool any = false, anyReady = false;
  for (const Camera& c : cameras()) {
    const float value = c.cambuf->congestion();
    if (!any || !(value < bestValue)) {
      best = c.camid;
      bestValue = value;
      any = true;
    }
    if ((!anyReady || !(value < readyValue)) && completeSequenceWaits(*c.cambuf)) {
      ready = c.camid;
      readyValue = value;
      anyReady = true;
    }
  }
  return anyReady ? ready : best;
}

}  // namespace kovira
