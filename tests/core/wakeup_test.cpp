// The stop signal loops sleep on: a raise ends a long sleep and every later
// one until cleared.
#include "core/wakeup.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

using namespace std::chrono_literals;

TEST(Wakeup, RaiseEndsSleepsUntilCleared) {
  Wakeup w;
  EXPECT_FALSE(w.sleepFor(20ms));  // the deadline passes: not raised

  std::thread raiser([&w] { w.raise(); });
  EXPECT_TRUE(w.sleepFor(1h));  // a test time-out, not an hour, if the raise is lost
  raiser.join();
  EXPECT_TRUE(w.sleepFor(1h));  // stays raised

  w.clear();
  EXPECT_FALSE(w.raised());
  EXPECT_FALSE(w.sleepFor(20ms));
  const auto before = Wakeup::Clock::now();
  EXPECT_FALSE(w.sleepUntil(before - 1s));  // a past deadline returns at once
}
