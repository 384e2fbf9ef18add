// The configuration store: the unit's one JSON file (an array of typed
// sections) held in memory for the whole process and reached through
// kovira::config(). It applies each section to its owner (cameras, zones,
// actions, the global settings below, or a module's ConfigSketch), writes
// the whole configuration back in one fixed layout, saves it within a second
// of a change (the main loop calls work() every second), and re-reads it
// after SIGHUP (the handler only counts; work() takes the count).
//
// Threading: every configuration object is guarded by the process-wide
// configMutex() (config/config_lock.h). The store's operations take it
// themselves (write for read/updates/attach, read for whole/export/findconf
// and the text accessors); code that touches members directly holds
// ConfigReadLock / ConfigWriteLock. Status flags written by device threads
// (ntpsync, satsync, anglecritical, suspended) and reloadcnt are atomics.
// Lifetime: one instance, built on the first kovira::config() call (from
// main, before anything else) and destroyed at exit. Tests build their own.
#pragma once

#include "config/config_lock.h"
#include "config/identity.h"
#include "config/polygon.h"
#include "config/sketch.h"

#include <nlohmann/json_fwd.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kovira {

class GlobalConfig {
 public:
  static constexpr int kDefaultWebPort = 1025;
  static constexpr int kMaxWebPort = 65535;
  static constexpr int kMinId = 1;     // camera, zone and action ids
  static constexpr int kMaxId = 512;
  static constexpr long long kMaxBufsizeMiB = 4096;  // camera frame store

  // Builds the defaults and reads the identity files (tests pass their own
  // paths; the unit reads those under /etc).
  explicit GlobalConfig(const IdentityPaths& identity = IdentityPaths{});
  ~GlobalConfig();
  GlobalConfig(const GlobalConfig&) = delete;
  GlobalConfig& operator=(const GlobalConfig&) = delete;

  // ---- The file ----
  // Parses and applies the file. false (with a "[FAILURE] " line) when it
  // cannot be opened or parsed, is larger than 16 MiB, or a section's owner
  // throws; sections applied before a failing one stay applied. Bytes that
  // are not UTF-8 are read as U+FFFD, with a "[WARNING] " line.
  bool read(const std::string& path);
  // Applies every element of a parsed file in order.
  void process(const nlohmann::json& root);
  // Applies one section by its type; false when refused.
  bool updSection(const std::string& type, const nlohmann::json& section);
  // The key of a section type's id: "camid", "zoneid", "actid"; null for
  // types without one.
  static const char* idKey(const std::string& type);
  bool updCamera(long long id, const nlohmann::json& section);
  bool updZone(long long id, const nlohmann::json& section);
  bool updAction(long long id, const nlohmann::json& section);
  void updZonesParent();
  // The whole configuration in the file layout; mode 0 for the file, 1 full.
  std::string whole(int mode) const;
  // One section's text: "global"/"config", or "camera"/"zone"/"action" by
  // id (removed ones included); "" for anything else.
  std::string exportSection(const std::string& type, int id, int mode) const;
  // Writes whole(0) durably to path (temporary file, fsync, rename, fsync of
  // the directory); false with a "[FAILURE] " line when any step fails.
  bool save(const std::string& path);
  bool save();
  // The one-second tick: reload on request, save when the text changed.
  // A file edited by hand since the unit last read or saved it is never
  // overwritten: the page edits stay in memory (until the next SIGHUP reads
  // the file) and a "[WARNING] ... page edits not saved: <sections>" line
  // names them.
  void work();
  // Takes the present text as the one on disk; the unit calls it once its
  // modules have attached and before its pages can change anything, so an
  // edit made before the first tick is saved like any other.
  void learnSaved();
  void sortActions();

  // ---- Module sections ----
  // Registers the sketch and hands it the sections kept for it. A section it
  // cannot read prints the "[FAILURE] " line and asks the unit to end with
  // status 1 (requestExit, core/working.h).
  void attach(const std::string& name, ConfigSketch& sketch);
  // Forgets `sketch` under `name` (an object that ends before the process
  // does must not be written by a later save or backup).
  void detach(const std::string& name, const ConfigSketch& sketch);
  // Throws std::logic_error "attachedcof was not found [n=NAME]".
  ConfigSketch* findconf(const std::string& name) const;

  // ---- The global section ----
  // Applies the section; texts lose the characters XML cannot carry (with a
  // warning). A number it cannot take, or a value of a type its key never
  // takes, keeps the old value with one warning naming the key.
  bool updConfig(const nlohmann::json& section);
  // For an operator's edit: "error: <key>: <reason>\n" of the first value
  // of a global section that updConfig would not take, "" when it takes all.
  static std::string checkConfig(const nlohmann::json& section);
  static constexpr int kMinTimezone = -12;
  static constexpr int kMaxTimezone = 14;
  std::string tojson(int mode) const;
  void tojson(nlohmann::json& out, int mode) const;

  // Value accessors. The text ones take the read lock.
  std::string token(unsigned long n = 0) const;
  std::int64_t uptime() const;
  std::int64_t now() const;
  std::string latlon() const;
  std::string gps() const { return latlon(); }
  std::string lat() const;
  std::string lon() const;
  std::string lonlat() const;
  static std::string partOf(unsigned long n, const std::string& text);
  std::string certExp() const;
  std::string certNum() const;
  std::string verifyExp() const;
  std::string verifyNum() const;
  std::uint64_t systemuptime() const;
  // Available memory of the system in bytes (MemAvailable of /proc/meminfo;
  // 0 without it). Reads no member: devices' memfreeram() shares it.
  static std::uint64_t memfree();
  bool timesync() const { return ntpsync != 0 || satsync != 0; }
  // Caption variables of the site: the direction words 1 and 2 and "g", "a",
  // "d", "s". Label is the evidence caption template (ways + emplace).
  template <class Label>
  void fillfmt(Label& label) const;
  // Sets the receiver's coordinates (taken under the write lock).
  void setAcoords(const std::string& value);

  // ---- Global settings and status values (guarded by configMutex()) ----
  std::string signkey;
  std::int32_t timezone = 0;
  int webserver = kDefaultWebPort;
  std::uint32_t posa = 0;
  std::uint32_t posb = 0;
  std::uint32_t posc = 0;
  std::uint32_t spdMintrack = 0;   // "spd-mintrack"
  std::uint32_t spdMinpoints = 0;  // "spd-minpoints"
  std::uint32_t spdMindist = 0;    // "spd-mindist"
  std::uint32_t startup = 0;
  std::atomic<std::uint32_t> ntpsync{0};
  std::atomic<std::uint32_t> satsync{0};
  std::atomic<std::uint32_t> anglecritical{0};
  std::int32_t devid = 0;
  std::string lang = "ru";
  std::string acoords;
  std::string coords;
  std::string address;
  std::string devname;
  std::string redpts;
  std::string serial;
  std::string certificate;
  std::string verification;
  std::string manufacturer;
  std::string codeloc;
  std::string trackmask;
  std::string way1;
  std::string way2;
  std::atomic<std::int32_t> suspended{0};

  // ---- Store state ----
  // Reload requests: the tick adds the SIGHUP handler's counter
  // (core/working.h) to it and clears both.
  std::atomic<unsigned> reloadcnt{0};
  std::string devtoken;                // "token" of the identity file
  std::string hostname = "default";
  std::string cfgpath;
  std::chrono::steady_clock::time_point started;
  Polygon redpoly;
  Endpoints endpoints;  // servers named by the identity file

  struct attached {
    std::string name;
    ConfigSketch* sketch;
  };
  std::vector<attached> attachedcof;
  // Sections read at start-up whose type no module had attached yet.
  std::vector<nlohmann::json> pending;

 private:
  bool saveText(const std::string& path, const std::string& text);
  void tick();
  // Loads and parses the file without the lock; false after the
  // "[FAILURE] " line.
  bool loadFile(const std::string& path, std::string& bytes, nlohmann::json& root);
  // Applies a parsed file (takes the write lock).
  bool apply(const std::string& path, std::string bytes, const nlohmann::json& root);
  // The reload of the tick; true when the tick goes on to save the page
  // edits it kept (the file was the one last saved or read).
  bool reload(const std::string& path);
  // Takes text as what the file holds.
  void remember(const std::string& text);

  bool fileRead_ = false;  // the start-up read is over: pending no longer grows
  std::string lastRead_;   // the file's bytes as the last read found them
  // Sections and values the last read refused: the file is then not
  // rewritten from memory after a reload.
  unsigned refused_ = 0;
  // The file's bytes as this unit last read or saved them: a reload that
  // finds them unchanged keeps the page edits made since.
  std::string onDisk_;
  // Hash and text last saved or seen; empty before the first tick.
  std::optional<std::uint64_t> knownHash_;
  std::string knownText_;
  std::optional<std::uint64_t> announcedHash_;
  bool rewriteLayout_ = false;  // the file on disk is not in our layout
  unsigned saveFailures_ = 0;
  unsigned unreadableTicks_ = 0;  // saves held back since the file could not be read
};

GlobalConfig& config();

template <class Label>
void GlobalConfig::fillfmt(Label& label) const {
  ConfigReadLock lock;
  if (!way1.empty() && label.ways.size() > 1) label.ways[1] = way1;
  if (!way2.empty() && label.ways.size() > 2) label.ways[2] = way2;
  label.emplace("g", latlon());
  label.emplace("a", address);
  label.emplace("d", devname);
  label.emplace("s", serial);
}

}  // namespace kovira
