#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>

#include "calendar.hpp"

using varlo::Day;
using varlo::TradingCalendar;

namespace {
// 1970-01-03 (day 2) and 1970-01-04 (day 3) are a weekend; day 7 a lone holiday.
TradingCalendar weekend_cal() { return TradingCalendar({3, 2, 7, 7}); }
}  // namespace

TEST(Calendar, ForwardAndBackSkipHolidays) {
  const auto cal = weekend_cal();
  EXPECT_EQ(cal.shift(1, 1), 4);   // Friday -> Monday
  EXPECT_EQ(cal.shift(4, -1), 1);  // Monday -> Friday
  EXPECT_EQ(cal.shift(6, 1), 8);   // over the lone holiday
  EXPECT_EQ(cal.shift(8, -2), 5);
  EXPECT_EQ(cal.shift(0, 4), 6);
}

TEST(Calendar, NonTradingStartRollsTowardTheStep) {
  const auto cal = weekend_cal();
  EXPECT_EQ(cal.shift(2, -1), 1);  // Saturday: forward to Monday, then one back
  EXPECT_EQ(cal.shift(2, 1), 4);   // Saturday: back to Friday, then one forward
  EXPECT_EQ(cal.shift(3, 0), 4);
  EXPECT_EQ(cal.roll_backward(3), 1);
  EXPECT_EQ(cal.roll_forward(7), 8);
}

TEST(Calendar, OutsideTheListEveryDayTrades) {
  const auto cal = weekend_cal();
  EXPECT_EQ(cal.shift(100, 20), 120);
  EXPECT_EQ(cal.shift(-100, -250), -350);
  EXPECT_EQ(cal.shift(10, -10), -3);  // crosses three holidays going back
  const TradingCalendar empty({});
  EXPECT_EQ(empty.shift(5, -20), -15);
  EXPECT_TRUE(empty.is_trading(0));
}

TEST(Calendar, NsToDayFloorsBeforeEpoch) {
  EXPECT_EQ(varlo::day_of_ns(-1), -1);
  EXPECT_EQ(varlo::day_of_ns(86'400'000'000'000 - 1), 0);
  EXPECT_EQ(varlo::day_of_ns(-86'400'000'000'000), -1);
}

TEST(Calendar, HugeShiftsRaiseInsteadOfWrapping) {
  const varlo::TradingCalendar cal({2, 3, 10});
  EXPECT_THROW(cal.shift(0, INT64_MAX), std::overflow_error);
  EXPECT_THROW(cal.shift(-5, INT64_MIN), std::overflow_error);
  EXPECT_THROW(cal.shift(INT64_MAX - 1, 5), std::overflow_error);
  EXPECT_EQ(cal.shift(0, 1'000'000'000'000), 1'000'000'000'000 + 3);
}
