// The evidence buffer pool and SimpleFile's adoption of its buffers. A file
// of its own: the archive writer uses both and is also built alone (the
// sanitizer build of its test).
#include "evidence/simplefile.h"

#include <algorithm>
#include <cstring>
#include <mutex>
#include <utility>

namespace {

// Idle buffers of one use. The bound holds the pictures or the archive of
// an event for each of the four workers several times over.
class BufferPool {
 public:
  static constexpr std::size_t kHeldBytes = 16u << 20;

  // The smallest buffer with room for `need` bytes; without one (or for
  // need 0) the largest, so a growing piece rarely has to move.
  std::vector<unsigned char> take(std::size_t need) {
    std::vector<unsigned char> out;
    std::lock_guard lock(mutex_);
    if (free_.empty()) return out;
    auto best = free_.end();
    if (need > 0) {
      for (auto it = free_.begin(); it != free_.end(); ++it)
        if (it->capacity() >= need && (best == free_.end() || it->capacity() < best->capacity())) best = it;
    }
    if (best == free_.end()) {
      best = free_.begin();
      for (auto it = free_.begin(); it != free_.end(); ++it)
        if (it->capacity() > best->capacity()) best = it;
    }
    out.swap(*best);
    held_ -= out.capacity();
    free_.erase(best);
    return out;
  }

  void give(std::vector<unsigned char>&& buffer) {
    if (buffer.capacity() == 0) return;
    std::lock_guard lock(mutex_);
    if (held_ + buffer.capacity() > kHeldBytes) return;  // freed by the caller's vector
    held_ += buffer.capacity();
    free_.push_back(std::move(buffer));
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<unsigned char>> free_;  // guarded by mutex_
  std::size_t held_ = 0;                          // guarded by mutex_; capacity of free_
};

// Never destroyed: archives may still be released during static destruction.
BufferPool& bufferPool(EvidenceBuffer use) {
  static BufferPool* pools = new BufferPool[2];
  return pools[use == EvidenceBuffer::Picture ? 0 : 1];
}

}  // namespace

std::vector<unsigned char> takeEvidenceBuffer(EvidenceBuffer use, std::size_t need) {
  return bufferPool(use).take(need);
}

void giveEvidenceBuffer(std::vector<unsigned char>&& buffer, EvidenceBuffer use) {
  bufferPool(use).give(std::move(buffer));
}

SimpleFile SimpleFile::adopt(std::vector<unsigned char>&& buffer, std::size_t len, EvidenceBuffer use) {
  len = std::min(len, buffer.size());
  constexpr std::size_t kSlack = 4096;
  if (buffer.capacity() > len + len / 2 + kSlack) {
    SimpleFile copy;
    copy.data = std::shared_ptr<char[]>(new char[len + 1]);
    if (len > 0) std::memcpy(copy.data.get(), buffer.data(), len);
    copy.data[len] = '\0';
    copy.size = len;
    giveEvidenceBuffer(std::move(buffer), use);
    return copy;
  }
  if (buffer.size() == len) {
    buffer.reserve(len + 1);  // exactly: a doubled buffer would come back as one too large to keep
    buffer.push_back(0);
  }
  buffer[len] = 0;
  auto holder = std::shared_ptr<std::vector<unsigned char>>(new std::vector<unsigned char>(std::move(buffer)),
                                                           [use](std::vector<unsigned char>* b) {
                                                             giveEvidenceBuffer(std::move(*b), use);
                                                             delete b;
                                                           });
  SimpleFile out;
  out.data = std::shared_ptr<char[]>(holder, reinterpret_cast<char*>(holder->data()));
  out.size = len;
  return out;
}
