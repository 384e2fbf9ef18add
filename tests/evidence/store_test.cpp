// Storing evidence archives. Runs inside tests/fixtures/nsrun.sh (private
// tmpfs /tmp, see CMakeLists.txt), so the free-space floor and thousands of
// synced files cost the host nothing; outside it every test skips.
#include "config/actions.h"
#include "config/config.h"
#include "core/fs.h"
#include "evidence/common.h"
#include "evidence/simplefile.h"
#include "evidence/tar.h"
#include "evidence/upload.h"

#include "tests/support/text.h"

#include <gtest/gtest.h>

#include <sys/mount.h>

#include <cerrno>
#include <cstring>

#include <filesystem>
#include <fstream>
#include <set>
#include <thread>

namespace {

namespace fs = std::filesystem;

#define REQUIRE_NAMESPACE()                   \
  if (std::getenv("KOVIRA_IN_NS") == nullptr) \
  GTEST_SKIP() << "runs inside tests/fixtures/nsrun.sh"

using testsupport::readFile;

std::vector<std::string> listing(const fs::path& dir) {
  std::vector<std::string> names;
  if (!fs::exists(dir)) return names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class StoreTest : public testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_NAMESPACE();
    char pattern[] = "/tmp/store-XXXXXX";
    ASSERT_NE(::mkdtemp(pattern), nullptr);
    dir = pattern;
    kovira::config().suspended = 0;
    // The queue takes archives but never posts them here.
    lazyUpload.configure("http://127.0.0.1:9/upload.php");
    queuedBefore = lazyUpload.queued();
    Tar tar;
    const std::string report = "<report/>";
    tar.add("angel.xml", report.data(), static_cast<int>(report.size()));
    archive = SimpleFile(tar.data(), tar.size());
  }
  void TearDown() override {
    if (!dir.empty()) fs::remove_all(dir);
    kovira::config().suspended = 0;
  }

  kovira::Action action(const std::string& method, const std::string& path, int upload) {
    kovira::Action a(1);
    a.method = method;
    a.path = path;
    a.upload = upload;
    return a;
  }
  std::size_t queuedNow() const { return lazyUpload.queued() - queuedBefore; }

  fs::path dir;
  SimpleFile archive;
  std::size_t queuedBefore = 0;
};

TEST_F(StoreTest, EveryTargetDirectoryGetsTheSameArchive) {
  auto a = action("speed", " " + (dir / "a").string() + " ; " + (dir / "b").string() + "/ ;; ", 1);
  procTrackRes(a, archive);
  const auto inA = listing(dir / "a");
  ASSERT_EQ(inA.size(), 1u);  // no hidden "~" file left behind
  EXPECT_EQ(listing(dir / "b"), inA);
  EXPECT_EQ(listing(dir), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(inA[0].substr(inA[0].size() - 4), ".tar");
  EXPECT_EQ(std::to_string(std::stoul(inA[0])) + ".tar", inA[0]);  // "%u", no leading zeros
  EXPECT_EQ(readFile(dir / "a" / inA[0]), archive.str());
  EXPECT_EQ(readFile(dir / "b" / inA[0]), archive.str());
  EXPECT_EQ(queuedNow(), 1u);
}

TEST_F(StoreTest, WhatIsQueuedEmptyPathsNoUploadFlagAndSuspension) {
  auto empty = action("speed", " ; ;", 1);
  procTrackRes(empty, archive);
  EXPECT_EQ(queuedNow(), 1u);
  auto local = action("speed", (dir / "c").string(), 0);
  procTrackRes(local, archive);
  EXPECT_EQ(listing(dir / "c").size(), 1u);
  EXPECT_EQ(queuedNow(), 1u);

  // Suspension level 1 stops speed events, level 2 also their upload.
  auto carflow = action("carflow", (dir / "cf").string(), 1);
  auto speed = action("speed", (dir / "sp").string(), 1);
  kovira::config().suspended = 1;
  procTrackRes(carflow, archive);
  procTrackRes(speed, archive);
  EXPECT_EQ(listing(dir / "cf").size(), 1u);
  EXPECT_TRUE(listing(dir / "sp").empty());
  EXPECT_EQ(queuedNow(), 2u);
  kovira::config().suspended = 2;
  procTrackRes(carflow, archive);
  procTrackRes(speed, archive);
  EXPECT_EQ(listing(dir / "cf").size(), 1u);
  EXPECT_EQ(queuedNow(), 2u);
}

TEST_F(StoreTest, ExistingArchivesAreNeverReplaced) {
  // Files of an earlier run under the ids the clock is about to give, some
  // in one directory only.
  fs::create_directories(dir / "a");
  fs::create_directories(dir / "b");
  const auto t = static_cast<unsigned>(std::time(nullptr));
  std::set<std::string> old;
  for (unsigned id = t; id < t + 40; ++id) {
    const std::string name = std::to_string(id) + ".tar";
    std::ofstream((id % 2 ? dir / "a" : dir / "b") / name) << "old " << id;
    old.insert(name);
  }
  auto a = action("speed", (dir / "a").string() + ";" + (dir / "b").string(), 0);
  procTrackRes(a, archive);
  std::string added;
  for (const auto& name : listing(dir / "a"))
    if (!old.count(name)) added = name;
  ASSERT_FALSE(added.empty());
  EXPECT_EQ(readFile(dir / "b" / added), archive.str());
  for (unsigned id = t; id < t + 40; ++id) {
    const std::string name = std::to_string(id) + ".tar";
    EXPECT_EQ(readFile((id % 2 ? dir / "a" : dir / "b") / name), "old " + std::to_string(id));
  }
}

TEST_F(StoreTest, AnUnusableDirectoryIsSkippedAndReported) {
  fs::create_directories(dir / "ro");
  std::ofstream(dir / "file") << "x";  // a directory cannot be made below a file
  auto a = action("speed", (dir / "file" / "sub").string() + ";" + (dir / "ok").string(), 1);
  testing::internal::CaptureStdout();
  procTrackRes(a, archive);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("[ERR] evidence directory " + (dir / "file" / "sub").string() + "/ unusable"),
            std::string::npos)
      << out;
  EXPECT_EQ(listing(dir / "ok").size(), 1u);
  EXPECT_EQ(queuedNow(), 1u);
}

TEST_F(StoreTest, ConcurrentWorkersNeverShareAnId) {
  auto a = action("speed", (dir / "many").string(), 0);
  std::vector<std::thread> workers;
  for (int w = 0; w < 4; ++w)
    workers.emplace_back([&] {
      for (int i = 0; i < 1000; ++i) procTrackRes(a, archive);
    });
  for (auto& w : workers) w.join();
  EXPECT_EQ(listing(dir / "many").size(), 4000u);
}

TEST_F(StoreTest, TemporaryCopiesAndSigning) {
  const std::string folder = dir.string() + "/";
  const std::string name = tempSave("abc", 3, folder, "bin");
  ASSERT_FALSE(name.empty());
  EXPECT_EQ(name.substr(name.size() - 4), ".bin");
  EXPECT_EQ(readFile(folder + name), "abc");
  EXPECT_EQ(tempSave("abc", 3, folder + "missing/", "bin"), "");
  EXPECT_NE(tempSave("abc", 3, folder, "bin"), name);

  // Without a usable key nothing is signed and nothing fails.
  Tar tar;
  SimpleFile data("payload", 7);
  signAngelMe("", tar, data);
  signAngelMe(folder + "no-such-key.pem", tar, data);
  EXPECT_TRUE(tar.files().empty());
}

TEST_F(StoreTest, ScratchFolderIsMadeGroupWritable) {
  ASSERT_TRUE(evidence::makeCashedDir());
  EXPECT_TRUE(evidence::makeCashedDir());  // existing is fine
  const auto perms = fs::status(evidence::kCashedDir).permissions();
  EXPECT_EQ(perms & fs::perms::all, fs::perms(0775));
}

// A small file system fills up, then turns read-only: every failed save
// says why, and no partial hidden file is left to hold the last space.
TEST_F(StoreTest, FailedSavesLeaveNoTemporaryAndSayWhy) {
  const fs::path small = dir / "small";
  fs::create_directories(small);
  ASSERT_EQ(::mount("tmpfs", small.c_str(), "tmpfs", 0, "size=600k"), 0) << std::strerror(errno);
  const std::string bytes(100 * 1024, 'e');
  SimpleFile large(bytes.data(), bytes.size());
  auto a = action("speed", (small / "main").string() + ";" + (small / "copy").string(), 0);
  struct Step {
    unsigned long mountFlags;
    const char* why;
  };
  const Step steps[] = {{0, "No space left on device"}, {MS_REMOUNT | MS_RDONLY, "Read-only file system"}};
  for (const Step& step : steps) {
    if (step.mountFlags != 0) {
      ASSERT_EQ(::mount(nullptr, small.c_str(), nullptr, step.mountFlags, nullptr), 0);
    }
    std::string out;
    for (int i = 0; i < 8 && out.find(step.why) == std::string::npos; ++i)
      out += testsupport::stdoutOf([&] { procTrackRes(a, large); });
    EXPECT_NE(out.find("[ERR] evidence "), std::string::npos) << step.why;
    EXPECT_NE(out.find(std::string(": ") + step.why + "\n"), std::string::npos) << out;
    for (const char* sub : {"main", "copy"})
      for (const std::string& name : listing(small / sub)) EXPECT_NE(name.back(), '~') << sub << "/" << name;
  }
  ::umount2(small.c_str(), MNT_DETACH);
}

// Registered twice with a /tmp of exactly the floor and of one page less;
// KOVIRA_FLOOR says which.
TEST(StoreFloor, FreeSpaceOfTmpIsCheckedExactly) {
  REQUIRE_NAMESPACE();
  const char* expect = std::getenv("KOVIRA_FLOOR");
  if (!expect) GTEST_SKIP() << "runs with KOVIRA_FLOOR=store|refuse";
  const bool store = std::string(expect) == "store";
  ASSERT_EQ(diskfreespace("/tmp"), store ? evidence::kFreeSpaceFloor : evidence::kFreeSpaceFloor - 4096);
  lazyUpload.configure("http://127.0.0.1:9/upload.php");
  kovira::Action a(1);
  a.method = "speed";
  a.path = "/tmp/floor";
  a.upload = 1;
  SimpleFile archive("tar bytes", 9);
  testing::internal::CaptureStdout();
  procTrackRes(a, archive);
  const std::string out = testing::internal::GetCapturedStdout();
  if (store) {
    EXPECT_EQ(out, "");
    EXPECT_EQ(listing("/tmp/floor").size(), 1u);
    EXPECT_EQ(lazyUpload.queued(), 1u);
  } else {
    EXPECT_EQ(out, "[DBG] недостаточно пространства в /tmp\n");
    EXPECT_FALSE(fs::exists("/tmp/floor"));
    EXPECT_EQ(lazyUpload.queued(), 0u);
  }
}

}  // namespace
