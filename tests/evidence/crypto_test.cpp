#include "evidence/crypto.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <string>

namespace {

const unsigned char* bytes(const std::string& s) { return reinterpret_cast<const unsigned char*>(s.data()); }

}  // namespace

TEST(Digests, MatchThePublishedVectors) {
  const std::string empty, abc = "abc", million(1000000, 'a');
  EXPECT_EQ(md5(bytes(empty), 0), "d41d8cd98f00b204e9800998ecf8427e");
  EXPECT_EQ(md5(bytes(abc), 3), "900150983cd24fb0d6963f7d28e17f72");
  EXPECT_EQ(md5(bytes(million), million.size()), "7707d6ae4e027c70eea2a935c2296f21");
  EXPECT_EQ(sha1(bytes(empty), 0), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
  EXPECT_EQ(sha1(bytes(abc), 3), "a9993e364706816aba3e25717850c26c9cd0d89d");
  EXPECT_EQ(sha1(bytes(million), million.size()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(SimpleSign, SignatureVerifiesWithTheOpensslToolAndIsDeterministic) {
  evtest::ScratchDir dir("sign");
  const std::string key = dir.file("key.pem"), pub = dir.file("pub.pem");
  auto gen = evtest::run("openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out " + key);
  ASSERT_EQ(gen.status, 0) << gen.output;
  auto out = evtest::run("openssl pkey -in " + key + " -pubout -out " + pub);
  ASSERT_EQ(out.status, 0) << out.output;

  const std::string data = "<?xml version=\"1.0\"?>\n" + std::string(5000, '\xAB');
  const std::string pem = evtest::readBytes(key);
  std::string sig = "prefix";
  ASSERT_TRUE(simplesign(data.data(), static_cast<unsigned>(data.size()), pem.data(), static_cast<unsigned>(pem.size()), sig));
  ASSERT_EQ(sig.size(), 6u + 256u);  // appended, as long as the modulus
  const std::string signature = sig.substr(6);
  std::string again;
  ASSERT_TRUE(simplesign(data.data(), static_cast<unsigned>(data.size()), pem.data(), static_cast<unsigned>(pem.size()), again));
  EXPECT_EQ(again, signature);

  evtest::writeBytes(dir.file("data"), data);
  evtest::writeBytes(dir.file("sig"), signature);
  const auto verify = evtest::run("openssl dgst -sha1 -verify " + pub + " -signature " + dir.file("sig") + " " +
                                  dir.file("data"));
  EXPECT_EQ(verify.status, 0);
  EXPECT_EQ(verify.output, "Verified OK\n");
}

TEST(SimpleSign, KeyThatIsNotPemFailsWithoutTouchingTheSignature) {
  const std::string key = "not a key";
  std::string sig = "keep";
  EXPECT_FALSE(simplesign("x", 1, key.data(), static_cast<unsigned>(key.size()), sig));
  EXPECT_EQ(sig, "keep");
}
