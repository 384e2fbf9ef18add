#include "core/fs.h"
#include "core/log.h"
#include "core/log_files.h"

#include <boost/filesystem.hpp>
#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
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
  EXPECT_TRUE(std::regex_match(names[0], std::regex(R"(RtspClient_run000001_\d{4}-\d\d-\d\d_\d\d-\d\d-\d\d\.0\.log)")))
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
namespace fs = std::filesystem;

// A numbered run's file name, with the time the clock said at opening.
std::string run(int r, int n, const char* time = "2026-12-07_14-30-26") {
  char text[80];
  std::snprintf(text, sizeof text, "RtspClient_run%06d_%s.%d.log", r, time, n);
  return text;
}
// A name of an earlier version (no run number).
std::string legacy(const char* time, int n) {
  return std::string("RtspClient_") + time + "." + std::to_string(n) + ".log";
}

// Small limits: rotation 100 bytes, 3 files a run, 300 bytes in all (so 200
// for the files beside the open one).
TEST(LogFileRule, KeepsTheNewestWithinFilesPerRunAndTotal) {
  constexpr logfiles::Limits limits{100, 3, 300};
  struct Case {
    const char* what;
    std::vector<File> files;  // {name, size, own}
    std::vector<std::string> doomed;
  };
  const Case cases[] = {
      {"within both", {{run(3, 1), 100, true}, {run(2, 0), 100, false}}, {}},
      {"this run's fourth file goes",
       {{run(3, 2), 10, true}, {run(3, 1), 10, true}, {run(3, 0), 10, true}},
       {run(3, 0)}},
      {"earlier runs fill what is left, oldest out",
       {{run(2, 0), 150, false}, {run(1, 1), 100, false}, {run(1, 0), 50, false}},
       {run(1, 1)}},
      {"this run's files come before earlier runs', whatever the time in their names",
       {{run(2, 5), 100, false},
        {run(3, 0, "1970-01-01_00-00-07"), 100, true},
        {run(3, 1, "1970-01-01_00-05-00"), 100, true}},
       {run(2, 5)}},
      {"a later run is newer, whatever its clock said",
       {{run(1, 9, "2030-01-01_00-00-00"), 150, false}, {run(2, 0, "1970-01-01_00-00-03"), 150, false}},
       {run(1, 9, "2030-01-01_00-00-00")}},
      {"within a run the counter, not the time (a clock stepped back)",
       {{run(1, 0, "2026-12-07_14-30-26"), 150, false}, {run(1, 1, "2026-06-01_00-00-00"), 150, false}},
       {run(1, 0, "2026-12-07_14-30-26")}},
      {"names of an earlier version are older than any numbered run",
       {{legacy("2030-01-01_00-00-00", 4), 150, false}, {run(1, 0, "1970-01-01_00-00-01"), 150, false}},
       {legacy("2030-01-01_00-00-00", 4)}},
      {"among themselves by time, then counter as a number",
       {{legacy("2026-12-07_09-00-00", 5), 70, false},
        {legacy("2026-12-07_10-00-00", 9), 70, false},
        {legacy("2026-12-07_10-00-00", 10), 70, false},
        {legacy("2026-12-07_10-00-00", 11), 70, false}},
       {legacy("2026-12-07_10-00-00", 9), legacy("2026-12-07_09-00-00", 5)}},
      {"the open file is never deleted, nor counted twice", {{"cur", 5000, true}, {run(1, 0), 200, false}}, {}},
  };
  for (const Case& c : cases) EXPECT_EQ(filesToDelete(c.files, "cur", limits), c.doomed) << c.what;
  // A rotation size above the total leaves room for the open file only.
  EXPECT_EQ(filesToDelete({{run(1, 0), 1, true}}, "cur", {500, 3, 300}), std::vector<std::string>{run(1, 0)});
}

TEST(LogFileRule, OnlyOurFileNamesAreLogFiles) {
  for (const char* name :
       {"RtspClient_2026-12-07_14-30-26.0.log", "RtspClient_run000001_2026-12-07_14-30-26.0.log", "RtspClient_x.log"})
    EXPECT_TRUE(logfiles::isLogFileName(name)) << name;
  for (const char* name : {"RtspClient_.log", "other.log", "RtspClient_x.log.gz", "RtspClient_x.txt", "rtspclient_x.log"})
    EXPECT_FALSE(logfiles::isLogFileName(name)) << name;
}

TEST(LogFileRule, TheNextRunIsOneAboveTheHighestInTheFolder) {
  struct Case {
    std::vector<std::string> names;
    std::uint64_t next;
  };
  const Case cases[] = {
      {{}, 1},
      {{legacy("2026-12-07_14-30-26", 0), "other.log"}, 1},
      {{run(7, 3), run(41, 0, "1970-01-01_00-00-00"), legacy("2030-01-01_00-00-00", 2)}, 42},
      {{"RtspClient_run_x.0.log", "RtspClient_run12x_y.0.log", "RtspClient_run000099.txt"}, 1},
      {{"RtspClient_run1234567_2026-12-07_14-30-26.0.log"}, 1234568},  // past the padding
  };
  for (const Case& c : cases) EXPECT_EQ(logfiles::nextRun(c.names), c.next) << ::testing::PrintToString(c.names);
}

// Real folders through pruneLogFiles with the production limits: sparse files
// at the rotation size, stamped as a unit's clock left them. This run's files
// open one after the other as the sink does, each finished file filled and
// stamped before the next opens.
TEST(LogFileRule, AFolderKeepsThisRunsFilesWhateverTheirStamps) {
  using namespace std::chrono_literals;
  const auto at = [](int year, unsigned month, unsigned day) {
    const std::chrono::sys_seconds midnight{
        std::chrono::sys_days{std::chrono::year{year} / std::chrono::month(month) / std::chrono::day(day)}};
    return fs::file_time_type(std::chrono::file_clock::from_sys(midnight));
  };
  struct Stamped {
    std::string name;
    fs::file_time_type mtime;
  };
  struct Case {
    const char* what;
    std::vector<Stamped> earlier;
    std::vector<Stamped> own;  // opened in this order
    std::vector<std::string> kept;
  };
  const auto now = at(2026, 12, 7);
  // Every case numbers its own run apart: the memory of this run's files is one per process.
  const Case cases[] = {
      {"no battery clock: this run at 1970, earlier runs stamped later",
       {{legacy("2026-11-01_08-00-00", 0), now},
        {legacy("2026-11-01_08-00-00", 1), now},
        {run(10, 0), now},
        {run(10, 1), now},
        {run(10, 2), now}},
       {{run(11, 0, "1970-01-01_00-00-04"), at(1970, 1, 1)},
        {run(11, 1, "1970-01-01_00-09-00"), at(1970, 1, 1)},
        {run(11, 2, "1970-01-01_00-20-00"), at(1970, 1, 1)},
        {run(11, 3, "1970-01-01_00-31-00"), at(1970, 1, 1)}},
       {run(10, 1), run(10, 2), run(11, 1, "1970-01-01_00-09-00"), run(11, 2, "1970-01-01_00-20-00"),
        run(11, 3, "1970-01-01_00-31-00")}},
      {"an earlier run at 1970, the one before it stamped later: the later run stays, the one before goes",
       {{run(20, 0), now + 24h},
        {run(20, 1), now + 24h},
        {run(20, 2), now + 24h},
        {run(21, 0, "1970-01-01_00-00-02"), at(1970, 1, 1)},
        {run(21, 1, "1970-01-01_00-10-00"), at(1970, 1, 1)},
        {run(21, 2, "1970-01-01_00-20-00"), at(1970, 1, 1)}},
       {{run(22, 0), now}, {run(22, 1), now}},
       {run(21, 0, "1970-01-01_00-00-02"), run(21, 1, "1970-01-01_00-10-00"), run(21, 2, "1970-01-01_00-20-00"),
        run(22, 0), run(22, 1)}},
      {"the clock stepped back during this run",
       {{run(30, 0), now}, {run(30, 1), now}, {run(30, 2), now}, {run(30, 3), now}},
       {{run(31, 0), now + 48h}, {run(31, 1), now - 24h * 200}, {run(31, 2), now - 24h * 200}},
       {run(30, 2), run(30, 3), run(31, 0), run(31, 1), run(31, 2)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const fs::path dir = fs::temp_directory_path() / ("kovira-logrule-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const auto place = [&](const Stamped& f) {
      std::ofstream(dir / f.name).close();
      fs::resize_file(dir / f.name, logfiles::kLimits.rotationBytes);
      fs::last_write_time(dir / f.name, f.mtime);
    };
    for (const Stamped& f : c.earlier) place(f);
    for (const Stamped& f : c.own) {
      std::ofstream(dir / f.name).close();  // opened by the sink, still empty
      logfiles::pruneLogFiles((dir / f.name).string());
      place(f);  // written full with the clock of its time
    }
    std::vector<std::string> kept;
    for (const auto& e : fs::directory_iterator(dir)) kept.push_back(e.path().filename().string());
    std::sort(kept.begin(), kept.end());
    EXPECT_EQ(kept, c.kept);
    fs::remove_all(dir);
  }
}

}  // namespace logrule
