#include "core/fs.h"
#include "core/log.h"
#include "core/log_files.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace bfs = boost::filesystem;

// One log per process: the program directory is a temporary "bin" folder, so
// the file lands in its sibling "tmp".
class LogTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    root = new bfs::path(bfs::temp_directory_path() / bfs::unique_path("kovira-log-%%%%-%%%%"));
    bfs::create_directories(*root / "bin");
    SetCurrentPath((*root / "bin" / "kovira").string().c_str());
    log_init();
  }
  static void TearDownTestSuite() {
    bfs::remove_all(*root);
    delete root;
  }

  static std::vector<std::string> lines() {
    std::vector<std::string> out;
    for (const auto& entry : bfs::directory_iterator(*root / "tmp")) {
      std::ifstream in(entry.path().string());
      for (std::string line; std::getline(in, line);) out.push_back(line);
    }
    return out;
  }

  static std::string lineWith(const std::string& marker) {
    for (const auto& l : lines())
      if (l.find(marker) != std::string::npos) return l;
    return {};
  }

  static bfs::path* root;
};

bfs::path* LogTest::root = nullptr;

TEST_F(LogTest, WritesOneFileBesideTheProgramDirectory) {
  log_info("first record");
  std::vector<std::string> names;
  for (const auto& entry : bfs::directory_iterator(*root / "tmp")) names.push_back(entry.path().filename().string());
  ASSERT_EQ(names.size(), 1u);
  EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(RtspClient_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.0\.log)")))
      << names[0];
}

TEST_F(LogTest, RecordFormatAndSeverities) {
  log_info("marker-info");
  log_warning(std::string("marker-warning"));
  log_error("marker-error");
  log_fatal("marker-fatal");
  const std::regex record(R"(\[\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{6}\] \(0x[0-9a-f]+\) \[(\w+)\] \[\] marker-(\w+))");
  for (const char* sev : {"info", "warning", "error", "fatal"}) {
    std::smatch m;
    const std::string line = lineWith(std::string("marker-") + sev);
    ASSERT_TRUE(std::regex_match(line, m, record)) << line;
    EXPECT_EQ(m[1], sev);
    EXPECT_EQ(m[2], sev);
  }
}

TEST_F(LogTest, FormatFunctionsCutAt1023Characters) {
  const std::string exact(1023 - 6, 'e');
  log_info_format("exact:%s", exact.c_str());
  const std::string longer(3000, 'l');
  log_error_format("long:%s", longer.c_str());
  EXPECT_EQ(lineWith("exact:").substr(lineWith("exact:").find("exact:")).size(), 1023u);
  const std::string cut = lineWith("long:");
  EXPECT_EQ(cut.substr(cut.find("long:")).size(), 1023u);
}

TEST_F(LogTest, ConcurrentRecordsStayWholeLines) {
  constexpr int kEach = 500;
  auto writer = [](char c) {
    const std::string body(200, c);
    for (int i = 0; i < kEach; ++i) log_info("whole-" + body);
  };
  std::thread a(writer, 'a'), b(writer, 'b');
  a.join();
  b.join();
  int whole = 0;
  std::set<std::string> threadIds;
  const std::regex tid(R"(\((0x[0-9a-f]+)\))");
  for (const auto& l : lines()) {
    const auto at = l.find("whole-");
    if (at == std::string::npos) continue;
    const std::string body = l.substr(at + 6);
    ASSERT_TRUE(body == std::string(200, 'a') || body == std::string(200, 'b')) << l;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(l, m, tid));
    threadIds.insert(m[1]);
    ++whole;
  }
  EXPECT_EQ(whole, 2 * kEach);
  EXPECT_EQ(threadIds.size(), 2u);
}

TEST_F(LogTest, FfmpegErrorTextIsAppended) {
  log_error_ffmpeg("open failed: ", -2);  // AVERROR(ENOENT)
  EXPECT_NE(lineWith("open failed: No such file or directory"), "");
}

}  // namespace

namespace logrule {

using logfiles::File;
using logfiles::filesToDelete;

// Small limits: rotation 100 bytes, 3 files a run, 300 bytes in all (so 200
// for the files beside the open one).
TEST(LogFileRule, KeepsTheNewestWithinFilesPerRunAndTotal) {
  constexpr logfiles::Limits limits{100, 3, 300};
  struct Case {
    const char* what;
    std::vector<File> files;  // {name, size, mtime, own}
    std::vector<std::string> doomed;
  };
  const Case cases[] = {
      {"within both", {{"a", 100, 3, true}, {"b", 100, 2, false}}, {}},
      {"this run's fourth file goes", {{"a", 10, 3, true}, {"b", 10, 2, true}, {"c", 10, 1, true}}, {"c"}},
      {"earlier runs fill what is left, oldest out",
       {{"x", 150, 5, false}, {"y", 100, 4, false}, {"z", 50, 3, false}},
       {"y"}},
      {"this run's files come before earlier runs'",
       {{"r", 100, 1, false}, {"a", 100, 9, true}, {"b", 100, 8, true}},
       {"r"}},
      {"newest by time, not by name", {{"2", 150, 1, false}, {"1", 150, 2, false}}, {"2"}},
      {"same time: the greater name is newer", {{"m.1", 150, 7, false}, {"m.2", 150, 7, false}}, {"m.1"}},
      {"the open file is never deleted, nor counted twice", {{"cur", 5000, 1, true}, {"a", 200, 0, false}}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(filesToDelete(c.files, "cur", limits), c.doomed) << c.what;
  // A rotation size above the total leaves room for the open file only.
  EXPECT_EQ(filesToDelete({{"a", 1, 1, true}}, "cur", {500, 3, 300}), std::vector<std::string>{"a"});
}

TEST(LogFileRule, OnlyOurFileNamesAreLogFiles) {
  for (const char* name : {"RtspClient_2026-12-07_14-30-26.0.log", "RtspClient_x.log"})
    EXPECT_TRUE(logfiles::isLogFileName(name)) << name;
  for (const char* name : {"RtspClient_.log", "other.log", "RtspClient_x.log.gz", "RtspClient_x.txt", "rtspclient_x.log"})
    EXPECT_FALSE(logfiles::isLogFileName(name)) << name;
}

}  // namespace logrule
