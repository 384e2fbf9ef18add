#include "codec/decodedframe.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <stdexcept>

namespace kovira {

namespace {
constexpr std::uint32_t fourcc(char a, char b, char c, char d) {
  return static_cast<std::uint32_t>(a) | static_cast<std::uint32_t>(b) << 8 | static_cast<std::uint32_t>(c) << 16 |
         static_cast<std::uint32_t>(d) << 24;
}
// Picture buffers come back here when the last copy of their picture goes,
// so a stream of pictures of one size reuses warm memory instead of faulting
// in megabytes of fresh pages for every picture. Bounded: a buffer returned
// beyond kHeldBytes is freed. Any thread.
class PixelPool {
 public:
  static constexpr std::size_t kHeldBytes = 64u << 20;

  std::shared_ptr<std::uint8_t[]> take(std::size_t bytes) {
    std::uint8_t* p = nullptr;
    {
      std::lock_guard lock(mutex_);
      auto it = free_.find(bytes);
      if (it != free_.end()) {
        p = it->second;
        free_.erase(it);
        held_ -= bytes;
      }
    }
    if (p == nullptr) p = new std::uint8_t[bytes];
    return std::shared_ptr<std::uint8_t[]>(p, [this, bytes](std::uint8_t* q) { give(q, bytes); });
  }

 private:
  void give(std::uint8_t* p, std::size_t bytes) {
    {
      std::lock_guard lock(mutex_);
      if (held_ + bytes <= kHeldBytes) {
        free_.emplace(bytes, p);
        held_ += bytes;
        return;
      }
    }
    delete[] p;
  }

  std::mutex mutex_;
  std::multimap<std::size_t, std::uint8_t*> free_;  // guarded by mutex_; size -> buffer
  std::size_t held_ = 0;                            // guarded by mutex_
};

// Never destroyed: pictures may still be released during static destruction.
PixelPool& pixelPool() {
  static PixelPool* pool = new PixelPool;
  return *pool;
}

}  // namespace

PixelFormat pixFmt(std::uint32_t code) {
  if (code == fourcc('A', 'R', '2', '4')) return PixelAR24;
  if (code == fourcc('X', 'R', '2', '4')) return PixelXR24;
  return PixelGray8;
}

int DecodedFrame::getBpp(PixelFormat f) {
  switch (f) {
    case PixelGray8:
    case PixelGray8Alt: return 1;
    case PixelAR24:
    case PixelXR24: return 4;
  }
  throw std::logic_error("DecodedFrame> Unsupported pixel pormat");
}

DecodedFrame::DecodedFrame(int camid_, unsigned frame_, PixelFormat format_, int width_, int height_,
                           const std::uint8_t* src, std::size_t stride)
    : frame(frame_), camid(camid_), width(width_), height(height_), format(format_) {
  if (!src || width <= 0 || height <= 0) return;
  const std::size_t row = static_cast<std::size_t>(width) * static_cast<std::size_t>(getBpp(format));
  const std::size_t total = row * static_cast<std::size_t>(height);
  pixels = pixelPool().take(total);
  const std::size_t step = std::max(row, stride);
  for (int r = 0; r < height; ++r) std::memcpy(pixels.get() + r * row, src + r * step, row);
  size = static_cast<std::int64_t>(total);
}

DecodedFrame::DecodedFrame(int camid_, unsigned frame_, PixelFormat format_, int width_, int height_,
                           std::shared_ptr<std::uint8_t[]> packed, std::uint64_t bytes)
    : frame(frame_), camid(camid_), width(width_), height(height_), format(format_) {
  if (!packed || width <= 0 || height <= 0) return;
  const std::uint64_t need = static_cast<std::uint64_t>(width) * static_cast<std::uint64_t>(height) *
                             static_cast<std::uint64_t>(getBpp(format));
  if (need > bytes) return;
  pixels = std::move(packed);
  size = static_cast<std::int64_t>(need);
}

}  // namespace kovira
