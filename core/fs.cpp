#include "core/fs.h"

#include <boost/filesystem.hpp>

namespace bfs = boost::filesystem;

namespace {
std::string currentpath;
}

void SetCurrentPath(const char* argv0) {
  currentpath = bfs::path(argv0 ? argv0 : "").remove_filename().string() + "/";
}

std::string GetCurrentPath() { return currentpath; }

std::uint64_t diskfreespace(std::string path) {
  if (path.empty()) path = ".";
  return bfs::space(path).available;
}

void createdirtree(std::string path) { bfs::create_directories(path); }

std::uint64_t directorysize(std::string path) {
  if (path.empty()) return 0;
  boost::system::error_code ec;
  if (!bfs::is_directory(path, ec)) return 0;
  std::uint64_t total = 0;
  bfs::recursive_directory_iterator it(path, ec), end;
  if (ec) return 0;
  for (; it != end; it.increment(ec)) {
    if (ec) break;
    const bfs::file_status st = bfs::status(it->path(), ec);  // follows links
    if (ec) break;
    if (bfs::is_directory(st)) continue;
    const auto size = bfs::file_size(it->path(), ec);
    if (ec) break;
    total += size;
  }
  return total;
}
