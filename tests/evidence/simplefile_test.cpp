#include "evidence/simplefile.h"
#include "tests/evidence/shell_helpers.h"

#include <gtest/gtest.h>
#include <opencv2/core.hpp>
#include <opencv2/imgcodecs.hpp>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <sys/stat.h>

using evtest::ScratchDir;

TEST(SimpleFile, CopiesAppendEqualityAndPrinting) {
  SimpleFile a("abc", 3);
  SimpleFile b = a;
  EXPECT_EQ(a.data.get(), b.data.get());
  a.append("def", 3);
  EXPECT_EQ(a.str(), "abcdef");
  EXPECT_EQ(b.str(), "abc");
  EXPECT_EQ(b.size, 3u);
  EXPECT_EQ(a.data[6], '\0');  // the trailing NUL
  const char* before = a.data.get();
  a.append("x", 0);
  EXPECT_EQ(a.data.get(), before);
  EXPECT_FALSE(SimpleFile() == SimpleFile());
  const SimpleFile ab = SimpleFile("ab", 2) + SimpleFile("cd", 2);
  EXPECT_TRUE(ab == SimpleFile("abcd", 4));
  EXPECT_TRUE(ab != SimpleFile("abce", 4));
  std::ostringstream os;
  os << SimpleFile("x\0y", 3);
  EXPECT_EQ(os.str(), "x");
}

TEST(SimpleFile, LoadReadsWholeFilesOrExactCountsAndReportsShortFiles) {
  ScratchDir dir("sf-load");
  evtest::writeBytes(dir.file("empty"), "");
  evtest::writeBytes(dir.file("five"), "12345");
  SimpleFile f;
  EXPECT_TRUE(f.load(dir.file("empty"), 0));
  EXPECT_EQ(f.size, 0u);
  EXPECT_EQ(f.name, "empty");
  EXPECT_TRUE(f.load(dir.file("five"), 3));
  EXPECT_EQ(f.str(), "123");
  EXPECT_FALSE(f.load(dir.file("five"), 10));
  EXPECT_FALSE(f.good);
  EXPECT_FALSE(f.load(dir.file("missing"), 0));
  EXPECT_TRUE(f.load(dir.file("five"), 0));
  EXPECT_EQ(f.str(), "12345");
  // A directory is no file, whatever size its seek reports.
  std::filesystem::create_directory(dir.file("sub"));
  for (std::size_t want : {std::size_t{0}, std::size_t{4}}) {
    EXPECT_FALSE(f.load(dir.file("sub"), want)) << want;
    EXPECT_FALSE(f.good);
  }
}

TEST(SafeSave, WritesThroughAHiddenTemporaryAndReplacesTheTargetOrFails) {
  ScratchDir dir("sf-safe");
  const std::string target = dir.file("c.tar");
  evtest::writeBytes(target, "old contents");
  EXPECT_EQ(safeSave(target, "new", 3), 3);
  EXPECT_EQ(evtest::readBytes(target), "new");
  EXPECT_FALSE(std::filesystem::exists(dir.file(".c.tar~")));

  // Without a slash the temporary goes into the working directory.
  const auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  EXPECT_EQ(safeSave("d.tar", "xy", 2), 2);
  std::filesystem::current_path(cwd);
  EXPECT_EQ(evtest::readBytes(dir.file("d.tar")), "xy");

  // Failures are reported with their step and reason, leave the target
  // untouched and leave no hidden file. Renaming a file onto a non-empty
  // directory fails after the write.
  EXPECT_EQ(safeSave(dir.file("no/such/dir/x"), "abc", 3), -1);
  std::filesystem::create_directories(dir.file("busy/inside"));
  SimpleFile f("abc", 3);
  EXPECT_EQ(f.safesave(dir.file("busy")), -1);
  EXPECT_TRUE(std::filesystem::is_directory(dir.file("busy")));
  EXPECT_FALSE(std::filesystem::exists(dir.file(".busy~")));
  const std::pair<std::string, std::string> failures[] = {
      {"no/such/dir/x", "open " + dir.file("no/such/dir/.x~") + ": No such file or directory"},
      {"busy", "rename to " + dir.file("busy") + ": Is a directory"},
  };
  for (const auto& [name, why] : failures) {
    const SaveResult r = f.safewrite(dir.file(name));
    EXPECT_EQ(r.written, -1);
    EXPECT_EQ(r.error, why);
  }
  EXPECT_EQ(f.safewrite(dir.file("fine")).written, 3);
}

TEST(SafeSave, LeftoverTemporaryNames) {
  for (const char* name : {".1.tar~", ".4294967295.tar~", ".77.jpg~"})
    EXPECT_TRUE(isLeftoverTemporary(name)) << name;
  for (const char* name : {"1.tar~", ".1.tar", ".tar~", "..tar~", ".1.~", ".a1.tar~", ".1.t-r~", ".1.tar~~", "~"})
    EXPECT_FALSE(isLeftoverTemporary(name)) << name;
  EXPECT_EQ(safeTemporaryOf("/a/b/c.tar"), "/a/b/.c.tar~");
}

TEST(LoadCvImage, EncodesByTheWordInTheNameWithoutTouchingThePixels) {
  cv::Mat picture(40, 60, CV_8UC4, cv::Scalar(10, 20, 200, 255));
  const cv::Mat before = picture.clone();
  SimpleFile jpg = loadCvImage(picture, "/tmp/x/m.jpg", 80);
  EXPECT_EQ(jpg.name, "m.jpg");
  ASSERT_GT(jpg.size, 2u);
  EXPECT_EQ(static_cast<unsigned char>(jpg.data[0]), 0xFF);
  EXPECT_EQ(static_cast<unsigned char>(jpg.data[1]), 0xD8);
  EXPECT_EQ(cv::norm(picture, before, cv::NORM_INF), 0.0);
  // Four channels are written with red and blue swapped.
  const cv::Mat decoded = cv::imdecode(cv::Mat(1, static_cast<int>(jpg.size), CV_8UC1, jpg.data.get()), cv::IMREAD_COLOR);
  EXPECT_NEAR(decoded.at<cv::Vec3b>(20, 30)[0], 200, 4);

  SimpleFile png = loadCvImage(picture, "frame.png", 80);
  EXPECT_EQ(png.str().substr(1, 3), "PNG");
  SimpleFile bmp = loadCvImage(picture, "x.bmp", 80);
  EXPECT_EQ(bmp.size, 0u);
  EXPECT_TRUE(bmp.name.empty());
}

TEST(WholeFiles, SaveAndLoadRoundTripAndReportFailures) {
  ScratchDir dir("sf-whole");
  EXPECT_EQ(SaveFile(dir.file("a").c_str(), "hello", 5), 1);
  std::size_t size = 0;
  void* block = LoadFile(dir.file("a").c_str(), size);
  ASSERT_NE(block, nullptr);
  EXPECT_EQ(std::string(static_cast<char*>(block), size), "hello");
  std::free(block);
  unsigned int size32 = 0;
  block = LoadImage(dir.file("a").c_str(), size32);
  EXPECT_EQ(size32, 5u);
  std::free(block);
  EXPECT_EQ(LoadFile(dir.file("missing").c_str(), size), nullptr);
  EXPECT_EQ(SaveFile(dir.file("no/dir/a").c_str(), "x", 1), 0);
}
