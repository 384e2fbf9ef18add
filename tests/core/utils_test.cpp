#include "core/clock.h"
#include "core/fs.h"
#include "core/ids.h"
#include "core/shell.h"
#include "core/threads.h"
#include "tests/support/timezone.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <set>
#include <thread>
#include <vector>

namespace {

namespace bfs = boost::filesystem;

using ScopedTz = testsupport::ScopedTimeZone;

class TempDir {
 public:
  TempDir() : path(bfs::temp_directory_path() / bfs::unique_path("kovira-%%%%-%%%%")) { bfs::create_directories(path); }
  ~TempDir() { bfs::remove_all(path); }
  bfs::path path;
};

TEST(Ids, SimpleuniqidIsUniqueAcrossThreadsAndNotBelowNow) {
  const auto before = static_cast<unsigned>(std::time(nullptr));
  constexpr int kThreads = 4, kEach = 20000;
  std::vector<std::vector<unsigned>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&got, t] {
      for (int i = 0; i < kEach; ++i) got[t].push_back(simpleuniqid());
    });
  for (auto& t : threads) t.join();

  std::set<unsigned> all;
  for (const auto& v : got) {
    EXPECT_TRUE(std::is_sorted(v.begin(), v.end()));
    all.insert(v.begin(), v.end());
  }
  EXPECT_EQ(all.size(), static_cast<std::size_t>(kThreads * kEach));
  EXPECT_GE(*all.begin(), before);

  const unsigned a = simpleuniqid(), b = simpleuniqid(), c = simpleuniqid();
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(c, b + 1);
}

TEST(Ids, RandomStringsAreHexOfTheAskedLength) {
  EXPECT_EQ(randomstring(0), "");
  EXPECT_EQ(randomstring(257), "");
  const std::string s = randomstring(256);
  EXPECT_EQ(s.size(), 256u);
  EXPECT_EQ(s.find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_EQ(genrandom32af().size(), 32u);
  EXPECT_NE(genrandom32af(), genrandom32af());
}

TEST(Clock, TimeTextsInLocalTimeAndUtc) {
  ScopedTz tz("Europe/Moscow");  // UTC+3 all year
  const unsigned t = 1551795029;  // 2019-03-05 14:10:29 UTC
  EXPECT_EQ(timeformat("%Y-%m-%d %H:%M:%S", t), "2019-03-05 17:10:29");
  EXPECT_EQ(timeformat("%H:%M:%S", t, 7), "17:10:29.007");
  EXPECT_EQ(timeformatgmt("%H:%M:%S", t), "14:10:29");
  EXPECT_EQ(TimeToString(1551795029000ULL), "2019-Mar-05 14:10:29");
  EXPECT_EQ(TimeToString(1551795029250ULL), "2019-Mar-05 14:10:29.250000");
}

TEST(Clock, EmptyTimeTextIsAnError) {
  testing::internal::CaptureStderr();
  EXPECT_EQ(timeformat("", 0), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "[ERR] timeformat(): \n");
  testing::internal::CaptureStderr();
  EXPECT_EQ(timeformatgmt(std::string(200, 'x').c_str(), 0), "");
  EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("[ERR] timeformatgmt(): xxx", 0), 0u);
}

TEST(Clock, ClocksAgreeAndHighClockIsOneReading) {
  const auto ms = NowMs();
  EXPECT_NEAR(static_cast<double>(NowSec()), static_cast<double>(ms / 1000), 1.0);
  EXPECT_NEAR(static_cast<double>(now()), static_cast<double>(NowSec()), 1.0);
  // Seconds and microseconds from one reading never step backwards, as two
  // separate readings would around a second boundary.
  unsigned prevSec = 0, prevUsec = 0;
  for (int i = 0; i < 200000; ++i) {
    unsigned sec = 0, usec = 0;
    high_clock(sec, usec);
    ASSERT_LT(usec, 1000000u);
    const auto cur = static_cast<std::uint64_t>(sec) * 1000000 + usec;
    ASSERT_GE(cur, static_cast<std::uint64_t>(prevSec) * 1000000 + prevUsec);
    prevSec = sec;
    prevUsec = usec;
  }
  EXPECT_FALSE(CurrentLocalTimeToString().empty());
}

TEST(Clock, LazyroundKeepsItsDecimals) {
  EXPECT_EQ(lazyround(2.5f, 2), "2.50");
  EXPECT_EQ(lazyround(2.345f, 1), "2.3");
  EXPECT_EQ(lazyround(-1.25f, 1), "-1.3");
  EXPECT_EQ(lazyround(7.0f, 0), "7");
}

TEST(FileSystem, ProgramDirectory) {
  SetCurrentPath("/opt/unit/bin/prog");
  EXPECT_EQ(GetCurrentPath(), "/opt/unit/bin/");
  SetCurrentPath("./prog");
  EXPECT_EQ(GetCurrentPath(), "./");
  SetCurrentPath("prog");
  EXPECT_EQ(GetCurrentPath(), "/");
}

TEST(FileSystem, DirectorySizeAndCreation) {
  TempDir dir;
  EXPECT_EQ(directorysize((dir.path / "missing").string()), 0u);
  EXPECT_EQ(directorysize(""), 0u);

  createdirtree((dir.path / "a/b/c").string());
  createdirtree((dir.path / "a/b/c").string());  // existing: no error
  EXPECT_TRUE(bfs::is_directory(dir.path / "a/b/c"));
  std::ofstream(dir.path / "a/ten.bin") << "0123456789";
  EXPECT_EQ(directorysize(dir.path.string()), 10u);
  EXPECT_EQ(directorysize((dir.path / "a/ten.bin").string()), 0u);  // not a directory

  // A link to a file counts with its target's size; a link to a directory is
  // not followed.
  bfs::create_symlink(dir.path / "a/ten.bin", dir.path / "link");
  bfs::create_directory_symlink(dir.path / "a", dir.path / "dirlink");
  EXPECT_EQ(directorysize(dir.path.string()), 20u);

  std::ofstream(dir.path / "blocker") << "x";
  EXPECT_THROW(createdirtree((dir.path / "blocker/sub").string()), bfs::filesystem_error);
  EXPECT_GT(diskfreespace(dir.path.string()), 0u);
  EXPECT_THROW(diskfreespace((dir.path / "missing").string()), bfs::filesystem_error);
}

TEST(Shell, CapturesStdoutAndStderr) {
  EXPECT_EQ(cmdrunsimple("sh -c 'echo out; echo err 1>&2'"), "out\nerr\n");
  const std::string big = cmdrunsimple("head -c 1000 /dev/zero | tr '\\0' x");
  EXPECT_EQ(big, std::string(1000, 'x'));
  EXPECT_EQ(cmdrunsimple("exit 3"), "");
}

TEST(Threads, NamesOfMoreThanFifteenCharactersAreIgnored) {
  std::thread t([] {
    char name[32] = {};
    thread_name("kovira: cnnproc");  // 15 characters
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "kovira: cnnproc");
    thread_name("kovira: cnnproc!");  // 16: unchanged
    pthread_getname_np(pthread_self(), name, sizeof name);
    EXPECT_STREQ(name, "kovira: cnnproc");
  });
  t.join();
}

}  // namespace
