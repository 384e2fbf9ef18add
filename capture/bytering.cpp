#include "capture/bytering.h"

#include <sys/mman.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#if defined(__SANITIZE_THREAD__)
extern "C" void AnnotateIgnoreReadsBegin(const char* file, int line);
extern "C" void AnnotateIgnoreReadsEnd(const char* file, int line);
#endif

namespace kovira {

ByteRing::ByteRing(std::uint64_t bytes) : capacity(capacityFor(bytes)) {
  // A mapping of its own rather than heap memory: MADV_DONTFORK on heap
  // pages would, once the ring is freed, hand pages that children do not
  // inherit back to the allocator for unrelated objects.
  void* memory = mmap(nullptr, capacity, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (memory == MAP_FAILED) {
    throw std::logic_error("cannot allocate " + std::to_string(capacity) + " bytes");
  }
  if (madvise(memory, capacity, MADV_DONTFORK) != 0) {
    const int err = errno;
    munmap(memory, capacity);
    throw std::logic_error(std::string("cannot set MADV_DONTFORK: ") + std::strerror(err));
  }
  base = static_cast<std::uint8_t*>(memory);
  std::memset(base, 0, capacity);
  write.store(base);
  seqStart = base;
  frameStart = base;
}

ByteRing::~ByteRing() { munmap(base, capacity); }

void copyRingBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n) {
#if defined(__SANITIZE_THREAD__)
  AnnotateIgnoreReadsBegin(__FILE__, __LINE__);
  std::memcpy(dst, src, n);
  AnnotateIgnoreReadsEnd(__FILE__, __LINE__);
#else
  std::memcpy(dst, src, n);
#endif
}

}  // namespace kovira
