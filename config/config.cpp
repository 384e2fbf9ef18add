#include "config/config.h"

#include "config/actions.h"
#include "config/camera_sections.h"
#include "config/durable_file.h"
#include "config/json_fields.h"
#include "config/json_writer.h"
#include "config/zones.h"
#include "core/utf8.h"
#include "core/working.h"

#include <nlohmann/json.hpp>

#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace kovira {

namespace {

constexpr std::size_t kHostNameBuffer = 256;
// While saving keeps failing, the reason is repeated once a minute.
constexpr unsigned kFailureReportEvery = 60;
constexpr std::uint64_t kMiB = 1048576;
// The file is a few kilobytes; anything near this is not a configuration.
constexpr std::size_t kMaxFileBytes = 16 * kMiB;

std::uint64_t textHash(const std::string& text) { return std::hash<std::string>{}(text); }

void printSection(const nlohmann::json& section) { std::cout << jsonText(section) << std::endl; }

enum class Load { ok, cannotOpen, tooLarge };

Load loadBytes(const std::string& path, std::string& bytes) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return Load::cannotOpen;
  bytes.clear();
  char buf[65536];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    bytes.append(buf, static_cast<std::size_t>(in.gcount()));
    if (bytes.size() > kMaxFileBytes) return Load::tooLarge;
  }
  return Load::ok;
}

// An id or size of a section ("camid", "bufsize"...): 0 when absent, when
// it is not an integer (a text, 1.9: an id names one record, never the one
// a fraction rounds to) or beyond 64 bits; 0 is refused as either.
long long sectionNumber(const nlohmann::json& section, const char* key) {
  const auto it = section.find(key);
  if (it == section.end() || !(it->is_number() || it->is_boolean())) return 0;
  if (it->is_number_float() && std::trunc(it->get<double>()) != it->get<double>()) return 0;
  return fittingNumber<long long>(*it).value_or(0);
}

// The sections of a text in the file layout, by type and id ("camera 5",
// "global", "usbcam"), in file order.
std::vector<std::pair<std::string, nlohmann::json>> sectionsByName(const std::string& text) {
  std::vector<std::pair<std::string, nlohmann::json>> out;
  nlohmann::json root = nlohmann::json::parse(text, nullptr, false);
  if (!root.is_array()) return out;
  for (nlohmann::json& s : root) {
    if (!s.is_object()) continue;
    std::string name = s.value("type", std::string("default"));
    if (const char* key = GlobalConfig::idKey(name); key != nullptr)
      if (const auto it = s.find(key); it != s.end()) name += " " + it->dump();
    out.emplace_back(std::move(name), std::move(s));
  }
  return out;
}

bool isEmptyContainer(const nlohmann::json& v) { return (v.is_object() || v.is_array()) && v.empty(); }

// The sections that differ between two texts in the file layout (added,
// changed or gone), named as sectionsByName does.
std::vector<std::string> changedSections(const std::string& before, const std::string& after) {
  const auto old = sectionsByName(before);
  const auto now = sectionsByName(after);
  auto find = [](const auto& list, const std::string& name) {
    return std::find_if(list.begin(), list.end(), [&](const auto& s) { return s.first == name; });
  };
  std::vector<std::string> out;
  for (const auto& [name, section] : now) {
    const auto it = find(old, name);
    if (it == old.end() || it->second != section) out.push_back(name);
  }
  for (const auto& [name, section] : old)
    if (find(now, name) == now.end()) out.push_back(name);
  return out;
}

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
  std::string bytes;
  nlohmann::json root;
  if (!loadFile(path, bytes, root)) return false;
  ConfigWriteLock lock;
  return apply(path, std::move(bytes), root);
}

bool GlobalConfig::loadFile(const std::string& path, std::string& bytes, nlohmann::json& root) {
  const Load loaded = loadBytes(path, bytes);
  if (loaded == Load::cannotOpen) {
    std::cout << "[FAILURE] cannot open configuration file (" << path << ")" << std::endl;
    return false;
  }
  // Parse before taking the lock: nothing is applied from a file that is not
  // JSON, and no reader waits on the disk.
  std::size_t notUtf8 = 0;
  try {
    if (loaded == Load::tooLarge)
      throw std::length_error("larger than " + std::to_string(kMaxFileBytes) + " bytes");
    // Text saved by an older unit or typed by hand may hold bytes that are
    // not UTF-8; the JSON reader refuses them, and one such byte must not
    // keep the unit from starting. No file can hold them, so the file may
    // be rewritten with U+FFFD in their place.
    root = nlohmann::json::parse(validUtf8(bytes) ? bytes : toValidUtf8(bytes, &notUtf8));
  } catch (const std::exception& e) {
    {
      ConfigWriteLock lock;
      cfgpath = path;
    }
    std::cout << "[FAILURE] " << path << ": " << e.what() << std::endl;
    return false;
  }
  if (notUtf8 != 0) {
    std::cout << "[WARNING] " << path << ": " << notUtf8 << " bytes that are not UTF-8 are read as U+FFFD"
              << std::endl;
  }
  return true;
}

bool GlobalConfig::apply(const std::string& path, std::string bytes, const nlohmann::json& root) {
  ConfigWriteLock lock;
  cfgpath = path;
  lastRead_ = bytes;
  onDisk_ = std::move(bytes);
  refused_ = 0;
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
    if (!updSection(type, element)) ++refused_;
  }
}

const char* GlobalConfig::idKey(const std::string& type) {
  return type == "camera" ? "camid" : type == "zone" ? "zoneid" : type == "action" ? "actid" : nullptr;
}

bool GlobalConfig::updSection(const std::string& type, const nlohmann::json& section) {
  ConfigWriteLock lock;
  if (type == "camera") return updCamera(sectionNumber(section, "camid"), section);
  if (type == "zone") return updZone(sectionNumber(section, "zoneid"), section);
  if (type == "action") return updAction(sectionNumber(section, "actid"), section);
  if (type == "global") {
    // A value the section could not apply is reported; the rest is applied.
    if (!updConfig(section)) ++refused_;
    return true;
  }
  for (const attached& a : attachedcof) {
    if (a.name == type) {
      // A value the module refuses keeps its old value (fromjson says so);
      // like a refused global value, it keeps the file from being
      // rewritten from memory after a reload.
      if (!a.sketch->check(section).empty()) ++refused_;
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
  const long long bufsize = sectionNumber(section, "bufsize");
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
  if (!camera_sections::update(camid, section)) ++refused_;
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
  if (!z.updConfig(section)) ++refused_;
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
  if (!a.updConfig(section)) ++refused_;
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
  if (!res.warning.empty()) std::cout << "[WARNING] " << res.warning << std::endl;
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

void GlobalConfig::learnSaved() {
  ConfigReadLock lock;
  remember(whole(0));
}

void GlobalConfig::remember(const std::string& text) {
  knownHash_ = textHash(text);
  knownText_ = text;
}

bool GlobalConfig::reload(const std::string& path) {
  std::string bytes;
  nlohmann::json root;
  const bool parsed = loadFile(path, bytes, root);
  // From the look at the edits to the end of the apply no page may change
  // anything: an edit made in between would be undone without a word.
  ConfigWriteLock lock;
  const std::string before = whole(0);
  const bool editsWaiting = knownHash_ && textHash(before) != *knownHash_;
  if (parsed && editsWaiting && bytes == onDisk_) {
    // The file is what this unit last saved or read: the page edits made on
    // top of it are newer than anything in it, and reading it would only
    // undo them. They are saved by this tick instead.
    return true;
  }
  bool ok = false;
  if (parsed) ok = apply(path, std::move(bytes), root);
  const std::string text = whole(0);
  if (parsed && editsWaiting) {
    // Edited by hand since: the operator's file wins over the pages. The
    // edited sections it overwrote are named; values it does not mention
    // keep their edits (a reload applies on top of what is held).
    std::string lost;
    const std::vector<std::string> overwritten = changedSections(before, text);
    for (const std::string& name : changedSections(knownText_, before)) {
      if (std::find(overwritten.begin(), overwritten.end(), name) != overwritten.end())
        lost += (lost.empty() ? "" : ", ") + name;
    }
    if (!lost.empty()) std::cout << "[WARNING] reload discarded page edits to: " << lost << std::endl;
  }
  remember(text);
  if (!ok || refused_ != 0) {
    // What the store holds now is not what the operator wrote: writing it
    // would drop the sections and values it refused. The next edit made
    // in memory is saved as usual.
    std::cout << "[WARNING] configuration file (" << path << ") was not read cleanly, it is left as it is"
              << std::endl;
    rewriteLayout_ = false;
    return false;
  }
  // A file edited by hand into an equivalent text in another layout is
  // rewritten in the store's layout at the next tick.
  rewriteLayout_ = text != lastRead_;
  return false;
}

void GlobalConfig::tick() {
  std::string path;
  {
    ConfigReadLock lock;
    path = cfgpath;
  }
  reloadcnt.fetch_add(reloadRequests.exchange(0));
  if (reloadcnt.exchange(0) != 0) {
    std::cout << "[CFG] reload config" << std::endl;
    if (!reload(path)) return;
  }
  const std::string text = whole(0);
  const std::uint64_t h = textHash(text);
  if (!knownHash_) {  // the first tick never saves
    remember(text);
    return;
  }
  if (h == *knownHash_ && !rewriteLayout_) return;
  // The file is replaced only while it still holds what this unit last read
  // or saved: a file edited by hand since wins over the page edits, as at a
  // reload (they stay in memory until the next SIGHUP reads the file).
  std::optional<std::string> expected;
  if (fileRead_) {
    ConfigReadLock lock;
    expected = onDisk_;
  }
  const bool pageEdits = h != *knownHash_;
  if (announcedHash_ != h) {
    std::cout << "[CFG] update (save) config, hash: " << h << std::endl;
    announcedHash_ = h;
  }
  const WriteResult res = writeFileDurably(path, text, expected);
  if (!res.warning.empty()) std::cout << "[WARNING] " << res.warning << std::endl;
  if (res.unreadable) {
    // A file that cannot be read (no descriptor left, an I/O error) is no
    // hand edit: the edits wait in memory and the next tick looks again.
    if (unreadableTicks_++ == 0)
      std::cout << "[WARNING] " << res.error << "; page edits kept, saved when it can be read" << std::endl;
    return;
  }
  if (res.ok || res.changed) {
    if (res.changed && pageEdits) {
      std::string names;
      for (const std::string& name : changedSections(knownText_, text)) names += (names.empty() ? "" : ", ") + name;
      std::cout << "[WARNING] configuration file (" << path
                << ") was edited by hand since it was last read or saved, page edits not saved: " << names
                << std::endl;
    } else if (res.changed) {
      std::cout << "[CFG] configuration file (" << path << ") changed since it was read, not rewritten" << std::endl;
    } else if (saveFailures_ + unreadableTicks_ != 0) {
      std::cout << "[CFG] configuration saved after " << saveFailures_ + unreadableTicks_ << " failed attempts"
                << std::endl;
    }
    saveFailures_ = 0;
    unreadableTicks_ = 0;
    remember(text);
    if (res.ok) {
      ConfigWriteLock lock;
      onDisk_ = text;
    }
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
  attachedcof.push_back({name, &sketch});
  for (const nlohmann::json& section : pending) {
    if (section.value("type", std::string("default")) != name) continue;
    // Modules attach after the file was read, while the unit starts: a
    // mistyped value of their section is a bad file like any other, which
    // ends the unit with status 1 (through its normal shut-down, since
    // threads already run), not with an exception out of a constructor.
    try {
      sketch.fromjson(section);
    } catch (const std::exception& e) {
      std::cout << "[FAILURE] " << cfgpath << ": " << e.what() << std::endl;
      requestExit(1);
      return;
    }
  }
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
