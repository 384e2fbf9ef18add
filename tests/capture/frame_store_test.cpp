// Frame records, the metadata ring and the frame store's counters; the
// placement and overwrite rules are checked against a reference model in
// cambuf_property_test.cpp.
#include "capture/cambuf.h"

#include <gtest/gtest.h>

#include <cstring>
#include <latch>
#include <thread>
#include <vector>

namespace kovira {
namespace {

std::vector<std::uint8_t> filled(std::size_t n, std::uint8_t value) {
  return std::vector<std::uint8_t>(n, value);
}

FrameMetadata& add(CamBuf& buf, FrameType type, std::size_t size, std::uint8_t value = 1) {
  const auto bytes = filled(size, value);
  return buf.addFrame(8, 4, type, 0, bytes.data(), size);
}

TEST(FrameMetadata, CopiesScalarsAndReadingsAndPublishesReadingsOnce) {
  FrameMetadata rec;
  rec.type = FRAME_P;
  rec.width = 640;
  rec.flags = FRAME_DEC;
  CNN_RESULT reading{};
  std::strcpy(reading.text, "A123BC77");
  EXPECT_TRUE(rec.publishResults({reading, reading}));
  EXPECT_FALSE(rec.publishResults({reading}));
  FrameMetadata copy = rec;
  EXPECT_EQ(copy.type, FRAME_P);
  EXPECT_EQ(copy.width, 640);
  ASSERT_EQ(copy.resultCount(), 2u);
  EXPECT_STREQ(copy.results()[1].text, "A123BC77");
  EXPECT_NE(copy.results().data(), rec.results().data());
}

TEST(FrameMetadata, ConcurrentFlagBitsAreAllKept) {
  FrameMetadata rec;
  constexpr int kRounds = 20000;
  std::vector<FrameMetadata> recs(kRounds);
  std::latch go(2);
  auto setter = [&](std::uint32_t bit) {
    go.arrive_and_wait();
    for (auto& r : recs) r.setFlags(bit);
  };
  std::thread a(setter, FRAME_DEC), b(setter, FRAME_CNN);
  a.join();
  b.join();
  for (const auto& r : recs) ASSERT_EQ(r.flags, FRAME_DEC | FRAME_CNN);
}

TEST(SmartBuffer, EvictsOldestAndFindsOnlyRetainedPositions) {
  SmartBuffer buf(1000, 1);
  FrameMetadata rec;
  for (int i = 0; i < 1001; ++i) buf.push_back(rec);
  EXPECT_EQ(buf.begin(), 2u);
  EXPECT_EQ(buf.end(), 1002u);
  EXPECT_FALSE(buf.find(1).valid());
  EXPECT_TRUE(buf.find(2).valid());
  EXPECT_EQ(buf.find(1001)->position, 1001u);
  EXPECT_TRUE(buf.find(1002).isEnd());
  FrameMetadata out;
  EXPECT_FALSE(buf.find(1, out));
  EXPECT_TRUE(buf.find(600, out));
  EXPECT_EQ(out.position, 600u);
  EXPECT_EQ(buf.slotCount(), 3u);
}

TEST(SmartBuffer, IteratorHeldAcrossEvictionStepsToOldestOrBeforeBegin) {
  SmartBuffer buf(600, 1);
  FrameMetadata rec;
  for (int i = 0; i < 600; ++i) buf.push_back(rec);
  auto held = buf.find(3);
  ASSERT_TRUE(held.valid());
  for (int i = 0; i < 1200; ++i) buf.push_back(rec);  // evicts frame 3 and its page
  EXPECT_EQ(held->position, 3u) << "the held page stays alive";
  auto forward = held;
  forward.go_forward();
  ASSERT_TRUE(forward.valid());
  EXPECT_EQ(forward.position(), buf.begin());
  EXPECT_EQ(forward->position, buf.begin());
  auto backward = held;
  backward.go_backward();
  EXPECT_TRUE(backward.isBeforeBegin());
  backward.go_forward();
  EXPECT_EQ(backward.position(), buf.begin());
}

TEST(SmartBuffer, IteratorsWalkAcrossPagesBothWays) {
  SmartBuffer buf(2000, 1);
  FrameMetadata rec;
  for (int i = 0; i < 1500; ++i) buf.push_back(rec);
  std::uint64_t expected = 1;
  for (auto it = buf.oldest(); it.valid(); it.go_forward()) ASSERT_EQ(it->position, expected++);
  EXPECT_EQ(expected, 1501u);
  for (auto it = buf.newest(); it.valid(); it.go_backward()) ASSERT_EQ(it->position, --expected);
  EXPECT_EQ(expected, 1u);
}

TEST(SmartBuffer, HistoryKeepsRoundedUpPagesOnly) {
  SmartBuffer buf(512, 0);
  buf.enableHistory(100);  // one page
  FrameMetadata rec;
  for (int i = 0; i < 512 * 4; ++i) buf.push_back(rec);
  EXPECT_EQ(buf.historyPages(), 1u);
  buf.enableHistory(1025);
  for (int i = 0; i < 512 * 4; ++i) buf.push_back(rec);
  EXPECT_EQ(buf.historyPages(), 3u);
  buf.enableHistory(0);
  EXPECT_EQ(buf.historyPages(), 0u);
}

TEST(CamBuf, FirstFrameHasIndexOneAndEmptyFollowsIt) {
  CamBuf buf(1 << 16);
  EXPECT_TRUE(buf.empty());
  EXPECT_TRUE(buf.lastUnprocFrame().isEnd());
  EXPECT_EQ(buf.congestion(), 0.0f);
  FrameMetadata& rec = add(buf, FRAME_GRAY8, 100);
  EXPECT_EQ(rec.position, 1u);
  EXPECT_FALSE(buf.empty());
  EXPECT_TRUE(rec.hasBytes());
  EXPECT_EQ(buf.frame(1)->data, buf.bytes().base);
}

TEST(CamBuf, RingCapacityIsRoundedDownToPagesPlusOnePage) {
  EXPECT_EQ(CamBuf(4096 * 5).bytes().capacity, 4096u * 6);
  EXPECT_EQ(CamBuf(4096 * 5 + 4095).bytes().capacity, 4096u * 6);
  EXPECT_EQ(CamBuf(100).bytes().capacity, 4096u);
  EXPECT_EQ(ByteRing::capacityFor(64ull << 20), (64ull << 20) + 4096);
}

TEST(CamBuf, The20001stFrameEvictsFrameOne) {
  CamBuf buf(1 << 20);
  for (int i = 0; i < 20000; ++i) add(buf, FRAME_GRAY8, 16);
  EXPECT_TRUE(buf.frame(1).valid());
  add(buf, FRAME_GRAY8, 16);
  EXPECT_FALSE(buf.frame(1).valid());
  EXPECT_TRUE(buf.frame(2).valid());
  EXPECT_TRUE(buf.frame(20001).valid());
  EXPECT_EQ(buf.frame(20001)->position, 20001u);
}

TEST(CamBuf, CongestionAndUnprocessedFrames) {
  CamBuf buf(1 << 16);
  for (int i = 0; i < 6; ++i) add(buf, FRAME_GRAY8, 100);
  EXPECT_EQ(buf.congestion(), 1.0f);
  EXPECT_EQ(buf.lastUnprocFrame().position(), 1u);
  for (std::uint32_t i = 1; i <= 4; ++i) buf.frame(i)->setFlags(FRAME_DEC);
  EXPECT_EQ(buf.framesRemain(), 2u);
  EXPECT_EQ(buf.congestion(), 2.0f / 6.0f);
  EXPECT_EQ(buf.lastUnprocFrame().position(), 5u);
  for (std::uint32_t i = 5; i <= 6; ++i) buf.frame(i)->setFlags(FRAME_DEC);
  EXPECT_EQ(buf.congestion(), 0.0f);
  EXPECT_TRUE(buf.lastUnprocFrame().isEnd());
}

TEST(CamBuf, WriterDistanceAndRangeChecks) {
  CamBuf buf(8192);  // capacity 12288
  const std::uint8_t* base = buf.bytes().base;
  add(buf, FRAME_GRAY8, 1000);
  EXPECT_EQ(buf.obsDist(base + 1500), 500u);
  EXPECT_EQ(buf.obsDist(base + 200), 12288u - 1000 + 200);
  EXPECT_EQ(buf.obsDist(base + 12289), 0u);
  EXPECT_EQ(buf.obsDist(base - 1), 0u);
  EXPECT_TRUE(buf.validateSeqData(base + 288, 12000));
  EXPECT_FALSE(buf.validateSeqData(base + 289, 12000));
  EXPECT_FALSE(buf.validateSeqData(base - 1, 10));
}

TEST(CamBuf, TimeElapsedBetweenFramesNeverWraps) {
  CamBuf buf(1 << 16);
  FrameMetadata& a = add(buf, FRAME_GRAY8, 10);
  a.sec = 1000;
  a.usec = 900000;
  FrameMetadata& b = add(buf, FRAME_GRAY8, 10);
  b.sec = 1002;
  b.usec = 100000;
  EXPECT_FLOAT_EQ(timeElapsed(buf, 1, 2), 1.2f);
  EXPECT_EQ(timeElapsed(buf, 2, 1), 0.0f);
  EXPECT_EQ(timeElapsed(buf, 1, 7), 0.0f);
}

TEST(CamBuf, SequenceSizeBeforeFrame) {
  CamBuf buf(1 << 16);
  add(buf, FRAME_I, 300);
  FrameMetadata& p = add(buf, FRAME_P, 50);
  EXPECT_EQ(seqenceSizeBeforeFrame(p), 350u);
  FrameMetadata none;
  EXPECT_EQ(seqenceSizeBeforeFrame(none), 0u);
}

}  // namespace
}  // namespace kovira
