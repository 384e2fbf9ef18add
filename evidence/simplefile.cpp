#include "evidence/simplefile.h"

#include "core/durable.h"
#include "core/log.h"

#include <opencv2/imgcodecs.hpp>
#include <opencv2/imgproc.hpp>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <new>
#include <fstream>
#include <ostream>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::string basename(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// RAII descriptor for the safe write.
class Fd {
 public:
  explicit Fd(int fd) : fd_(fd) {}
  ~Fd() {
    if (fd_ >= 0) ::close(fd_);
  }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  int release() {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

bool writeAll(int fd, const char* data, std::size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    len -= static_cast<std::size_t>(n);
  }
  return true;
}

SaveResult loggedSave(const std::string& path, SaveResult result) {
  if (!result.ok()) log_error("Safe save failed: " + path + ": " + result.error);
  return result;
}

}  // namespace

SimpleFile::SimpleFile(const char* bytes, std::size_t len) { append(bytes, len); }

bool SimpleFile::load(const std::string& path, std::size_t want) {
  updname(path);
  good = false;
  // A directory opens as a stream too, and its "size" is whatever the file
  // system's seek answers (a hash cookie on ext4): no allocation of that.
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return false;
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  if (want == 0) {
    const std::streamoff end = in.tellg();
    if (end < 0) return false;
    want = static_cast<std::size_t>(end);
  }
  in.seekg(0);
  try {
    resize(want);
  } catch (const std::bad_alloc&) {
    return false;  // a size asked for that no file of ours can have
  }
  good = true;
  if (want > 0) in.read(data.get(), static_cast<std::streamsize>(want));
  if (!in) {
    good = false;
    return false;
  }
  return true;
}

void SimpleFile::append(const char* bytes, std::size_t len) {
  if (len == 0) return;
  std::shared_ptr<char[]> block(new char[size + len + 1]);
  if (size > 0) std::memcpy(block.get(), data.get(), size);
  std::memcpy(block.get() + size, bytes, len);
  block[size + len] = '\0';
  data = std::move(block);
  size += len;
}

void SimpleFile::resize(std::size_t n) {
  std::shared_ptr<char[]> block(new char[n + 1]);
  block[n] = '\0';
  data = std::move(block);
  size = n;
}

std::string SimpleFile::str() const {
  if (!data || size == 0) return {};
  return std::string(data.get(), size);
}

void SimpleFile::updname(std::string path) { name = basename(path); }

void SimpleFile::save(std::string path) const {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (out && size > 0 && data) out.write(data.get(), static_cast<std::streamsize>(size));
}

long long SimpleFile::safesave(std::string path) const { return safewrite(path).written; }

SaveResult SimpleFile::safewrite(const std::string& path) const {
  return loggedSave(path, safeWrite(path, size > 0 ? data.get() : nullptr, size));
}

SimpleFile& SimpleFile::operator+=(const SimpleFile& other) {
  if (other.size > 0 && other.data) append(other.data.get(), other.size);
  return *this;
}

bool SimpleFile::operator==(const SimpleFile& other) const {
  if (size == 0) return false;
  if (size != other.size || !data || !other.data) return false;
  return std::memcmp(data.get(), other.data.get(), size) == 0;
}

SimpleFile operator+(const SimpleFile& a, const SimpleFile& b) {
  SimpleFile out;
  out += a;
  out += b;
  return out;
}

std::ostream& operator<<(std::ostream& os, const SimpleFile& f) {
  if (f.size == 0) return os;
  if (!f.data) {
    os.setstate(std::ios::badbit);
    return os;
  }
  return os << f.data.get();
}

// dir/name -> dir/.name~ ; name -> .name~
std::string safeTemporaryOf(const std::string& path) {
  const auto slash = path.rfind('/');
  const std::size_t cut = slash == std::string::npos ? 0 : slash + 1;
  return path.substr(0, cut) + "." + path.substr(cut) + "~";
}

bool isLeftoverTemporary(const std::string& name) {
  // "." digits "." extension "~": the ids of archives and scratch copies.
  if (name.size() < 5 || name.front() != '.' || name.back() != '~') return false;
  const std::string inner = name.substr(1, name.size() - 2);
  const auto dot = inner.find('.');
  if (dot == 0 || dot == std::string::npos || dot + 1 == inner.size()) return false;
  for (std::size_t i = 0; i < inner.size(); ++i) {
    const unsigned char ch = static_cast<unsigned char>(inner[i]);
    if (i < dot ? !std::isdigit(ch) : (i > dot && !std::isalnum(ch))) return false;
  }
  return true;
}

SaveResult safeWrite(const std::string& path, const char* bytes, std::size_t len) {
  const std::string tmp = safeTemporaryOf(path);
  auto failed = [&](const char* step, const std::string& file) {
    SaveResult r{-1, std::string(step) + " " + file + ": " + std::strerror(errno)};
    // Once created, the hidden file goes with the failure: on a full disk
    // its partial bytes would hold the space the next archive needs.
    if (std::strcmp(step, "open") != 0) ::unlink(tmp.c_str());
    return r;
  };
  Fd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  if (fd.get() < 0) return failed("open", tmp);
  if (len > 0 && bytes == nullptr) {
    errno = EINVAL;
    return failed("write", tmp);
  }
  if (len > 0 && !writeAll(fd.get(), bytes, len)) return failed("write", tmp);
  if (::fsync(fd.get()) < 0) return failed("sync", tmp);
  if (::close(fd.release()) < 0) return failed("close", tmp);
  if (std::rename(tmp.c_str(), path.c_str()) != 0) return failed("rename to", path);
  // A stored archive that is not uploaded yet must survive a power cut: the
  // new directory entry goes to disk too. The bytes are already in place, so
  // a directory that cannot be synced is a warning, not a failed save.
  const std::string unsynced = syncDirectoryOf(path);
  if (!unsynced.empty()) log_warning(unsynced);
  return {static_cast<long long>(len), {}};
}

long long safeSave(std::string path, const char* bytes, std::size_t len) {
  return loggedSave(path, safeWrite(path, bytes, len)).written;
}

SimpleFile loadCvImage(cv::Mat& image, std::string filename, int quality) {
  cv::Mat work = image;  // header copy: conversions below make new pixels
  if (work.channels() == 4) {
    cv::Mat bgr;
    cv::cvtColor(work, bgr, cv::COLOR_BGRA2BGR);
    cv::cvtColor(bgr, work, cv::COLOR_BGR2RGB);
  } else if (work.channels() == 3 && filename.find("grayscale") != std::string::npos) {
    cv::Mat grey;
    cv::cvtColor(work, grey, cv::COLOR_RGB2GRAY);
    work = grey;
  }
  const std::vector<int> params{cv::IMWRITE_JPEG_QUALITY, quality};
  if (work.empty()) return {};
  // The encoder's output stays with the thread (warm pages, grown once); the
  // result gets a pooled buffer of its size, also warm.
  thread_local std::vector<unsigned char> encoded;
  encoded.clear();
  try {
    if (filename.find("png") != std::string::npos) cv::imencode(".png", work, encoded, params);
    if (filename.find("jpg") != std::string::npos || filename.find("jpeg") != std::string::npos) {
      cv::imencode(".jpg", work, encoded, params);
    }
  } catch (const cv::Exception& e) {
    log_error_format("Image encoding failed: %s", e.what());
    return {};
  }
  if (encoded.empty()) return {};
  std::vector<unsigned char> result = takeEvidenceBuffer(EvidenceBuffer::Picture, encoded.size() + 1);
  result.clear();
  result.reserve(encoded.size() + 1);  // with the NUL: no second move in adopt
  result.assign(encoded.begin(), encoded.end());
  SimpleFile out = SimpleFile::adopt(std::move(result), encoded.size(), EvidenceBuffer::Picture);
  out.updname(filename);
  return out;
}

namespace {

// Opens path, sizes it and reads it into a malloc'ed block.
void* loadWhole(const char* path, long& length, std::size_t& got) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return nullptr;
  std::fseek(f, 0, SEEK_END);
  length = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  if (length < 0) {
    std::fclose(f);
    return nullptr;
  }
  void* block = std::malloc(length > 0 ? static_cast<std::size_t>(length) : 1);
  if (!block) {
    std::fclose(f);
    return nullptr;
  }
  got = std::fread(block, 1, static_cast<std::size_t>(length), f);
  std::fclose(f);
  return block;
}

}  // namespace

void* LoadFile(const char* path, std::size_t& size) {
  long length = 0;
  std::size_t got = 0;
  void* block = loadWhole(path, length, got);
  if (block) size = got;
  return block;
}

int SaveFile(const char* path, const char* bytes, std::size_t len) {
  std::FILE* f = std::fopen(path, "wb");
  if (!f) {
    log_error_format("File not open: %s", path);
    return 0;
  }
  const bool written = len == 0 || std::fwrite(bytes, len, 1, f) == 1;
  const bool closed = std::fclose(f) == 0;
  if (!written || !closed) {
    log_error_format("File writing error: %s", path);
    return 0;
  }
  return 1;
}

void* LoadImage(const char* path, unsigned int& size) {
  long length = 0;
  std::size_t got = 0;
  void* block = loadWhole(path, length, got);
  if (block) size = static_cast<unsigned int>(length);
  return block;
}
