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

FrameMetadata& add(CamBuf& buf, FrameType type, std::size_t size) {
  const std::vector<std::uint8_t> bytes(size, 1);
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

TEST(SmartBuffer, EvictionIteratorsAndHistory) {
  SmartBuffer buf(1000, 1);
  FrameMetadata rec;
  for (int i = 0; i < 1500; ++i) buf.push_back(rec);
  // Iterators walk across pages both ways over the retained positions only.
  std::uint64_t expected = buf.begin();
  for (auto it = buf.oldest(); it.valid(); it.go_forward()) ASSERT_EQ(it->position, expected++);
  EXPECT_EQ(expected, 1501u);
  for (auto it = buf.newest(); it.valid(); it.go_backward()) ASSERT_EQ(it->position, --expected);
  EXPECT_EQ(expected, buf.begin());
  EXPECT_FALSE(buf.find(buf.begin() - 1).valid());
  EXPECT_TRUE(buf.find(1501).isEnd());
  FrameMetadata out;
  EXPECT_TRUE(buf.find(1200, out));
  EXPECT_EQ(out.position, 1200u);

  // A held iterator keeps its page alive across eviction and then steps to the oldest or before the beginning.
  auto held = buf.find(buf.begin());
  const auto heldPosition = held->position;
  for (int i = 0; i < 2400; ++i) buf.push_back(rec);
  EXPECT_EQ(held->position, heldPosition);
  auto forward = held;
  forward.go_forward();
  ASSERT_TRUE(forward.valid());
  EXPECT_EQ(forward->position, buf.begin());
  auto backward = held;
  backward.go_backward();
  EXPECT_TRUE(backward.isBeforeBegin());

  // History keeps rounded-up pages only.
  SmartBuffer hist(512, 0);
  hist.enableHistory(1025);
  for (int i = 0; i < 512 * 4; ++i) hist.push_back(rec);
  EXPECT_EQ(hist.historyPages(), 3u);
  hist.enableHistory(0);
  EXPECT_EQ(hist.historyPages(), 0u);
}

TEST(CamBuf, IndexingEvictionAndCapacity) {
  EXPECT_EQ(CamBuf(4096 * 5 + 4095).bytes().capacity, 4096u * 6);  // whole pages plus one
  EXPECT_EQ(CamBuf(100).bytes().capacity, 4096u);
  CamBuf buf(1 << 20);
  EXPECT_TRUE(buf.empty());
  FrameMetadata& rec = add(buf, FRAME_GRAY8, 16);
  EXPECT_EQ(rec.position, 1u);
  EXPECT_EQ(buf.frame(1)->data, buf.bytes().base);
  for (int i = 1; i < 20000; ++i) add(buf, FRAME_GRAY8, 16);
  EXPECT_TRUE(buf.frame(1).valid());
  add(buf, FRAME_GRAY8, 16);  // the 20001st frame evicts frame one
  EXPECT_FALSE(buf.frame(1).valid());
  EXPECT_EQ(buf.frame(20001)->position, 20001u);
}

TEST(CamBuf, CongestionTimesAndWriterDistance) {
  CamBuf buf(8192);  // capacity 12288
  const std::uint8_t* base = buf.bytes().base;
  EXPECT_TRUE(buf.lastUnprocFrame().isEnd());
  FrameMetadata& first = add(buf, FRAME_I, 1000);
  EXPECT_EQ(buf.obsDist(base + 1500), 500u);
  EXPECT_EQ(buf.obsDist(base + 200), 12288u - 1000 + 200);
  EXPECT_EQ(buf.obsDist(base + 12289), 0u);
  EXPECT_EQ(buf.obsDist(base - 1), 0u);
  EXPECT_TRUE(buf.validateSeqData(base + 288, 12000));
  EXPECT_FALSE(buf.validateSeqData(base + 289, 12000));
  EXPECT_FALSE(buf.validateSeqData(base - 1, 10));
  first.sec = 1000;
  first.usec = 900000;
  FrameMetadata& p = add(buf, FRAME_P, 50);
  p.sec = 1002;
  p.usec = 100000;
  EXPECT_EQ(seqenceSizeBeforeFrame(p), 1050u);
  EXPECT_EQ(seqenceSizeBeforeFrame(FrameMetadata{}), 0u);
  EXPECT_FLOAT_EQ(timeElapsed(buf, 1, 2), 1.2f);
  EXPECT_EQ(timeElapsed(buf, 2, 1), 0.0f);
  EXPECT_EQ(timeElapsed(buf, 1, 7), 0.0f);

  // The oldest frame the decode stage has not taken (counts and congestion
  // are checked against the reference model in the property test).
  for (int i = 0; i < 4; ++i) add(buf, FRAME_P, 100);
  EXPECT_EQ(buf.lastUnprocFrame().position(), 1u);
  for (std::uint32_t i = 1; i <= 4; ++i) buf.frame(i)->setFlags(FRAME_DEC);
  EXPECT_EQ(buf.lastUnprocFrame().position(), 5u);
  for (std::uint32_t i = 5; i <= 6; ++i) buf.frame(i)->setFlags(FRAME_DEC);
  EXPECT_TRUE(buf.lastUnprocFrame().isEnd());
}

}  // namespace
}  // namespace kovira
