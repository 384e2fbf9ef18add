// Console lines written by many threads at once arrive whole: each is one
// write, so no line is cut by another thread's text.
#include "core/console.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

TEST(ConsoleLine, LinesOfConcurrentThreadsNeverInterleave) {
  constexpr int kThreads = 8;
  constexpr int kLines = 300;
  // Long enough that a line written in pieces would be cut by others.
  const std::string body(3000, 'x');
  testing::internal::CaptureStdout();
  {
    std::vector<std::jthread> threads;
    for (int t = 0; t < kThreads; ++t)
      threads.emplace_back([t, &body] {
        for (int i = 0; i < kLines; ++i) consoleLine("[DBG] " + std::to_string(t) + " " + body + " end");
      });
  }
  std::istringstream lines(testing::internal::GetCapturedStdout());
  std::map<int, int> perThread;
  for (std::string line; std::getline(lines, line);) {
    int t = -1;
    ASSERT_EQ(std::sscanf(line.c_str(), "[DBG] %d ", &t), 1) << line.substr(0, 40);
    ASSERT_EQ(line, "[DBG] " + std::to_string(t) + " " + body + " end");
    ++perThread[t];
  }
  ASSERT_EQ(perThread.size(), static_cast<std::size_t>(kThreads));
  for (const auto& [t, n] : perThread) EXPECT_EQ(n, kLines) << "thread " << t;
}

}  // namespace
