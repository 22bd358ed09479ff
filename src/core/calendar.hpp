// Trading-day arithmetic over a holiday list in which every non-trading day (weekends included) is a
// holiday; outside the listed span every calendar day trades.
#pragma once

#include <cstdint>
#include <vector>

namespace varlo {

using Day = std::int64_t;  // days since 1970-01-01

// Floor division so that times before the epoch map to the right day.
inline Day day_of_ns(std::int64_t ns) {
  constexpr std::int64_t kNsPerDay = 86'400'000'000'000;
  return ns >= 0 ? ns / kNsPerDay : -((-ns + kNsPerDay - 1) / kNsPerDay);
}
inline std::int64_t ns_of_day(Day d) { return d * 86'400'000'000'000; }

class TradingCalendar {
 public:
  // Holidays in any order, duplicates allowed.
  explicit TradingCalendar(std::vector<Day> holidays);

  bool is_trading(Day d) const;
  Day roll_forward(Day d) const;
  Day roll_backward(Day d) const;
  // The day k trading days from d, as a business-day offset steps: for k > 0 a non-trading d first rolls
  // backward, for k <= 0 forward, then k trading days are counted. std::overflow_error when the day
  // lies beyond the range of Day.
  Day shift(Day d, std::int64_t k) const;
  const std::vector<Day>& holidays() const { return holidays_; }

 private:
  std::int64_t rank(Day trading_day) const;  // trading days before it, up to a constant
  Day unrank(std::int64_t r) const;

  std::vector<Day> holidays_;  // sorted, unique
  std::vector<Day> gaps_;      // holidays_[j] - j, non-decreasing: inverts rank in O(log n)
};

}  // namespace varlo
