#include "evidence/tar.h"

#include "core/log.h"

#include <libtar.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <sys/stat.h>

// Our I/O table must be usable as libtar's tartype_t.
static_assert(sizeof(tartype_t) == 4 * sizeof(void*));

namespace {

constexpr std::size_t kBlock = T_BLOCKSIZE;
constexpr long kEndOfArchive = 2 * T_BLOCKSIZE;
constexpr mode_t kMemberMode = 0644;
constexpr uid_t kMemberUid = 1000;
constexpr gid_t kMemberGid = 1000;

// Header block offsets (POSIX ustar layout).
constexpr std::size_t kNameOff = 0, kNameLen = 100;
constexpr std::size_t kSizeOff = 124, kSizeLen = 12;
constexpr std::size_t kTypeOff = 156;
constexpr std::size_t kMagicOff = 257;
constexpr std::size_t kPrefixOff = 345, kPrefixLen = 155;

struct MapEntry {
  Tar* tar;
  int fd;
};

// The descriptor table. Deliberately never destroyed: a detached worker may
// still be inside a write hook while static destructors run.
struct MapIO {
  std::mutex mutex;
  std::vector<MapEntry> entries;  // guarded by mutex
  std::uint32_t counter = 0;      // guarded by mutex
};

MapIO& mapIO() {
  static MapIO* table = new MapIO;
  return *table;
}

// libtar's header filling looks user and group names up with getpwuid and
// getgrgid, which share static buffers: four workers build archives at once,
// so header building is serialised.
std::mutex& headerMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}

TAR* tarOf(void* handle) { return static_cast<TAR*>(handle); }

// The header fields every member shares (type, mode, owner ids and names),
// filled once by libtar: its owner lookups read the user and group
// databases, several files, at every call. Called with headerMutex held.
const tar_header& sharedHeaderFields(TAR* t) {
  static tar_header* fields = nullptr;
  if (fields == nullptr) {
    std::memset(&t->th_buf, 0, sizeof t->th_buf);
    struct stat st{};
    st.st_mode = S_IFREG;
    th_set_from_stat(t, &st);
    th_set_mode(t, kMemberMode);
    th_set_user(t, kMemberUid);
    th_set_group(t, kMemberGid);
    fields = new tar_header(t->th_buf);
  }
  return *fields;
}

// A bounded octal field: leading blanks, then octal digits up to the end
// of the field (what "%lo" reads, without running past the field).
bool parseOctal(const char* field, std::size_t len, std::uint64_t& out) {
  std::size_t i = 0;
  while (i < len && field[i] == ' ') ++i;
  std::uint64_t v = 0;
  bool any = false;
  for (; i < len && field[i] >= '0' && field[i] <= '7'; ++i) {
    v = v * 8 + static_cast<std::uint64_t>(field[i] - '0');
    any = true;
  }
  out = v;
  return any;
}

std::string boundedText(const char* field, std::size_t len) {
  return std::string(field, strnlen(field, len));
}

}  // namespace

Tar::Tar() { initialise(); }

Tar::Tar(const char* bytes, int len) {
  initialise();
  if (open_ && bytes && len > 0) put(bytes, static_cast<std::size_t>(len));
}

void Tar::initialise() {
  bytes_ = takeEvidenceBuffer(EvidenceBuffer::Archive);
  open_ = true;
  {
    MapIO& map = mapIO();
    std::lock_guard lock(map.mutex);
    fd_ = static_cast<int>(++map.counter);
    map.entries.push_back({this, fd_});
  }
  io_.closefunc = &Tar::CloseWarp;
  io_.writefunc = &Tar::WriteWarp;
  TAR* t = nullptr;
  if (tar_fdopen(&t, fd_, nullptr, reinterpret_cast<tartype_t*>(&io_), O_WRONLY, 2, TAR_GNU) != 0) {
    log_error("Tar: archive handle not opened");
    t = nullptr;
  }
  handle_ = t;
}

Tar::~Tar() {
  if (TAR* t = tarOf(handle_)) {
    free_longlink_longname(t->th_buf);
    t->th_buf.gnu_longname = nullptr;
    t->th_buf.gnu_longlink = nullptr;
    tar_close(t);
  }
  giveEvidenceBuffer(std::move(bytes_), EvidenceBuffer::Archive);
  if (fd_ != 0) {
    MapIO& map = mapIO();
    std::lock_guard lock(map.mutex);
    std::erase_if(map.entries, [this](const MapEntry& e) { return e.fd == fd_; });
  }
}

bool Tar::add(const std::string& name, const char* bytes, int len) {
  TAR* t = tarOf(handle_);
  if (!open_ || !t) {
    log_error_format("Tar: no archive to add %s to", name.c_str());
    return false;
  }
  if (len < 0 || (len > 0 && !bytes)) {
    log_error_format("Tar: invalid member %s", name.c_str());
    return false;
  }
  // Step back over the end-of-archive pair of the previous add.
  if (pos_ > 0) {
    if (pos_ < static_cast<std::size_t>(kEndOfArchive)) {
      log_error_format("Tar: %zu bytes are no archive to add %s to (an archive ends in %d zero bytes)", pos_,
                       name.c_str(), static_cast<int>(kEndOfArchive));
      return false;
    }
    pos_ -= static_cast<std::size_t>(kEndOfArchive);
  }

  {
    std::lock_guard lock(headerMutex());
    // A long name of the previous member left a heap copy in the record.
    free_longlink_longname(t->th_buf);
    t->th_buf = sharedHeaderFields(t);
    timespec ts{};
    timespec_get(&ts, TIME_UTC);
    th_set_mtime(t, static_cast<int>(ts.tv_sec));
    th_set_size(t, len);
    th_set_path(t, name.c_str());
  }
  if (th_write(t) != 0) {
    log_error_format("Tar: header of %s not written", name.c_str());
    return false;
  }
  if (len > 0) {
    static const char zeros[kBlock] = {};
    const std::size_t n = static_cast<std::size_t>(len);
    put(bytes, n);
    if (n % kBlock != 0) put(zeros, kBlock - n % kBlock);
  }
  if (tar_append_eof(t) != 0) {
    log_error_format("Tar: end of archive after %s not written", name.c_str());
    return false;
  }
  return true;
}

void Tar::clear() {
  pos_ = 0;
}

SimpleFile Tar::take() {
  SimpleFile out = SimpleFile::adopt(std::move(bytes_), size_, EvidenceBuffer::Archive);
  bytes_ = {};
  pos_ = 0;
  size_ = 0;
  return out;
}

std::vector<TarObj> Tar::files() const {
  std::vector<TarObj> out;
  const std::size_t total = size_;
  std::size_t off = 0;
  while (off + kBlock <= total) {
    const char* h = data() + off;
    if (std::all_of(h, h + kBlock, [](char c) { return c == 0; })) break;
    if (std::memcmp(h + kMagicOff, "ustar", 5) != 0) break;
    std::uint64_t len = 0;
    if (!parseOctal(h + kSizeOff, kSizeLen, len)) break;
    const std::size_t dataOff = off + kBlock;
    if (len > total - dataOff) break;  // member runs past the archive
    const char type = h[kTypeOff];
    if (type == '0' || type == '\0') {
      TarObj obj;
      obj.path = boundedText(h + kNameOff, kNameLen);
      const std::string prefix = boundedText(h + kPrefixOff, kPrefixLen);
      if (!prefix.empty()) obj.path = prefix + "/" + obj.path;
      const auto slash = obj.path.rfind('/');
      obj.name = slash == std::string::npos ? obj.path : obj.path.substr(slash + 1);
      obj.data = data() + dataOff;
      obj.size = len;
      out.push_back(std::move(obj));
    }
    const std::uint64_t padded = (len + kBlock - 1) / kBlock * kBlock;
    if (padded > total - dataOff) break;
    off = dataOff + static_cast<std::size_t>(padded);
  }
  return out;
}

int Tar::CloseWarp(int) { return 0; }

ssize_t Tar::WriteWarp(int fd, const void* buf, std::size_t len) {
  Tar* target = nullptr;
  {
    MapIO& map = mapIO();
    std::lock_guard lock(map.mutex);
    for (const MapEntry& e : map.entries) {
      if (e.fd == fd) {
        target = e.tar;
        break;
      }
    }
  }
  if (!target) return -1;
  return target->Write(fd, buf, len);
}

ssize_t Tar::Write(int, const void* buf, std::size_t len) {
  if (!open_) return -1;
  try {
    put(buf, len);
  } catch (const std::bad_alloc&) {
    return -1;  // libtar's C frames must not see an exception
  }
  return static_cast<ssize_t>(len);
}

void Tar::put(const void* buf, std::size_t len) {
  if (len == 0) return;
  if (bytes_.size() - pos_ < len) {
    // Grown by half, so a large member costs one or two moves while the
    // finished archive (take()) keeps little unused room.
    const std::size_t need = pos_ + len;
    if (need > bytes_.capacity()) bytes_.reserve(std::max(need, bytes_.capacity() + bytes_.capacity() / 2));
    bytes_.resize(bytes_.capacity());
  }
  std::memcpy(bytes_.data() + pos_, buf, len);
  pos_ += len;
  size_ = pos_;
}
