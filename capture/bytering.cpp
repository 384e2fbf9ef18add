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
  void* memory = std::aligned_alloc(kPage, capacity);
  if (memory == nullptr) {
    throw std::logic_error("cannot allocate " + std::to_string(capacity) + " bytes");
  }
  if (madvise(memory, capacity, MADV_DONTFORK) != 0) {
    const int err = errno;
    std::free(memory);
    throw std::logic_error(std::string("cannot set MADV_DONTFORK: ") + std::strerror(err));
  }
  base = static_cast<std::uint8_t*>(memory);
  std::memset(base, 0, capacity);
  write.store(base);
  seqStart = base;
  frameStart = base;
}

ByteRing::~ByteRing() { std::free(base); }

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
