// A grey frame reaches recognition without a second copy: its picture shares
// the bytes the decode stage copied out of the frame store, and so keeps
// them when the store reuses the frame's place. Decoded pictures reuse the
// buffers of pictures that are gone, never one still in use.
#include "codec/decode.h"
#include "tests/codec/decode_test_support.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <vector>

namespace {

using kovira::DecodedFrame;

TEST(PictureShare, SharedBufferMustCoverThePicture) {
  auto buffer = std::shared_ptr<std::uint8_t[]>(new std::uint8_t[64 * 48 * 4]);
  struct Case {
    const char* name;
    kovira::PixelFormat format;
    int width, height;
    std::uint64_t bytes;
    bool valid;
  };
  const Case cases[] = {
      {"grey, exact", kovira::PixelGray8, 64, 48, 64 * 48, true},
      {"grey, one byte short", kovira::PixelGray8, 64, 48, 64 * 48 - 1, false},
      {"four bytes a pixel", kovira::PixelAR24, 64, 48, 64 * 48 * 4, true},
      {"four bytes a pixel, given one", kovira::PixelAR24, 64, 48, 64 * 48, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const DecodedFrame p(5, 9, c.format, c.width, c.height, buffer, c.bytes);
    ASSERT_EQ(p.isValid(), c.valid);
    if (c.valid) {
      EXPECT_EQ(p.pixels.get(), buffer.get());  // shared, not copied
      EXPECT_EQ(p.size, static_cast<std::int64_t>(c.width) * c.height * kovira::DecodedFrame::getBpp(c.format));
    }
  }
  EXPECT_FALSE(DecodedFrame(5, 9, kovira::PixelGray8, 64, 48, nullptr, 64 * 48).isValid());
}

TEST(PictureShare, CopiedPicturesNeverShareALiveBufferAndReuseAReturnedOne) {
  constexpr int kW = 1000, kH = 999;  // a size no other picture of this process has
  const auto a = decodetest::greyFrame(kW, kH, 1);
  const auto b = decodetest::greyFrame(kW, kH, 2);
  auto first = std::make_unique<DecodedFrame>(5, 1, kovira::PixelGray8, kW, kH, a.data(), 0);
  const DecodedFrame second(5, 2, kovira::PixelGray8, kW, kH, b.data(), 0);
  ASSERT_NE(first->pixels.get(), second.pixels.get());
  EXPECT_EQ(std::memcmp(first->pixels.get(), a.data(), a.size()), 0);
  EXPECT_EQ(std::memcmp(second.pixels.get(), b.data(), b.size()), 0);

  const std::uint8_t* returned = first->pixels.get();
  first.reset();
  const DecodedFrame third(5, 3, kovira::PixelGray8, kW, kH, b.data(), 0);
  EXPECT_EQ(third.pixels.get(), returned);
  EXPECT_EQ(std::memcmp(third.pixels.get(), b.data(), b.size()), 0);
  EXPECT_EQ(std::memcmp(second.pixels.get(), b.data(), b.size()), 0);
}

TEST(PictureShare, QueuedGreyPictureKeepsItsBytesWhenTheStoreOverwritesTheFrame) {
  constexpr int kW = 320, kH = 240;
  decodetest::Recognition rec;
  kovira::Decode decode(rec.cnn);
  decodetest::CameraScope scope;
  // Room for a few frames only, so later frames take the earlier ones' place.
  kovira::Camera& cam = scope.add(731, 6u * kW * kH);
  std::map<unsigned, unsigned> seedOf;  // frame number -> content seed
  auto store = [&](unsigned seed) {
    const auto px = decodetest::greyFrame(kW, kH, seed);
    seedOf[cam.cambuf->addFrame(kW, kH, FRAME_GRAY8, 0, px.data(), px.size()).position] = seed;
  };
  for (unsigned seed = 1; seed <= 3; ++seed) store(seed);
  std::vector<DecodedFrame> queued;
  for (int i = 0; i < 10 && queued.empty(); ++i) {
    decode.pass();
    queued = decodetest::drain(rec.cnn);
  }
  ASSERT_EQ(queued.size(), 1u);
  const unsigned number = queued[0].frame;
  ASSERT_EQ(seedOf.count(number), 1u);

  for (unsigned seed = 4; seed <= 20; ++seed) store(seed);
  auto stored = cam.cambuf->frame(number);
  ASSERT_FALSE(stored.valid() && stored->hasBytes()) << "the store still holds the frame";
  const auto want = decodetest::greyFrame(kW, kH, seedOf[number]);
  ASSERT_EQ(queued[0].size, static_cast<std::int64_t>(want.size()));
  EXPECT_EQ(std::memcmp(queued[0].pixels.get(), want.data(), want.size()), 0);
}

}  // namespace
