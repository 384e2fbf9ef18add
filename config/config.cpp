#include "config/config.h"

#include "config/actions.h"
#include "config/camera_sections.h"
#include "config/durable_file.h"
#include "config/json_writer.h"
#include "config/zones.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <array>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace kovira {

namespace {

constexpr std::size_t kHostNameBuffer = 256;
// While saving keeps failing, the reason is repeated once a minute.
constexpr unsigned kFailureReportEvery = 60;
constexpr std::uint64_t kMiB = 1048576;

std::uint64_t textHash(const std::string& text) { return std::hash<std::string>{}(text); }

void printSection(const nlohmann::json& section) { std::cout << jsonText(section) << std::endl; }

// Whether the file at path holds exactly text.
bool fileHolds(const std::string& path, const std::string& text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  const std::string disk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  return disk == text;
}

bool isEmptyContainer(const nlohmann::json& v) { return (v.is_object() || v.is_array()) && v.empty(); }

}  // namespace

GlobalConfig& config() {
  static GlobalConfig instance;
  return instance;
}

GlobalConfig::GlobalConfig(const IdentityPaths& identity) {
  // 1. Defaults are the member initialisers; the start time is now.
  startup = static_cast<std::uint32_t>(std::chrono::duration_cast<std::chrono::seconds>(
                                           std::chrono::system_clock::now().time_since_epoch())
                                           .count());
  // 2. Host name.
  std::array<char, kHostNameBuffer> name{};
  if (::gethostname(name.data(), name.size() - 1) == 0) hostname = name.data();
  // 3. Base of uptime().
  started = std::chrono::steady_clock::now();
  // 4-5. Identity files.
  Identity id = readIdentity(identity);
  devtoken = std::move(id.token);
  devid = id.devid;
  endpoints = std::move(id.endpoints);
}

GlobalConfig::~GlobalConfig() = default;

bool GlobalConfig::read(const std::string& path) {
  std::ifstream in(path);
  if (!in) {
    std::cout << "[FAILURE] cannot open configuration file (" << path << ")" << std::endl;
    return false;
  }
  // Parse before taking the lock: nothing is applied from a file that is not
  // JSON, and no reader waits on the disk.
  nlohmann::json root;
  try {
    root = nlohmann::json::parse(in);
  } catch (const std::exception& e) {
    {
      ConfigWriteLock lock;
      cfgpath = path;
    }
    std::cout << "[FAILURE] " << path << ": " << e.what() << std::endl;
    return false;
  }
  ConfigWriteLock lock;
  cfgpath = path;
  bool ok = true;
  try {
    process(root);
  } catch (const std::exception& e) {
    std::cout << "[FAILURE] " << path << ": " << e.what() << std::endl;
    ok = false;
  }
  fileRead_ = true;
  return ok;
}

void GlobalConfig::process(const nlohmann::json& root) {
  ConfigWriteLock lock;
  for (const nlohmann::json& element : root) {
    // value() raises the library's type error for an element that is not an
    // object and for a "type" that is not a string.
    const std::string type = element.value("type", std::string("default"));
    updSection(type, element);
  }
}

bool GlobalConfig::updSection(const std::string& type, const nlohmann::json& section) {
  ConfigWriteLock lock;
  if (type == "camera") return updCamera(section.value("camid", 0LL), section);
  if (type == "zone") return updZone(section.value("zoneid", 0LL), section);
  if (type == "action") return updAction(section.value("actid", 0LL), section);
  if (type == "global") return updConfig(section);
  for (const attached& a : attachedcof) {
    if (a.name == type) {
      a.sketch->fromjson(section);
      return true;
    }
  }
  if (type.empty()) {
    std::cout << "[ERROR] Unsupported configuration type=" << std::endl;
    printSection(section);
    return false;
  }
  // Only the start-up read keeps sections for modules that attach later;
  // reloads and updates from the network must not grow the list.
  if (!fileRead_) {
    pending.push_back(section);
    return true;
  }
  std::cout << "[WARNING] no module owns configuration type=" << type << ", section skipped" << std::endl;
  return false;
}

bool GlobalConfig::updCamera(long long id, const nlohmann::json& section) {
  ConfigWriteLock lock;
  const long long bufsize = section.value("bufsize", 0LL);
  if (id < kMinId || id > kMaxId || bufsize < 1 || bufsize > kMaxBufsizeMiB) {
    std::cout << "[WARNING] wrong camera config, skip [id=" << id << "]  bufsize=" << bufsize
              << " (should be in the range 1..4096)" << std::endl;
    printSection(section);
    return false;
  }
  const int camid = static_cast<int>(id);
  if (!camera_sections::exists(camid)) {
    // Sources start only at start-up: a camera that arrives later would hold
    // its whole store for nothing until the next start.
    const bool late = camera_sections::framesAllocated();
    const std::uint64_t bytes = late ? 0 : static_cast<std::uint64_t>(bufsize) * kMiB;
    if (!camera_sections::add(camid, bytes)) return false;
    if (late) {
      std::cout << "[WARNING] camera [id=" << id
                << "] is new: its section is kept, it gets frames after the next start" << std::endl;
    }
  }
  camera_sections::update(camid, section);
  return true;
}

bool GlobalConfig::updZone(long long id, const nlohmann::json& section) {
  ConfigWriteLock lock;
  if (id < kMinId || id > kMaxId) {
    std::cout << "[WARNING] wrong zone config, skip [id=" << id << "]" << std::endl;
    printSection(section);
    return false;
  }
  const int zoneid = static_cast<int>(id);
  Zone& z = hasZone(zoneid) ? zone(zoneid) : addZone(zoneid);
  z.updConfig(section);
  updZonesParent();
  return true;
}

bool GlobalConfig::updAction(long long id, const nlohmann::json& section) {
  ConfigWriteLock lock;
  if (id < kMinId || id > kMaxId) {
    std::cout << "[WARNING] wrong action config, skip [id=" << id << "]" << std::endl;
    printSection(section);
    return false;
  }
  const int actid = static_cast<int>(id);
  if (!hasAction(actid) && actions().size() >= kMaxActions) {
    std::cout << "[WARNING] no room for action [id=" << id << "], at most " << kMaxActions << " actions, skip"
              << std::endl;
    return false;
  }
  Action& a = hasAction(actid) ? action(actid) : addAction(actid);
  a.updConfig(section);
  return true;
}

void GlobalConfig::updZonesParent() {
  ConfigWriteLock lock;
  kovira::updZonesParent();
}

std::string GlobalConfig::whole(int mode) const {
  ConfigReadLock lock;
  std::string out = "[\n";
  for (const int camid : camera_sections::ids()) {
    nlohmann::json section;
    camera_sections::tojson(camid, section, mode);
    out += jsonText(section);
    out += ",\n";
  }
  for (const Zone& z : zones()) {
    if (z.removed != 0) continue;
    out += z.tojson(mode);
    out += ",\n";
  }
  for (const Action& a : actions()) {
    if (a.removed != 0) continue;
    out += a.tojson(mode);
    out += ",\n";
  }
  for (const attached& a : attachedcof) {
    nlohmann::json section;
    a.sketch->tojson(section, mode);
    if (section.is_null() || isEmptyContainer(section)) continue;
    if (!section.is_object()) {
      // Anything but an object would make the next read of the file fail.
      std::cout << "[ERROR] configuration section " << a.name << " is not a JSON object, not written" << std::endl;
      continue;
    }
    if (!section.contains("type")) section["type"] = a.name;
    out += jsonText(section);
    out += ",\n";
  }
  out += tojson(mode);
  out += "\n]";
  return out;
}

std::string GlobalConfig::exportSection(const std::string& type, int id, int mode) const {
  ConfigReadLock lock;
  if (type == "global" || type == "config") return tojson(mode);
  if (type == "camera" && camera_sections::exists(id)) {
    nlohmann::json section;
    camera_sections::tojson(id, section, mode);
    return jsonText(section);
  }
  if (type == "zone" && hasZone(id)) return zone(id).tojson(mode);
  if (type == "action" && hasAction(id)) return action(id).tojson(mode);
  return {};
}

bool GlobalConfig::saveText(const std::string& path, const std::string& text) {
  const WriteResult res = writeFileDurably(path, text);
  if (!res.ok) std::cout << "[FAILURE] " << res.error << std::endl;
  return res.ok;
}

bool GlobalConfig::save(const std::string& path) { return saveText(path, whole(0)); }

bool GlobalConfig::save() {
  std::string path;
  {
    ConfigReadLock lock;
    path = cfgpath;
  }
  return save(path);
}

void GlobalConfig::work() {
  // The main loop must survive anything a module's section code throws.
  try {
    tick();
  } catch (const std::exception& e) {
    std::cout << "[ERR] configuration tick: " << e.what() << std::endl;
  }
}

void GlobalConfig::learnSaved() { knownHash_ = textHash(whole(0)); }

void GlobalConfig::tick() {
  std::string path;
  {
    ConfigReadLock lock;
    path = cfgpath;
  }
  if (reloadcnt.exchange(0) != 0) {
    std::cout << "[CFG] reload config" << std::endl;
    const bool ok = read(path);
    const std::string text = whole(0);
    knownHash_ = textHash(text);
    if (!ok) {
      // What a failed reload applied is not written over the operator's
      // file; the next edit made in memory is saved as usual.
      std::cout << "[WARNING] configuration file (" << path << ") was not read cleanly, it is left as it is"
                << std::endl;
      rewriteLayout_ = false;
      return;
    }
    // A file edited by hand into an equivalent text in another layout is
    // rewritten in the store's layout at the next tick.
    rewriteLayout_ = !fileHolds(path, text);
    return;
  }
  const std::string text = whole(0);
  const std::uint64_t h = textHash(text);
  if (!knownHash_) {  // the first tick never saves
    knownHash_ = h;
    return;
  }
  if (h == *knownHash_ && !rewriteLayout_) return;
  if (announcedHash_ != h) {
    std::cout << "[CFG] update (save) config, hash: " << h << std::endl;
    announcedHash_ = h;
  }
  const WriteResult res = writeFileDurably(path, text);
  if (res.ok) {
    if (saveFailures_ != 0)
      std::cout << "[CFG] configuration saved after " << saveFailures_ << " failed attempts" << std::endl;
    saveFailures_ = 0;
    knownHash_ = h;
    announcedHash_.reset();
    rewriteLayout_ = false;
    return;
  }
  // Not remembered as saved: the next tick tries again with the newest text.
  if (saveFailures_ % kFailureReportEvery == 0) std::cout << "[FAILURE] " << res.error << std::endl;
  ++saveFailures_;
}

void GlobalConfig::sortActions() {
  ConfigReadLock lock;
  (void)actions();  // reserves the registry's room; the order stays as read
}

void GlobalConfig::attach(const std::string& name, ConfigSketch& sketch) {
  ConfigWriteLock lock;
  for (const attached& a : attachedcof)
    if (a.name == name) throw std::logic_error("config: " + name + " is already attached");
  for (const nlohmann::json& section : pending)
    if (section.value("type", std::string("default")) == name) sketch.fromjson(section);
  attachedcof.push_back({name, &sketch});
}

void GlobalConfig::detach(const std::string& name, const ConfigSketch& sketch) {
  ConfigWriteLock lock;
  std::erase_if(attachedcof, [&](const attached& a) { return a.name == name && a.sketch == &sketch; });
}

ConfigSketch* GlobalConfig::findconf(const std::string& name) const {
  ConfigReadLock lock;
  for (const attached& a : attachedcof)
    if (a.name == name) return a.sketch;
  throw std::logic_error("attachedcof was not found [n=" + name + "]");
}

}  // namespace kovira

void attachConfig(const std::string& name, ConfigSketch& sketch) { kovira::config().attach(name, sketch); }

void detachConfig(const std::string& name, const ConfigSketch& sketch) { kovira::config().detach(name, sketch); }
