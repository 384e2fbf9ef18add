#include "config/config_backup.h"

#include "config/config.h"
#include "core/startup_functions.h"
#include "core/threads.h"
#include "core/working.h"
#include "http/httpclient.h"
#include "http/webutil.h"

#include <cstdlib>
#include <functional>
#include <iostream>

ConfigBackup cb;

ConfigBackup::ConfigBackup(std::chrono::milliseconds p, const kovira::GlobalConfig* source)
    : last(Clock::now()), period(p), source_(source) {}

ConfigBackup::~ConfigBackup() { stop(); }

const kovira::GlobalConfig& ConfigBackup::source() const { return source_ ? *source_ : kovira::config(); }

void ConfigBackup::start() {
  if (thread_.joinable()) return;
  stop_ = false;
  thread_ = std::thread([this] { (*this)(); });
}

void ConfigBackup::stop() {
  {
    std::lock_guard lock(mutex);
    stop_ = true;
  }
  wake.notify_all();
  if (thread_.joinable()) thread_.join();
}

ConfigBackup::Result ConfigBackup::check() {
  const kovira::GlobalConfig& cfg = source();
  const std::string text = cfg.whole(0);
  // The store's change detection uses the same hash.
  const std::uint64_t hash = std::hash<std::string>{}(text);
  if (hash == lasthash) return Result::Unchanged;

  std::string hostname;
  {
    kovira::ConfigReadLock lock;
    hostname = cfg.hostname;
  }
  const std::string token = cfg.token(0);
  // Host names and tokens are ours to send intact: encode them.
  std::string address = url + "?hostname=" + urlencode(hostname);
  if (!token.empty()) address += "&token=" + urlencode(token);

  if (httppost(address, text.data(), text.size(), &stop_) < 0) {
    if (!stop_) std::cout << "[DBG] fail send " << text.size() << " bytes to " << url << std::endl;
    return Result::Failed;
  }
  std::cout << "[DBG] Successful sent " << text.size() << " bytes to " << url << std::endl;
  lasthash = hash;
  return Result::Sent;
}

void ConfigBackup::operator()() {
  thread_name("configback");
  while (working >= 1 && !stop_) {
    // A steady clock: a clock step must neither stop nor rush the checks.
    if (Clock::now() < last + period) {
      std::unique_lock lock(mutex);
      wake.wait_for(lock, kIdleCheck, [this] { return stop_.load(); });
      continue;
    }
    last = Clock::now();
    check();
  }
}

namespace config_backup {
void modinit() {
  std::string base;
  {
    kovira::ConfigReadLock lock;
    base = kovira::config().endpoints.backup;
  }
  if (base.empty()) {
    std::cout << "[DBG] no \"backup\" server in /etc/kovira.conf: configuration backups are not sent" << std::endl;
    return;
  }
  cb.configure(base + ConfigBackup::kPath);
  cb.start();
  // The thread reads the configuration, which is destroyed at exit after
  // this handler has run (it was built before the handler was registered).
  std::atexit([] { cb.stop(); });
}
}  // namespace config_backup
