#include "config/durable_file.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace kovira {

namespace {

// Closes the descriptor on every exit path.
class UniqueFd {
 public:
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() {
    if (fd_ >= 0) ::close(fd_);
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports the result (close can report a deferred write error).
  bool close() {
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string directoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string reason() { return std::string(": ") + std::strerror(errno); }

bool writeAll(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

}  // namespace

WriteResult writeFileDurably(const std::string& path, std::string_view text) {
  const std::string temp = path + "-";
  // 1. The temporary file.
  UniqueFd fd(::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return {false, "cannot open configuration file (" + temp + ")" + reason()};
  // 2. Its bytes, on disk. On failure the partial file is removed so that it
  // does not hold space on a full file system.
  if (!writeAll(fd.get(), text) || ::fsync(fd.get()) != 0 || !fd.close()) {
    const std::string error = "cannot write/flush to file (" + temp + ")" + reason();
    ::unlink(temp.c_str());
    return {false, error};
  }
  // 3. The switch.
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string error = "cannot rename (" + temp + ") to (" + path + ")" + reason();
    ::unlink(temp.c_str());
    return {false, error};
  }
  // 4. The directory entry.
  const std::string dir = directoryOf(path);
  UniqueFd dirfd(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dirfd.get() < 0 || ::fsync(dirfd.get()) != 0)
    return {false, "cannot sync directory (" + dir + ")" + reason()};
  return {true, {}};
}

}  // namespace kovira
