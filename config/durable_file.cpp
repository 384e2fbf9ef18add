#include "config/durable_file.h"

#include "core/durable.h"

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

// Whether the file at path holds exactly text (a missing file holds nothing).
bool holds(const std::string& path, std::string_view text) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) return false;
  std::string disk;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    disk.append(buf, static_cast<std::size_t>(n));
    if (disk.size() > text.size()) return false;
  }
  return disk == text;
}

}  // namespace

WriteResult writeFileDurably(const std::string& path, std::string_view text,
                             std::optional<std::string_view> expected) {
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
  // 3. The file must still be the one the caller knows: checked as late as
  // possible, after the slow sync.
  if (expected && !holds(path, *expected)) {
    ::unlink(temp.c_str());
    return {false, "configuration file (" + path + ") changed since it was read", true};
  }
  // 4. The switch.
  if (::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string error = "cannot rename (" + temp + ") to (" + path + ")" + reason();
    ::unlink(temp.c_str());
    return {false, error};
  }
  // 5. The directory entry.
  WriteResult done{true, {}};
  done.warning = syncDirectoryOf(path);
  return done;
}

}  // namespace kovira
