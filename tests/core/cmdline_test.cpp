#include "core/cli.h"
#include "core/cmdline.h"

// Error lines, help and the "=" form are checked on the real program in
// process_test.cpp; these are the parser's own rules.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <initializer_list>
#include <string>
#include <tuple>
#include <vector>

using stdext::cl_opt;

namespace {

using Report = std::tuple<std::string, std::string, int>;

std::vector<Report>* reports = nullptr;

void record(const std::string& option, const std::string& argument, cl_opt::cl_opt_ret result) {
  reports->emplace_back(option, argument, result);
}

// Parses words (argv[0] added) with the program's "--cfg" option and a
// non-exiting "-h", returning every report in order and the stored path.
struct Parsed {
  std::vector<Report> reports;
  std::string path;
  int helpCalls = 0;
};

Parsed parse(std::initializer_list<std::string> words) {
  Parsed out;
  std::vector<std::string> storage{"kovira"};
  storage.insert(storage.end(), words);
  std::vector<char*> argv;
  for (auto& w : storage) argv.push_back(w.data());
  argv.push_back(nullptr);

  std::vector<cl_opt> opts;
  opts.push_back(cl_opt{"cfg", "", "", 0, cl_opt::required_arg,
                        [&out](const std::string& a) { return getFileName(a, out.path); }});
  opts.push_back(cl_opt{"help", "", "", 'h', cl_opt::no_arg, [&out](const std::string&) {
                          ++out.helpCalls;
                          return cl_opt::ok;
                        }});
  reports = &out.reports;
  stdext::cl_parse(static_cast<int>(storage.size()), argv.data(), opts.begin(), opts.end(), record);
  reports = nullptr;
  return out;
}

class CmdlineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (auto* p : {&a, &b}) {
      char name[] = "/tmp/kovira-cfgXXXXXX";
      const int fd = mkstemp(name);
      ASSERT_GE(fd, 0);
      close(fd);
      *p = name;
    }
  }
  void TearDown() override {
    std::remove(a.c_str());
    std::remove(b.c_str());
  }
  std::string a, b;
};

TEST_F(CmdlineTest, LaterCfgWinsOnlyWhenItsFileOpens) {
  EXPECT_EQ(parse({"--cfg", a, "--cfg", b}).path, b);

  const Parsed bad = parse({"--cfg", a, "--cfg", "/nonexistent/x.json"});
  EXPECT_EQ(bad.path, a);
  EXPECT_EQ(bad.reports.back(), Report("--cfg", "/nonexistent/x.json", cl_opt::invalid_arg));
}

TEST_F(CmdlineTest, StrayWordsAreReportedAfterTheOptions) {
  const Parsed p = parse({"one", "--cfg", a, "two"});
  EXPECT_EQ(p.path, a);
  EXPECT_EQ(p.reports, (std::vector<Report>{{"--cfg", a, cl_opt::ok},
                                            {"one", "", cl_opt::stray_arg},
                                            {"two", "", cl_opt::stray_arg}}));
  // Parsing again starts afresh.
  EXPECT_EQ(parse({"--cfg", b}).reports, (std::vector<Report>{{"--cfg", b, cl_opt::ok}}));
}

}  // namespace
