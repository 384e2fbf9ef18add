// kovira::ByteRing: the byte memory of one camera's frame store.
//
// Allocated once, 4096-aligned, zero-filled and kept out of child processes
// (MADV_DONTFORK, so a shell command run by the unit does not duplicate
// hundreds of MiB). Capacity is the request rounded down to 4096 plus one
// page of 4096. The writer thread owns the cursors; readers only read
// `write` (distance checks) and the bytes.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace kovira {

struct ByteRing {
  static constexpr std::uint64_t kPage = 4096;

  // Capacity of a ring built for a request of `bytes`.
  static constexpr std::uint64_t capacityFor(std::uint64_t bytes) {
    return bytes / kPage * kPage + kPage;
  }

  // Throws std::logic_error "cannot allocate N bytes" or
  // "cannot set MADV_DONTFORK: <reason>".
  explicit ByteRing(std::uint64_t bytes);
  ~ByteRing();
  ByteRing(const ByteRing&) = delete;
  ByteRing& operator=(const ByteRing&) = delete;

  std::uint8_t* end() const { return base + capacity; }
  bool contains(const std::uint8_t* p) const { return p >= base && p <= base + capacity; }

  std::uint8_t* base = nullptr;
  std::atomic<std::uint8_t*> write{nullptr};  // where the next frame's bytes go
  std::uint8_t* seqStart = nullptr;           // first byte of the current sequence (writer only)
  std::uint8_t* frameStart = nullptr;         // first byte of the last frame (writer only)
  std::uint64_t capacity = 0;
};

// Copies bytes out of a ring while the writer may be overwriting them.
// Such a copy is speculative: the caller re-tests the frame records after
// it and throws the copy away when they changed. The race on the bytes is
// therefore intended, and this is the one place that tells the thread
// sanitizer so.
void copyRingBytes(std::uint8_t* dst, const std::uint8_t* src, std::size_t n);

}  // namespace kovira
