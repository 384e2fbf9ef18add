#include "core/log_files.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <mutex>
#include <set>
#include <string_view>

namespace logfiles {

namespace fs = std::filesystem;

bool isLogFileName(const std::string& name) {
  constexpr std::string_view kPrefix = "RtspClient_", kSuffix = ".log";
  return name.size() > kPrefix.size() + kSuffix.size() && name.compare(0, kPrefix.size(), kPrefix) == 0 &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

std::vector<std::string> filesToDelete(std::vector<File> files, const std::string& current, const Limits& limits) {
  std::sort(files.begin(), files.end(), [](const File& a, const File& b) {
    return a.mtimeNs != b.mtimeNs ? a.mtimeNs > b.mtimeNs : a.name > b.name;
  });
  // The open file may still grow to the rotation size: its room is taken
  // first, and it is one of this run's files.
  const std::uintmax_t budget = limits.totalBytes - std::min(limits.rotationBytes, limits.totalBytes);
  std::uintmax_t used = 0;
  std::size_t ownKept = 1;
  std::vector<std::string> doomed;
  for (const File& f : files) {
    if (f.name == current) continue;
    const bool ownRoom = !f.own || ownKept < limits.filesPerRun;
    if (ownRoom && f.size <= budget - used) {
      used += f.size;
      if (f.own) ++ownKept;
    } else {
      doomed.push_back(f.name);
    }
  }
  return doomed;
}

void pruneLogFiles(const std::string& currentPath, const Limits& limits) {
  static std::mutex ownMutex;
  static std::set<std::string> own;  // guarded by ownMutex
  const fs::path current(currentPath);
  std::lock_guard lock(ownMutex);
  own.insert(current.filename().string());
  std::error_code ec;
  std::vector<File> files;
  for (fs::directory_iterator it(current.parent_path(), ec), end; !ec && it != end; it.increment(ec)) {
    const std::string name = it->path().filename().string();
    std::error_code statError;
    if (!isLogFileName(name) || !it->is_regular_file(statError)) continue;
    const std::uintmax_t size = it->file_size(statError);
    const auto mtime = it->last_write_time(statError);
    if (statError) continue;
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(mtime.time_since_epoch()).count();
    files.push_back({name, size, static_cast<std::int64_t>(ns), own.count(name) != 0});
  }
  for (const std::string& name : filesToDelete(std::move(files), current.filename().string(), limits)) {
    fs::remove(current.parent_path() / name, ec);
    own.erase(name);
  }
}

}  // namespace logfiles
