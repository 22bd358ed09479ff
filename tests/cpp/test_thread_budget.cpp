#include <gtest/gtest.h>

#include <cstdlib>
#include <thread>

#include "thread_budget.hpp"

using varlo::parse_thread_budget;

TEST(ThreadBudget, ParsesOnlyPositiveDecimalCounts) {
  EXPECT_EQ(parse_thread_budget("1"), 1u);
  EXPECT_EQ(parse_thread_budget(" 12\n"), 12u);
  EXPECT_EQ(parse_thread_budget("4096"), 4096u);
  for (const char* bad : {"", " ", "0", "-1", "+2", "2x", "1.5", "4097", "99999999999999999999999", "0x4"}) {
    EXPECT_FALSE(parse_thread_budget(bad).has_value()) << bad;
  }
  EXPECT_FALSE(parse_thread_budget(nullptr).has_value());
}

TEST(ThreadBudget, FollowsTheEnvironmentOnEveryCall) {
  const std::size_t hw = std::max(1u, std::thread::hardware_concurrency());
  ::setenv(varlo::kThreadBudgetVariable, "3", 1);
  EXPECT_EQ(varlo::thread_budget(), 3u);
  ::setenv(varlo::kThreadBudgetVariable, "1", 1);
  EXPECT_EQ(varlo::thread_budget(), 1u);
  ::setenv(varlo::kThreadBudgetVariable, "none", 1);
  EXPECT_EQ(varlo::thread_budget(), hw);
  ::unsetenv(varlo::kThreadBudgetVariable);
  EXPECT_EQ(varlo::thread_budget(), hw);
}
