// The configuration store: one JSON file (an array of typed sections) held
// in memory for the whole process, reached through kovira::config().
//
// This is the minimal store of the foundation: it reads the file, takes the
// global section's "webserver" port and re-reads on SIGHUP. The signal
// handler only bumps reloadcnt; work() acts on it on the main thread.
#pragma once

#include <atomic>
#include <string>

namespace kovira {

class GlobalConfig {
 public:
  static constexpr int kDefaultWebPort = 1025;

  // Reads and applies the file; prints the reason and returns false when it
  // cannot be opened or parsed.
  bool read(const std::string& path);
  // Called by main once a second: reloads when SIGHUP asked for it.
  void work();
  // Orders the actions for the processing modules.
  void sortActions();

  std::atomic<unsigned> reloadcnt{0};
  int webserver = kDefaultWebPort;
  std::string cfgpath;
};

GlobalConfig& config();

}  // namespace kovira
