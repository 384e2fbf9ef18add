// Signing with a key file: the parsed key is kept between events, and every
// way a key file can change must still reach the next signature.
#include "evidence/crypto.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <string>

namespace {

const std::string kData = "<?xml version=\"1.0\"?>\n" + std::string(3000, '\x5A');

std::string newKey(const evtest::ScratchDir& dir, const std::string& name) {
  const auto gen = evtest::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:1024 -out " + dir.file(name));
  EXPECT_EQ(gen.status, 0) << gen.output;
  return evtest::readBytes(dir.file(name));
}

// What a key signs when parsed afresh.
std::string signedBy(const std::string& pem) {
  std::string sig;
  EXPECT_TRUE(simplesign(kData.data(), static_cast<unsigned>(kData.size()), pem.data(),
                         static_cast<unsigned>(pem.size()), sig));
  return sig;
}

std::string signedByFile(const std::string& path) {
  std::string sig;
  return signWithKeyFile(path, kData.data(), kData.size(), sig) ? sig : "(failed)";
}

// Text before the PEM block is ignored by the parser: pads a key to a length.
std::string paddedTo(const std::string& pem, std::size_t size) {
  return pem.size() >= size ? pem : std::string(size - pem.size() - 1, '#') + "\n" + pem;
}

timespec mtimeOf(const std::string& path) {
  struct stat st{};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mtim;
}

void setMtime(const std::string& path, timespec when) {
  const timespec times[2] = {when, when};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

enum class Change { NewFile, SameSizeAndTime, Removed, NotAKey };

class KeyFileChange : public ::testing::TestWithParam<Change> {};

TEST_P(KeyFileChange, ReachesTheNextSignature) {
  evtest::ScratchDir dir("signkey");
  const std::string first = newKey(dir, "a.pem");
  const std::string second = newKey(dir, "b.pem");
  const std::size_t size = std::max(first.size(), second.size()) + 8;
  const std::string path = dir.file("key.pem");
  evtest::writeBytes(path, paddedTo(first, size));
  ASSERT_EQ(signedByFile(path), signedBy(first));
  ASSERT_EQ(signedByFile(path), signedBy(first)) << "the kept key signs as the parsed one";
  const timespec before = mtimeOf(path);

  switch (GetParam()) {
    case Change::NewFile:
      evtest::writeBytes(path, second);
      setMtime(path, {before.tv_sec + 5, 0});
      EXPECT_EQ(signedByFile(path), signedBy(second));
      break;
    case Change::SameSizeAndTime:
      // Only the content digest tells this file from the first one.
      evtest::writeBytes(path, paddedTo(second, size));
      setMtime(path, before);
      EXPECT_EQ(signedByFile(path), signedBy(second));
      break;
    case Change::Removed:
      std::remove(path.c_str());
      EXPECT_EQ(signedByFile(path), "(failed)");
      break;
    case Change::NotAKey:
      evtest::writeBytes(path, std::string(size, 'x'));
      setMtime(path, before);
      EXPECT_EQ(signedByFile(path), "(failed)");
      break;
  }
}

INSTANTIATE_TEST_SUITE_P(Signing, KeyFileChange,
                         ::testing::Values(Change::NewFile, Change::SameSizeAndTime, Change::Removed,
                                           Change::NotAKey));

}  // namespace
