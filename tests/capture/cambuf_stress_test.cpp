// One writer at full speed and three lock-free readers on one frame store.
// Built and run under ThreadSanitizer and AddressSanitizer too
// (the shared sanitizer builds). Every frame carries its index and size in its first
// bytes and a stamp after them, so a reader can tell whether what it copied
// is exactly what a record promised.
#include "capture/cam.h"
#include "capture/sequence.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <latch>
#include <random>
#include <thread>
#include <vector>

namespace kovira {
namespace {

constexpr int kCamId = 700;
constexpr std::uint32_t kHeader = 8;

std::uint8_t stampByte(std::uint32_t index, std::uint64_t k) {
  return static_cast<std::uint8_t>(index * 29u + k * 13u + (k >> 9));
}

void fillFrame(std::vector<std::uint8_t>& out, std::uint32_t index, std::uint32_t size) {
  out.resize(size);
  for (std::uint32_t k = kHeader; k < size; ++k) out[k] = stampByte(index, k);
  std::memcpy(out.data(), &index, 4);
  std::memcpy(out.data() + 4, &size, 4);
}

// Checks bytes that claim to be frame `index`; returns its size or 0.
std::uint32_t checkFrame(const std::uint8_t* bytes, std::uint64_t available, std::uint32_t index) {
  if (available < kHeader) return 0;
  std::uint32_t gotIndex = 0, size = 0;
  std::memcpy(&gotIndex, bytes, 4);
  std::memcpy(&size, bytes + 4, 4);
  if (gotIndex != index || size < kHeader || size > available) return 0;
  for (std::uint32_t k = kHeader; k < size; ++k)
    if (bytes[k] != stampByte(index, k)) return 0;
  return size;
}

struct Failures {
  std::atomic<int> stale{0};      // copied bytes that were not the record's frame
  std::atomic<int> evicted{0};    // a record found that was not the one asked for
  std::atomic<int> badCopies{0};  // a sequence copy that does not hold its frames
  std::atomic<long> copies{0};
  std::atomic<long> frameReads{0};
};

// Writes `frames` frames, and more (up to 20 times as many) until the
// readers got at least one sequence copy: on a loaded machine the readers
// may otherwise be lapped the whole time and test nothing.
void writer(CamBuf& buf, std::atomic<bool>& stop, std::uint32_t frames, const Failures& f) {
  std::mt19937 rng(12345);
  std::vector<std::uint8_t> bytes;
  for (std::uint32_t index = 1; !stop.load(); ++index) {
    if (index > frames && (f.copies.load() > 0 || index > 20 * frames)) break;
    // Past the planned frames without a copy yet: slow down so a reader can
    // cut a sequence before the writer laps it.
    if (index > frames) std::this_thread::sleep_for(std::chrono::microseconds(200));
    const std::uint32_t roll = rng() % 100;
    FrameType type = roll < 8 ? FRAME_I : roll < 90 ? FRAME_P : roll < 95 ? FRAME_GRAY8 : FRAME_B;
    const std::uint32_t size =
        type == FRAME_I ? 6000 + rng() % 14000 : kHeader + rng() % (roll < 50 ? 3000 : 9000);
    fillFrame(bytes, index, size);
    FrameMetadata& rec = buf.addFrame(64, 48, type, index, bytes.data(), size);
    rec.sec = 1000 + index / 25;  // the capture placements fill these after addFrame
    rec.usec = (index % 25) * 40000;
  }
  stop.store(true);
}

// Iterates the whole store and copies every live frame, then re-tests it.
void iteratingReader(CamBuf& buf, std::atomic<bool>& stop, Failures& f) {
  std::vector<std::uint8_t> copy;
  while (!stop.load()) {
    for (auto it = buf.meta().oldest(); it.valid(); it.go_forward()) {
      if (it->position != static_cast<std::uint32_t>(it.position())) f.evicted++;
      const FrameBytes before = it->liveBytes();
      if (!before.present()) continue;
      copy.resize(before.size);
      copyRingBytes(copy.data(), before.data, before.size);
      std::atomic_thread_fence(std::memory_order_acquire);
      const FrameBytes after = it->liveBytes();
      if (!after.present() || after.data != before.data || buf.moveGeneration() % 2 != 0) continue;
      f.frameReads++;
      if (checkFrame(copy.data(), copy.size(), it->position) != before.size) f.stale++;
      (void)it->results().size();
      (void)it->sec.load();
    }
  }
}

// Takes sequences as the decode stage does and checks their copies.
void decodingReader(CamBuf& buf, std::atomic<bool>& stop, Failures& f) {
  while (!stop.load()) {
    FrameSequence seq = findUnprocSeq(kCamId);
    if (!seq.valid()) {
      std::this_thread::yield();
      continue;
    }
    if (seq.data) {
      f.copies++;
      std::uint64_t offset = 0;
      for (std::uint32_t index = seq.first; index < seq.end; ++index) {
        const std::uint32_t size = checkFrame(seq.data.get() + offset, seq.size - offset, index);
        if (size == 0) {
          // A frame of the group that got no bytes is simply absent.
          std::uint32_t gotIndex = 0;
          if (seq.size - offset >= 4) std::memcpy(&gotIndex, seq.data.get() + offset, 4);
          if (gotIndex > index && gotIndex < seq.end) continue;
          if (offset == seq.size) break;
          f.badCopies++;
          break;
        }
        offset += size;
      }
      if (offset != seq.size && checkFrame(seq.data.get() + offset, seq.size - offset, seq.end) !=
                                    seq.size - offset) {
        f.badCopies++;
      }
    }
    seq.setFlags(FRAME_DEC);
    (void)buf.congestion();
  }
}

// Looks frames up by index, cuts on-demand sequences and marks frames.
void lookupReader(Camera& cam, std::atomic<bool>& stop, Failures& f) {
  std::mt19937 rng(99);
  CamBuf& buf = *cam.cambuf;
  while (!stop.load()) {
    const std::uint64_t newest = buf.meta().end();
    const std::uint64_t back = rng() % (CamBuf::kMetaCapacity + 500);
    if (newest <= back + 1) continue;
    const auto index = static_cast<std::uint32_t>(newest - 1 - back);
    const std::uint64_t oldestBefore = buf.meta().begin();
    auto it = buf.frame(index);
    if (it.valid()) {
      // Evicted before the lookup started, yet found: the lookup is wrong.
      if (it->position != index || index < oldestBefore) f.evicted++;
      it->setFlags(FRAME_CNN);
      if (!it->hasFlags(FRAME_SKIP) && rng() % 8 == 0) {
        it->setFlags(FRAME_SKIP);
        it->publishResults({CNN_RESULT{}});
      }
    }
    if (rng() % 16 == 0) {
      FrameSequence seq = getSequence(cam, index);
      if (seq.data && checkFrame(seq.data.get(), seq.size, seq.first) == 0) f.badCopies++;
      (void)buf.framesRemain();
      (void)cam.realfps();
      (void)cam.width();
      (void)timeElapsed(buf, index, index + 10);
    }
  }
}

TEST(FrameStoreStress, ReadersNeverSeeStaleOrEvictedFrames) {
  Camera& cam = addCamera(kCamId, 512 * 1024);
  CamBuf& buf = *cam.cambuf;
  Failures f;
  std::atomic<bool> stop{false};
  const char* scale = std::getenv("KOVIRA_STRESS_FRAMES");
  const std::uint32_t frames = scale ? static_cast<std::uint32_t>(std::atoi(scale)) : 300000;
  std::latch ready(4);
  std::thread readers[] = {
      std::thread([&] { ready.arrive_and_wait(); iteratingReader(buf, stop, f); }),
      std::thread([&] { ready.arrive_and_wait(); decodingReader(buf, stop, f); }),
      std::thread([&] { ready.arrive_and_wait(); lookupReader(cam, stop, f); }),
  };
  ready.arrive_and_wait();
  writer(buf, stop, frames, f);
  for (auto& t : readers) t.join();
  EXPECT_EQ(f.stale.load(), 0);
  EXPECT_EQ(f.evicted.load(), 0);
  EXPECT_EQ(f.badCopies.load(), 0);
  EXPECT_GT(f.copies.load(), 0);
  EXPECT_GT(f.frameReads.load(), 0);
  std::printf("sequence copies %ld, frame reads %ld\n", f.copies.load(), f.frameReads.load());
}

}  // namespace
}  // namespace kovira
