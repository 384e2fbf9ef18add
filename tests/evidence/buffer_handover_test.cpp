// Pooled evidence buffers handed on without copies: a block that is still
// held must never be lent again, and what is handed on is byte for byte
// what was written, with its NUL.
#include "evidence/simplefile.h"
#include "evidence/tar.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>

#include <string>
#include <vector>

namespace {

void expectBlock(const SimpleFile& f, const std::string& bytes) {
  ASSERT_EQ(f.size, bytes.size());
  EXPECT_EQ(f.str(), bytes);
  EXPECT_EQ(f.bytes()[f.size], '\0');
}

}  // namespace

TEST(EvidenceBuffers, TakenArchivesKeepTheirBytesWhileLaterArchivesAreBuilt) {
  std::vector<SimpleFile> held;
  std::vector<std::string> expected;
  for (int i = 0; i < 6; ++i) {
    Tar tar;
    const std::string body(static_cast<std::size_t>(1000 + 300000 * (i % 3)), static_cast<char>('a' + i));
    ASSERT_TRUE(tar.add("m.jpg", body.data(), static_cast<int>(body.size())));
    expected.emplace_back(tar.data(), tar.size());
    held.push_back(tar.take());
    EXPECT_EQ(tar.size(), 0u);
    // The emptied Tar starts a new archive of its own.
    ASSERT_TRUE(tar.add("x.xml", "x", 1));
    ASSERT_EQ(tar.files().size(), 1u);
    if (i % 2 == 1) held.erase(held.begin()), expected.erase(expected.begin());  // back to the pool
  }
  for (std::size_t i = 0; i < held.size(); ++i) expectBlock(held[i], expected[i]);
}

TEST(EvidenceBuffers, AdoptedBlocksMatchTheirBytesWithOrWithoutSpareRoom) {
  for (const std::size_t room : {std::size_t{11}, std::size_t{1} << 20}) {
    std::vector<unsigned char> buffer(room, 'z');
    std::copy_n("evidence!!", 10, buffer.begin());
    const SimpleFile f = SimpleFile::adopt(std::move(buffer), 10, EvidenceBuffer::Picture);
    expectBlock(f, "evidence!!");
  }
  // Pictures encoded one after another keep their own bytes.
  cv::Mat a(64, 64, CV_8UC1, cv::Scalar(10)), b(480, 640, CV_8UC1);
  cv::randu(b, 0, 255);
  const SimpleFile first = loadCvImage(a, "a.jpg", 80);
  const std::string firstBytes = first.str();
  const SimpleFile second = loadCvImage(b, "b.jpg", 80);
  expectBlock(first, firstBytes);
  EXPECT_NE(second.str(), firstBytes);
}
