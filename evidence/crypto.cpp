#include "evidence/crypto.h"

#include "core/log.h"

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <map>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct MdCtxFree {
  void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct KeyFree {
  void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct BioFree {
  void operator()(BIO* b) const { BIO_free(b); }
};

using KeyPtr = std::shared_ptr<EVP_PKEY>;

// Null when the bytes hold no PEM private key.
KeyPtr parseKey(const char* key, unsigned int keylen) {
  std::unique_ptr<BIO, BioFree> bio(key ? BIO_new_mem_buf(key, static_cast<int>(keylen)) : nullptr);
  if (!bio) return nullptr;
  EVP_PKEY* pkey = PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr);
  return pkey ? KeyPtr(pkey, KeyFree()) : nullptr;
}

bool signWith(EVP_PKEY* pkey, const char* data, std::size_t len, std::string& sig) {
  std::unique_ptr<EVP_MD_CTX, MdCtxFree> ctx(EVP_MD_CTX_new());
  if (!ctx) {
    log_error("Message Digest Context not created");
    return false;
  }
  // A key that does not parse shows up here: the init has nothing to sign with.
  if (!pkey || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha1(), nullptr, pkey) != 1) {
    log_error("Digest sign not initialised");
    return false;
  }
  static const char empty = 0;
  if (EVP_DigestUpdate(ctx.get(), len ? data : &empty, len) != 1) {
    log_error("Digest sign not updated");
    return false;
  }
  std::size_t siglen = 0;
  if (EVP_DigestSignFinal(ctx.get(), nullptr, &siglen) != 1) {
    log_error("Digest sign not finilised");
    return false;
  }
  std::vector<unsigned char> buffer;
  try {
    buffer.resize(siglen);
  } catch (const std::bad_alloc&) {
    log_error("Memory for digest sign not allocated");
    return false;
  }
  if (EVP_DigestSignFinal(ctx.get(), buffer.data(), &siglen) != 1) {
    log_error("Digest sign not finilized");
    return false;
  }
  sig.append(reinterpret_cast<const char*>(buffer.data()), siglen);
  return true;
}

// What identifies one version of a key file.
struct KeyFileId {
  off_t size = 0;
  timespec mtime{};
  std::array<unsigned char, 32> digest{};

  bool operator==(const KeyFileId& o) const {
    return size == o.size && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
           digest == o.digest;
  }
};

// Key files are a few kilobytes; anything far larger is not a key.
constexpr off_t kMaxKeyFile = 1 << 20;
// Paths remembered at most (the unit has one configured key).
constexpr std::size_t kMaxCachedKeys = 8;

// Reads the whole file and describes it; false when it cannot be read whole.
bool readKeyFile(const std::string& path, std::string& bytes, KeyFileId& id) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st{};
  bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size <= kMaxKeyFile;
  if (ok) {
    bytes.resize(static_cast<std::size_t>(st.st_size));
    std::size_t done = 0;
    while (ok && done < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      ok = n > 0;
      if (ok) done += static_cast<std::size_t>(n);
    }
  }
  ::close(fd);
  if (!ok) return false;
  id.size = st.st_size;
  id.mtime = st.st_mtim;
  unsigned int n = 0;
  static const char empty = 0;
  return EVP_Digest(bytes.empty() ? &empty : bytes.data(), bytes.size(), id.digest.data(), &n, EVP_sha256(),
                    nullptr) == 1;
}

struct CachedKey {
  KeyFileId id;
  KeyPtr key;
};

std::mutex keyCacheMutex;
std::map<std::string, CachedKey> keyCache;  // guarded by keyCacheMutex

}  // namespace

bool simplesign(const char* data, unsigned int len, const char* key, unsigned int keylen, std::string& sig) {
  const KeyPtr pkey = parseKey(key, keylen);
  return signWith(pkey.get(), data, len, sig);
}

bool signWithKeyFile(const std::string& path, const char* data, std::size_t len, std::string& sig) {
  std::string bytes;
  KeyFileId id;
  if (!readKeyFile(path, bytes, id)) return false;
  KeyPtr pkey;
  {
    std::lock_guard lock(keyCacheMutex);
    const auto it = keyCache.find(path);
    if (it != keyCache.end() && it->second.id == id) pkey = it->second.key;
  }
  if (!pkey) {
    pkey = parseKey(bytes.data(), static_cast<unsigned int>(bytes.size()));
    if (pkey) {
      std::lock_guard lock(keyCacheMutex);
      if (keyCache.size() >= kMaxCachedKeys && !keyCache.contains(path)) keyCache.clear();
      keyCache[path] = CachedKey{id, pkey};
    }
  }
  return signWith(pkey.get(), data, len, sig);
}
