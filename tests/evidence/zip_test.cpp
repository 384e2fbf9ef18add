// Zip archives: the CRC, member names, the format's limits, and that the
// standard readers accept what we write.
#include "evidence/zip.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <string>
#include <unistd.h>

namespace {

std::uint32_t le32(const unsigned char* p) { return p[0] | (p[1] << 8) | (p[2] << 16) | (std::uint32_t{p[3]} << 24); }

TEST(Zip, Crc32MatchesTheStandardCheckValues) {
  Zip zip;
  const struct {
    std::string text;
    unsigned int crc;
  } cases[] = {{"123456789", 0xCBF43926u}, {"", 0u}, {"a", 0xE8B7BE43u}, {std::string(1, '\0'), 0xD202EF8Du}};
  for (const auto& c : cases)
    EXPECT_EQ(zip.crc32(c.text.data(), static_cast<unsigned int>(c.text.size())), c.crc) << c.text;
}

TEST(Zip, StandardReadersAcceptMembersAndBackslashBecomesSlash) {
  Zip zip;
  const std::string big(100000, 'x');
  zip.add("a\\b.txt", "abc", 3);
  zip.add("empty", nullptr, 0);
  zip.add("dir/big.bin", big.data(), static_cast<unsigned int>(big.size()));
  char folder[] = "/tmp/kovira-zip-XXXXXX";
  ASSERT_NE(mkdtemp(folder), nullptr);
  const std::string path = std::string(folder) + "/t.zip";
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(zip.data()),
                                             static_cast<std::streamsize>(zip.size()));
  EXPECT_EQ(std::system(("unzip -tqq " + path).c_str()), 0);
  const std::string py = "/usr/bin/python3 -c \"import zipfile,sys; z=zipfile.ZipFile(sys.argv[1]); "
                         "assert z.testzip() is None; assert z.namelist()==['a/b.txt','empty','dir/big.bin']; "
                         "assert z.read('a/b.txt')==b'abc'; assert z.getinfo('a/b.txt').compress_type==0\" " +
                         path;
  EXPECT_EQ(std::system(py.c_str()), 0);
  std::system(("rm -rf " + std::string(folder)).c_str());

  // The end record points at the central directory that follows the local part.
  const unsigned char* end = zip.data() + zip.size() - 22;
  EXPECT_EQ(le32(end), 0x06054b50u);
  EXPECT_EQ(le32(zip.data() + le32(end + 16)), 0x02014b50u);
}

TEST(Zip, RefusesTheMemberBeyondTheFormatAndKeepsTheArchive) {
  Zip zip;
  for (std::uint32_t k = 0; k < Zip::kMaxEntries; ++k) zip.add("", nullptr, 0);
  const std::size_t before = zip.size();
  EXPECT_THROW(zip.add("one-too-many", "x", 1), std::length_error);
  EXPECT_EQ(zip.size(), before);
  zip.clear();
  EXPECT_EQ(zip.size(), 0u);
  zip.add("again", "x", 1);
  EXPECT_EQ(zip.data()[0], 'P');
}

}  // namespace
