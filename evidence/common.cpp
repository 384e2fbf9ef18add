#include "evidence/common.h"

#include "config/actions.h"
#include "config/config.h"
#include "core/fs.h"
#include "core/ids.h"
#include "core/text.h"
#include "evidence/crypto.h"
#include "evidence/simplefile.h"
#include "evidence/tar.h"
#include "evidence/upload.h"

#include <opencv2/imgcodecs.hpp>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <set>
#include <exception>
#include <iostream>
#include <thread>
#include <vector>

namespace {

std::vector<std::string> targetDirectories(const std::string& path) {
  std::vector<std::string> dirs;
  std::size_t from = 0;
  while (from <= path.size()) {
    std::size_t end = path.find(';', from);
    if (end == std::string::npos) end = path.size();
    std::string piece = path.substr(from, end - from);
    trim(piece);
    if (!piece.empty()) {
      if (piece.back() != '/') piece += '/';
      dirs.push_back(piece);
    }
    from = end + 1;
  }
  return dirs;
}

bool exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

std::string tempName(const std::string& ext) { return format("%u", simpleuniqid()) + "." + ext; }

}  // namespace

namespace evidence {
bool makeCashedDir() {
  if (::mkdir(kCashedDir, 0775) == 0) {
    ::chmod(kCashedDir, 0775);  // not narrowed by the umask
    return true;
  }
  return errno == EEXIST;
}
}  // namespace evidence

void procTrackRes(kovira::Action& action, SimpleFile& archive) {
  // 1. Free-space floor. A query that fails proves no shortage: go on.
  try {
    if (diskfreespace(evidence::kFreeSpacePath) < evidence::kFreeSpaceFloor) {
      std::cout << "[DBG] недостаточно пространства в /tmp" << std::endl;
      return;
    }
  } catch (const std::exception& e) {
    std::cout << "[ERR] free space of /tmp unknown: " << e.what() << std::endl;
  }

  std::string method, path;
  bool upload = false;
  {
    kovira::ConfigReadLock lock;
    method = action.method;
    path = action.path;
    upload = action.upload != 0;
  }
  // 2. Suspension.
  const int suspended = kovira::config().suspended;
  if (suspended > 1) return;
  if (suspended == 1 && method != "carflow") return;

  // 3. The directories that exist or can be made; a failing one is skipped.
  std::vector<std::string> dirs;
  for (const std::string& dir : targetDirectories(path)) {
    try {
      createdirtree(dir);
      dirs.push_back(dir);
    } catch (const std::exception& e) {
      std::cout << "[ERR] evidence directory " << dir << " unusable: " << e.what() << std::endl;
    }
  }

  // 4. One name for every directory that replaces no file anywhere: ids
  // repeat after a restart or a clock step, and evidence is never replaced.
  if (!dirs.empty()) {
    std::string name;
    for (int attempt = 0; attempt < evidence::kMaxNameAttempts && name.empty(); ++attempt) {
      name = format("%u", simpleuniqid()) + ".tar";
      for (const std::string& dir : dirs)
        if (exists(dir + name)) {
          name.clear();
          break;
        }
    }
    if (name.empty()) {
      std::cout << "[ERR] no free archive name in " << path << ": evidence not written" << std::endl;
    } else {
      for (const std::string& dir : dirs) {
        const SaveResult saved = archive.safewrite(dir + name);
        if (!saved.ok())
          std::cout << "[ERR] evidence " << name << " not written to " << dir << ": " << saved.error << std::endl;
      }
    }
  }

  // 5. Upload, whatever happened to the files.
  if (upload) lazyUploadPush(archive);
}

std::size_t removeLeftoverTemporaries() {
  std::set<std::string> dirs;
  {
    kovira::ConfigReadLock lock;
    for (const kovira::Action& action : kovira::actions())
      for (std::string& dir : targetDirectories(action.path)) dirs.insert(std::move(dir));
  }
  std::size_t removed = 0;
  for (const std::string& dir : dirs) {
    std::error_code ec;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const std::string name = it->path().filename().string();
      std::error_code typeError;  // a link is not ours to follow or remove
      if (!isLeftoverTemporary(name) || it->symlink_status(typeError).type() != std::filesystem::file_type::regular)
        continue;
      if (::unlink(it->path().c_str()) == 0) {
        ++removed;
        std::cout << "[WARNING] evidence: removed " << dir << name
                  << ", left unfinished when the program ended during a save" << std::endl;
      } else {
        std::cout << "[ERR] evidence: cannot remove " << dir << name << ": " << std::strerror(errno) << std::endl;
      }
    }
  }
  return removed;
}

namespace common {
void modinit() { (void)removeLeftoverTemporaries(); }
}  // namespace common

std::string tempSave(const cv::Mat& image, std::string folder, std::string ext) {
  const std::string name = tempName(ext);
  try {
    (void)cv::imwrite(folder + name, image);
  } catch (const std::exception&) {
    // An unknown extension or an empty image: the name is returned anyway.
  }
  return name;
}

std::string tempSave(const char* data, std::size_t len, std::string folder, std::string ext) {
  const std::string name = tempName(ext);
  if (safeSave(folder + name, data, len) < 0) return {};
  return name;
}

void signAngelMe(std::string keypath, Tar& archive, SimpleFile& data) {
  if (keypath.empty()) return;
  std::string signature;
  if (!signWithKeyFile(keypath, data.bytes(), data.size, signature)) return;
  archive.add("signature.sign", signature.data(), static_cast<int>(signature.size()));
}

void procscript(const char* data, std::size_t len, std::string address) {
  if (address.empty()) return;
  // "%[^:]:%u": a host (ignored) up to the colon, then a decimal port.
  const auto colon = address.find(':');
  unsigned long port = 0;
  bool ok = colon != std::string::npos && colon > 0 && colon + 1 < address.size();
  if (ok) {
    char* end = nullptr;
    port = std::strtoul(address.c_str() + colon + 1, &end, 10);
    ok = end != address.c_str() + colon + 1 && port > 0 && port <= 65535;
  }
  if (!ok) {
    std::cout << "Fail" << std::endl;
    return;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<std::uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    constexpr std::size_t kChunk = 4096;
    std::size_t off = 0;
    int stalledMs = 0;
    while (off < len && stalledMs < evidence::kScriptStallMs) {
      const ssize_t n = ::send(fd, data + off, std::min(kChunk, len - off), MSG_DONTWAIT | MSG_NOSIGNAL);
      if (n > 0) {
        off += static_cast<std::size_t>(n);
        stalledMs = 0;
      } else if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        stalledMs += 10;
      } else {
        break;
      }
    }
  }
  ::close(fd);
}
