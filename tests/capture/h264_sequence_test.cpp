// Real H.264 through the frame store: a libx264 stream (GOP 25, no B frames;
// the codec tests' stream fixture) is stored access unit by access unit as a
// camera would store it, and every sequence findUnprocSeq hands out must
// decode with libavcodec to exactly the pictures of its frames.
#include "capture/cam.h"
#include "capture/sequence.h"
#include "tests/codec/h264_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace kovira {
namespace {

constexpr int kFrames = 300;
constexpr int kGop = 25;

class H264Stream : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    stream_ = fixture::encode(320, 240, kFrames, kGop);
    for (auto& picture : fixture::referenceDecode(stream_.bytes, false)) reference_.push_back(std::move(picture.luma));
    // One access unit and one picture per frame, a key frame every kGop.
    ASSERT_EQ(stream_.units.size(), static_cast<std::size_t>(kFrames));
    ASSERT_EQ(reference_.size(), static_cast<std::size_t>(kFrames));
    for (std::size_t i = 0; i < stream_.units.size(); ++i) ASSERT_EQ(stream_.units[i].key, i % kGop == 0) << i;
  }

  // Stores the stream in camera camId and decodes every handed-out
  // sequence; returns the groups decoded completely.
  int runThrough(int camId, std::uint64_t ringBytes) {
    Camera& cam = addCamera(camId, ringBytes);
    int groups = 0;
    for (const auto& u : stream_.units) {
      cam.cambuf->addFrame(320, 240, u.key ? FRAME_I : FRAME_P, 0, stream_.bytes.data() + u.offset, u.size);
      for (FrameSequence seq = findUnprocSeq(camId); seq.valid(); seq = findUnprocSeq(camId)) {
        seq.setFlags(FRAME_DEC);
        EXPECT_TRUE(seq.data) << "group [" << seq.first << ", " << seq.end << ") lost";
        if (!seq.data) continue;
        const auto pictures = fixture::referenceDecode({seq.data.get(), seq.size}, false);
        EXPECT_GE(pictures.size(), seq.frames());
        EXPECT_LE(pictures.size(), seq.frames() + 1u) << "at most the next key frame along";
        for (std::uint32_t k = 0; k < seq.frames() && k < pictures.size(); ++k)
          EXPECT_EQ(pictures[k].luma, reference_[seq.first - 1 + k]) << "frame " << seq.first + k;
        ++groups;
      }
    }
    return groups;
  }

  static inline fixture::Stream stream_;
  static inline std::vector<std::vector<std::uint8_t>> reference_;
};

TEST_F(H264Stream, EveryGroupDecodesToItsFramesInALargeRing) {
  EXPECT_EQ(runThrough(801, 16 << 20), kFrames / kGop - 1);  // the last group stays open
}

TEST_F(H264Stream, NoGroupIsLostInARingOfAFewGroups) {
  std::uint64_t largestGroup = 0, current = 0;
  for (const auto& u : stream_.units) {
    if (u.key) current = 0;
    current += u.size;
    largestGroup = std::max(largestGroup, current);
  }
  // Room for about three groups: wraps and group moves happen many times.
  EXPECT_EQ(runThrough(802, largestGroup * 3), kFrames / kGop - 1);
  EXPECT_GT(camera(802).cambuf->moveGeneration(), 0u) << "groups were moved";
}

}  // namespace
}  // namespace kovira
