#include "config/durable_file.h"

#include "core/durable.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <stdio.h>  // renameat2, RENAME_EXCHANGE
#include <sys/stat.h>
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

enum class Look { kHolds, kDiffers, kUnreadable };

// Whether the file at path holds exactly text (a missing file holds
// nothing); `why` gives the system's reason when it cannot be read. Opened
// without blocking: a FIFO put in its place must not stop the caller.
Look compare(const std::string& path, std::string_view text, std::string& why) {
  const auto unreadable = [&why](const char* what) {
    why = what;
    return Look::kUnreadable;
  };
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (fd.get() < 0 && errno == ENOENT) return text.empty() ? Look::kHolds : Look::kDiffers;
  if (fd.get() < 0) return unreadable(std::strerror(errno));
  struct stat st {};
  if (::fstat(fd.get(), &st) != 0) return unreadable(std::strerror(errno));
  if (S_ISDIR(st.st_mode)) return unreadable(std::strerror(EISDIR));
  if (!S_ISREG(st.st_mode)) return unreadable("not a regular file");
  std::string disk;
  char buf[65536];
  for (;;) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return unreadable(std::strerror(errno));
    if (n == 0) break;
    disk.append(buf, static_cast<std::size_t>(n));
    if (disk.size() > text.size()) return Look::kDiffers;
  }
  return disk == text ? Look::kHolds : Look::kDiffers;
}

int exchange(const std::string& a, const std::string& b) {
  return ::renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_EXCHANGE);
}

WriteResult refused(const std::string& path, Look look, const std::string& why) {
  WriteResult res;
  if (look == Look::kUnreadable) {
    res.error = "cannot read configuration file (" + path + ") to compare it with what was last read or saved: " + why;
    res.unreadable = true;
  } else {
    res.error = "configuration file (" + path + ") changed since it was read";
    res.changed = true;
  }
  return res;
}

}  // namespace

WriteResult writeFileDurably(const std::string& path, std::string_view text, std::optional<std::string_view> expected,
                             const std::function<void()>& beforeSwitch) {
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
  // 3. The file must still be the one the caller knows: looked at after the
  // slow sync, so that an edit already there costs no switch.
  std::string why;
  if (expected) {
    const Look look = compare(path, *expected, why);
    if (look != Look::kHolds) {
      ::unlink(temp.c_str());
      return refused(path, look, why);
    }
  }
  if (beforeSwitch) beforeSwitch();
  // 4. The switch. With an expectation the two names are exchanged and the
  // file taken out is compared again: an edit saved since step 3 is in it
  // and is exchanged back, so no moment between a look and the switch is
  // left in which it could be replaced unseen.
  bool exchanged = false;
  if (expected) {
    if (exchange(temp, path) == 0) {
      const Look look = compare(temp, *expected, why);
      if (look != Look::kHolds) {
        if (exchange(temp, path) != 0)
          return {false, "cannot put back configuration file (" + path + "), it is left at (" + temp + ")" + reason()};
        ::unlink(temp.c_str());
        return refused(path, look, why);
      }
      exchanged = true;
    } else if (errno == ENOENT && !expected->empty()) {
      // Removed since step 3: a change like any other.
      ::unlink(temp.c_str());
      return refused(path, Look::kDiffers, why);
    } else if (errno != EINVAL && errno != ENOSYS && errno != ENOENT) {
      const std::string error = "cannot exchange (" + temp + ") with (" + path + ")" + reason();
      ::unlink(temp.c_str());
      return {false, error};
    }
    // Otherwise a file system (or kernel) that cannot exchange, or no file
    // to exchange with: the rename below, guarded by step 3 alone.
  }
  if (!exchanged && ::rename(temp.c_str(), path.c_str()) != 0) {
    const std::string error = "cannot rename (" + temp + ") to (" + path + ")" + reason();
    ::unlink(temp.c_str());
    return {false, error};
  }
  if (exchanged) ::unlink(temp.c_str());  // the old file, taken out by the exchange
  // 5. The directory entries.
  WriteResult done{true, {}};
  done.warning = syncDirectoryOf(path);
  return done;
}

}  // namespace kovira
