#include "core/durable.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

std::string syncDirectoryOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return "cannot sync directory (" + dir + "): " + std::strerror(errno);
  std::string error;
  if (::fsync(fd) != 0) error = "cannot sync directory (" + dir + "): " + std::strerror(errno);
  ::close(fd);
  return error;
}
