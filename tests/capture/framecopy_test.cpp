// The frame-copy helper: which copies it hands out and which it refuses,
// and readers copying while the writer wraps a small ring (also run under
// ThreadSanitizer: a torn copy handed out as Copied is the fault sought).
#include "capture/cambuf.h"
#include "capture/framecopy.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <thread>
#include <vector>

namespace kovira {
namespace {

constexpr int kW = 100;
constexpr int kH = 40;
constexpr std::uint64_t kRing = 40 * 1024;  // 44 KiB: eleven 4000-byte frames

std::uint8_t stamp(std::uint32_t index, std::size_t k) {
  return static_cast<std::uint8_t>(index * 31u + k * 7u + (k >> 8));
}

std::uint32_t addStamped(CamBuf& buf, FrameType type = FRAME_GRAY8, std::size_t size = kW * kH) {
  const std::uint32_t index = static_cast<std::uint32_t>(buf.meta().end());
  std::vector<std::uint8_t> bytes(size);
  for (std::size_t k = 0; k < size; ++k) bytes[k] = stamp(index, k);
  return buf.addFrame(kW, kH, type, 0, bytes.data(), size).position;
}

bool holdsStamp(const FrameCopy& copy) {
  for (int row = 0; row < copy.region.height; ++row)
    for (int col = 0; col < copy.region.width; ++col) {
      const std::size_t k = static_cast<std::size_t>(copy.region.y + row) * kW + copy.region.x + col;
      if (copy.bytes[static_cast<std::size_t>(row * copy.region.width + col)] != stamp(copy.position, k))
        return false;
    }
  return true;
}

struct Case {
  const char* name;
  // Fills the store and returns the frame to copy.
  std::function<std::uint32_t(CamBuf&)> setup;
  std::function<void(CamBuf&)> during;  // between the copy and the second look
  bool greyOnly;
  FrameRect region;  // empty: whole frame
  FrameCopyStatus expected;
};

TEST(FrameCopyHelper, CopiesOnlyBytesTheRecordStillHoldsAfterwards) {
  const auto nothing = [](CamBuf&) {};
  const auto wrap = [](CamBuf& b) {
    for (int i = 0; i < 12; ++i) addStamped(b);
  };
  const std::vector<Case> cases = {
      {"whole grey", [](CamBuf& b) { return addStamped(b); }, nothing, true, {}, FrameCopyStatus::Copied},
      {"region clipped to the picture", [](CamBuf& b) { return addStamped(b); }, nothing, true, {-5, 30, 20, 50},
       FrameCopyStatus::Copied},
      {"region beside the picture", [](CamBuf& b) { return addStamped(b); }, nothing, true, {kW, 0, 5, 5},
       FrameCopyStatus::WrongType},
      {"region near int overflow", [](CamBuf& b) { return addStamped(b); }, nothing, true,
       {2147483000, 2147483000, 2147483000, 2147483000}, FrameCopyStatus::WrongType},
      {"evicted bytes",
       [&](CamBuf& b) {
         const std::uint32_t first = addStamped(b);
         wrap(b);
         return first;
       },
       nothing, true, {}, FrameCopyStatus::Gone},
      {"writer within the margin",
       [](CamBuf& b) {
         const std::uint32_t first = addStamped(b);
         for (int i = 0; i < 9; ++i) addStamped(b);
         return first;
       },
       nothing, true, {}, FrameCopyStatus::Overwritten},
      {"overwritten during the copy", [](CamBuf& b) { return addStamped(b); }, wrap, true, {},
       FrameCopyStatus::Overwritten},
      {"group moved during the copy",
       [](CamBuf& b) {
         for (int i = 0; i < 8; ++i) addStamped(b);
         return addStamped(b, FRAME_I, 3000);
       },
       [](CamBuf& b) {
         for (int i = 0; i < 6; ++i) addStamped(b, FRAME_P, 2000);  // no room at the end: the group moves
       },
       false, {}, FrameCopyStatus::Overwritten},
      {"grey shorter than width x height", [](CamBuf& b) { return addStamped(b, FRAME_GRAY8, kW * kH - 1); },
       nothing, true, {}, FrameCopyStatus::WrongType},
      {"colour refused as grey", [](CamBuf& b) { return addStamped(b, FRAME_RGB24); }, nothing, true, {},
       FrameCopyStatus::WrongType},
      {"colour copied whole", [](CamBuf& b) { return addStamped(b, FRAME_RGB24); }, nothing, false, {},
       FrameCopyStatus::Copied},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CamBuf store(kRing);
    const std::uint32_t index = c.setup(store);
    const SmartBufferIterator it = store.frame(index);
    ASSERT_TRUE(it.valid());
    FrameCopy copy;
    copy.bytes.assign(16, 0xEE);  // a caller's old bytes never pass as a copy
    const auto during = [&] { c.during(store); };
    const FrameCopyStatus status = c.region.empty() ? copyFrame(store, *it, copy, c.greyOnly, during)
                                                    : copyGreyRegion(store, *it, c.region, copy, during);
    EXPECT_EQ(status, c.expected);
    if (status != FrameCopyStatus::Copied) {
      EXPECT_TRUE(copy.bytes.empty());
      continue;
    }
    EXPECT_EQ(copy.position, index);
    if (c.region.empty()) {
      ASSERT_EQ(copy.bytes.size(), it->size.load());
      for (std::size_t k = 0; k < copy.bytes.size(); ++k) ASSERT_EQ(copy.bytes[k], stamp(index, k)) << k;
    } else {
      EXPECT_EQ(copy.region.x, 0);
      EXPECT_EQ(copy.region.width, 15);
      EXPECT_EQ(copy.region.height, kH - 30);
      EXPECT_TRUE(holdsStamp(copy));
    }
  }
}

TEST(FrameCopyHelper, EightReadersNeverSeeTornBytesWhileTheWriterWraps) {
  CamBuf store(kRing);
  const long wraps = std::getenv("KOVIRA_FRAMECOPY_WRAPS") ? std::atol(std::getenv("KOVIRA_FRAMECOPY_WRAPS")) : 1000;
  std::atomic<bool> stop{false};
  std::atomic<long> copied{0};
  std::atomic<long> torn{0};
  std::atomic<long> attempts{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 8; ++r) {
    readers.emplace_back([&, r] {
      FrameCopy copy;
      for (std::uint64_t n = 0; !stop.load(); ++n) {
        const std::uint64_t end = store.meta().end();
        if (end < 2) continue;
        const std::uint64_t back = 1 + (n + static_cast<std::uint64_t>(r)) % 10;
        if (end <= back) continue;
        const SmartBufferIterator it = store.frame(static_cast<std::uint32_t>(end - back));
        if (!it.valid()) continue;
        attempts.fetch_add(1);
        const FrameCopyStatus status = (n & 1) ? copyFrame(store, *it, copy, true)
                                               : copyGreyRegion(store, *it, {10, 5, 30, 20}, copy);
        if (status != FrameCopyStatus::Copied) continue;
        copied.fetch_add(1);
        if (!holdsStamp(copy)) torn.fetch_add(1);
      }
    });
  }
  // Frames per wrap: eleven; go on (within a bound) until the readers copied
  // some, so that a starved reader on a loaded machine still tests something.
  const long frames = wraps * 11;
  for (long i = 0; i < frames * 20 && (i < frames || copied.load() < 100); ++i) addStamped(store);
  stop = true;
  for (auto& t : readers) t.join();
  EXPECT_GT(copied.load(), 0);
  EXPECT_EQ(torn.load(), 0) << "of " << copied.load() << " copies, " << attempts.load() << " attempts";
}

}  // namespace
}  // namespace kovira
