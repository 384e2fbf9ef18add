#include "core/log_files.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <mutex>
#include <set>
#include <string_view>

namespace logfiles {

namespace fs = std::filesystem;

namespace {

constexpr std::string_view kPrefix = "RtspClient_", kSuffix = ".log", kRunTag = "run";
constexpr int kRunDigits = 6;  // zero-padded, so that a listing sorts by run

// Leading decimal digits of text, saturating; the count of digits read.
std::size_t readNumber(std::string_view text, std::uint64_t& value) {
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  std::size_t n = 0;
  value = 0;
  for (; n < text.size() && text[n] >= '0' && text[n] <= '9'; ++n) {
    const auto digit = static_cast<std::uint64_t>(text[n] - '0');
    value = value > (kMax - digit) / 10 ? kMax : value * 10 + digit;
  }
  return n;
}

}  // namespace

bool isLogFileName(const std::string& name) {
  return name.size() > kPrefix.size() + kSuffix.size() && name.compare(0, kPrefix.size(), kPrefix) == 0 &&
         name.compare(name.size() - kSuffix.size(), kSuffix.size(), kSuffix) == 0;
}

Order writingOrder(const std::string& name) {
  Order order;
  if (!isLogFileName(name)) return order;
  std::string_view rest(name);
  rest = rest.substr(kPrefix.size(), rest.size() - kPrefix.size() - kSuffix.size());
  // "run<R>_": a numbered run; without it, a name of an earlier version.
  if (rest.starts_with(kRunTag)) {
    std::uint64_t run = 0;
    const std::size_t digits = readNumber(rest.substr(kRunTag.size()), run);
    const std::size_t end = kRunTag.size() + digits;
    if (digits != 0 && end < rest.size() && rest[end] == '_') {
      order.run = run;
      rest.remove_prefix(end + 1);
    }
  }
  // "<time>.<n>": the counter after the last dot.
  const std::size_t dot = rest.rfind('.');
  std::uint64_t counter = 0;
  if (dot != std::string_view::npos && dot + 1 < rest.size() &&
      readNumber(rest.substr(dot + 1), counter) == rest.size() - dot - 1) {
    order.counter = counter;
    rest = rest.substr(0, dot);
  }
  if (order.run == 0) order.stamp = std::string(rest);
  return order;
}

std::string fileNamePattern(std::uint64_t run) {
  char text[96];
  std::snprintf(text, sizeof text, "RtspClient_run%0*llu_%%Y-%%m-%%d_%%H-%%M-%%S.%%N.log", kRunDigits,
                static_cast<unsigned long long>(run));
  return text;
}

std::uint64_t nextRun(const std::vector<std::string>& names) {
  std::uint64_t highest = 0;
  for (const std::string& name : names)
    if (isLogFileName(name)) highest = std::max(highest, writingOrder(name).run);
  return highest == std::numeric_limits<std::uint64_t>::max() ? highest : highest + 1;
}

std::uint64_t nextRunIn(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (fs::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec))
    names.push_back(it->path().filename().string());
  return nextRun(names);
}

std::vector<std::string> filesToDelete(std::vector<File> files, const std::string& current, const Limits& limits) {
  struct Ranked {
    const File* file;
    Order order;
  };
  std::vector<Ranked> ranked;
  ranked.reserve(files.size());
  for (const File& f : files)
    if (f.name != current) ranked.push_back({&f, writingOrder(f.name)});
  // This run's files first, then newest first by the order of writing.
  std::sort(ranked.begin(), ranked.end(), [](const Ranked& a, const Ranked& b) {
    if (a.file->own != b.file->own) return a.file->own;
    return a.order != b.order ? a.order > b.order : a.file->name > b.file->name;
  });
  // The open file may still grow to the rotation size: its room is taken
  // first, and it is one of this run's files.
  const std::uintmax_t budget = limits.totalBytes - std::min(limits.rotationBytes, limits.totalBytes);
  std::uintmax_t used = 0;
  std::size_t ownKept = 1;
  std::vector<std::string> doomed;
  for (const Ranked& r : ranked) {
    const File& f = *r.file;
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
    if (statError) continue;
    files.push_back({name, size, own.count(name) != 0});
  }
  for (const std::string& name : filesToDelete(std::move(files), current.filename().string(), limits)) {
    fs::remove(current.parent_path() / name, ec);
    own.erase(name);
  }
}

}  // namespace logfiles
