#include "evidence/tar.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <latch>
#include <string>
#include <thread>
#include <vector>

using evtest::run;
using evtest::ScratchDir;

namespace {

std::string pattern(std::size_t n, char seed) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(seed + i * 7);
  return s;
}

std::string archiveBytes(const Tar& t) { return std::string(t.data(), t.size()); }

}  // namespace

TEST(Tar, ZeroPaddingToBlocksAndOneEndPair) {
  Tar t;
  const std::string body = pattern(100, 'a');
  ASSERT_TRUE(t.add("angel.xml", body.data(), 100));
  ASSERT_EQ(t.size(), 2048u);
  const std::string bytes = archiveBytes(t);
  EXPECT_EQ(bytes.substr(512, 100), body);
  EXPECT_EQ(bytes.substr(612), std::string(2048 - 612, '\0'));
  EXPECT_EQ(bytes.substr(257, 8), std::string("ustar  \0", 8));  // GNU magic
  EXPECT_EQ(bytes[156], '0');

  // Empty and block-sized members get no padding; one pair of end blocks.
  t.clear();
  const std::string block = pattern(512, 'x');
  ASSERT_TRUE(t.add("empty", nullptr, 0));
  EXPECT_EQ(t.size(), 512u + 1024u);
  ASSERT_TRUE(t.add("block", block.data(), 512));
  EXPECT_EQ(t.size(), 512u + 512u + 512u + 1024u);
  ASSERT_TRUE(t.add("three", "abc", 3));
  EXPECT_EQ(t.size(), 512u + 1024u + 1024u + 1024u);
  const std::string all = archiveBytes(t);
  EXPECT_EQ(all.substr(all.size() - 1024), std::string(1024, '\0'));
  EXPECT_NE(all.substr(all.size() - 1536, 3), std::string(3, '\0'));
}

TEST(Tar, MembersInOrderExtendClearAndDamage) {
  Tar t;
  const std::string a = pattern(700, 'a'), b = pattern(5, 'b'), c = pattern(1024, 'c');
  ASSERT_TRUE(t.add("m.jpg", a.data(), static_cast<int>(a.size())));
  ASSERT_TRUE(t.add("dir/angel.xml", b.data(), static_cast<int>(b.size())));
  ASSERT_TRUE(t.add("kovira.json", c.data(), static_cast<int>(c.size())));
  const auto files = t.files();
  ASSERT_EQ(files.size(), 3u);
  EXPECT_EQ(files[0].path, "m.jpg");
  EXPECT_EQ(files[1].path, "dir/angel.xml");
  EXPECT_EQ(files[1].name, "angel.xml");
  EXPECT_EQ(files[2].size, 1024u);
  EXPECT_EQ(std::string(files[0].data, files[0].size), a);
  EXPECT_EQ(std::string(files[1].data, files[1].size), b);
  EXPECT_EQ(std::string(files[2].data, files[2].size), c);

  // Extending an existing archive keeps its members.
  Tar second(t.data(), static_cast<int>(t.size()));
  ASSERT_TRUE(second.add("two", "22", 2));
  ASSERT_EQ(second.files().size(), 4u);
  EXPECT_EQ(second.files()[3].path, "two");

  // Clear starts a new archive over the old bytes.
  t.clear();
  ASSERT_TRUE(t.add("small", "x", 1));
  EXPECT_EQ(t.size(), 2048u);
  ASSERT_EQ(t.files().size(), 1u);
  EXPECT_EQ(t.files()[0].path, "small");

  // Bytes too short to end in an end-of-archive pair take no member, and say
  // why (on standard output here, standard error in the sanitizer build's stub).
  for (int len : {1, 512, 1023}) {
    const std::string few(static_cast<std::size_t>(len), '\0');
    Tar shortTar(few.data(), len);
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    EXPECT_FALSE(shortTar.add("m.jpg", "x", 1)) << len;
    std::fflush(nullptr);
    const std::string log = testing::internal::GetCapturedStderr() + testing::internal::GetCapturedStdout();
    EXPECT_NE(log.find(std::to_string(len) + " bytes are no archive to add m.jpg to"), std::string::npos) << log;
  }

  // A member claiming more bytes than the archive holds ends the listing.
  std::string bytes = archiveBytes(t);
  std::memcpy(&bytes[124], "77777777777", 11);
  Tar damaged(bytes.data(), static_cast<int>(bytes.size()));
  EXPECT_TRUE(damaged.files().empty());
}

// The archive as GNU tar and Python's tarfile read it: names, order, sizes,
// bytes, type, mode, owner and the GNU format, long names included.
TEST(Tar, StandardReadersSeeTheMembersAsWritten) {
  ScratchDir dir("tar-readers");
  const std::string longName = std::string(120, 'n') + "/" + std::string(30, 'f') + ".jpg";
  const std::vector<std::pair<std::string, std::string>> members = {
      {"m.jpg", pattern(3000, 'm')},    {"plate.jpg", pattern(512, 'p')}, {"big.jpg", pattern(1, 'b')},
      {"angel.xml", pattern(100, 'a')}, {"signature.sign", ""},          {longName, pattern(77, 'l')},
      {"kovira.json", "{\"version\": 2}"}};
  Tar t;
  for (const auto& [name, body] : members) ASSERT_TRUE(t.add(name, body.data(), static_cast<int>(body.size())));
  const std::string path = dir.file("event.tar");
  evtest::writeBytes(path, archiveBytes(t));

  const auto listing = run("tar -tf " + path);
  ASSERT_EQ(listing.status, 0) << listing.output;
  std::string expected;
  for (const auto& m : members) expected += m.first + "\n";
  EXPECT_EQ(listing.output, expected);

  const auto verbose = run("tar --numeric-owner -tvf " + path + " m.jpg");
  EXPECT_EQ(verbose.output.substr(0, 21), "-rw-r--r-- 1000/1000 ") << verbose.output;

  for (const auto& [name, body] : members) {
    const auto content = run("tar -xOf " + path + " '" + name + "'");
    EXPECT_EQ(content.status, 0) << name;
    EXPECT_EQ(content.output, body) << name;
  }

  const std::string script = dir.file("check.py");
  evtest::writeBytes(script,
                     "import sys, tarfile\n"
                     "with tarfile.open(sys.argv[1]) as t:\n"
                     "    for m in t.getmembers():\n"
                     "        data = t.extractfile(m).read()\n"
                     "        print(m.name, m.size, len(data), m.type.decode(), oct(m.mode), m.uid, m.gid)\n");
  const auto py = run("/usr/bin/python3 " + script + " " + path);
  ASSERT_EQ(py.status, 0) << py.output;
  std::string pyExpected;
  for (const auto& [name, body] : members) {
    pyExpected += name + " " + std::to_string(body.size()) + " " + std::to_string(body.size()) +
                  " 0 0o644 1000 1000\n";
  }
  EXPECT_EQ(py.output, pyExpected);
}

// Four workers and the feedback thread build archives at once; every
// archive must hold only its own bytes. Also run under ThreadSanitizer.
TEST(Tar, ConcurrentArchivesHoldOnlyTheirOwnBytes) {
  constexpr int kThreads = 8;
  constexpr int kArchives = 200;
  std::latch start(kThreads);
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i) {
    threads.emplace_back([&, i] {
      start.arrive_and_wait();
      for (int n = 0; n < kArchives; ++n) {
        const std::string a = pattern(100 + static_cast<std::size_t>(n), static_cast<char>('A' + i));
        const std::string b = pattern(600, static_cast<char>('a' + i));
        const std::string longName = std::string(110, static_cast<char>('a' + i)) + std::to_string(n);
        Tar t;
        if (!t.add("m.jpg", a.data(), static_cast<int>(a.size())) ||
            !t.add(longName, b.data(), static_cast<int>(b.size()))) {
          ++failures[static_cast<std::size_t>(i)];
          continue;
        }
        const auto files = t.files();
        if (files.size() != 2) {  // the long-name record is not a regular member
          ++failures[static_cast<std::size_t>(i)];
          continue;
        }
        const TarObj& first = files.front();
        const TarObj& last = files.back();
        if (std::string(first.data, first.size) != a || std::string(last.data, last.size) != b) {
          ++failures[static_cast<std::size_t>(i)];
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(failures[static_cast<std::size_t>(i)], 0) << "thread " << i;
}
