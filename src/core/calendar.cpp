// Trading-day arithmetic of calendar.hpp.
#include "calendar.hpp"

#include <algorithm>
#include <stdexcept>

namespace varlo {

TradingCalendar::TradingCalendar(std::vector<Day> holidays) : holidays_(std::move(holidays)) {
  std::sort(holidays_.begin(), holidays_.end());
  holidays_.erase(std::unique(holidays_.begin(), holidays_.end()), holidays_.end());
  gaps_.reserve(holidays_.size());
  for (std::size_t j = 0; j < holidays_.size(); ++j) gaps_.push_back(holidays_[j] - static_cast<Day>(j));
}

bool TradingCalendar::is_trading(Day d) const {
  return !std::binary_search(holidays_.begin(), holidays_.end(), d);
}

Day TradingCalendar::roll_forward(Day d) const {
  auto it = std::lower_bound(holidays_.begin(), holidays_.end(), d);
  while (it != holidays_.end() && *it == d) {
    ++d;
    ++it;
  }
  return d;
}

Day TradingCalendar::roll_backward(Day d) const {
  auto it = std::lower_bound(holidays_.begin(), holidays_.end(), d);
  while (it != holidays_.end() && *it == d) {
    --d;
    if (it == holidays_.begin()) break;
    --it;
  }
  return d;
}

std::int64_t TradingCalendar::rank(Day d) const {
  return d - static_cast<std::int64_t>(std::lower_bound(holidays_.begin(), holidays_.end(), d) - holidays_.begin());
}

// The trading day x with x - #(holidays < x) == r is r + #{j : holidays[j] - j <= r}.
Day TradingCalendar::unrank(std::int64_t r) const {
  const auto below = static_cast<Day>(std::upper_bound(gaps_.begin(), gaps_.end(), r) - gaps_.begin());
  Day d = 0;
  if (__builtin_add_overflow(r, below, &d)) throw std::overflow_error("trading-day shift out of range");
  return d;
}

Day TradingCalendar::shift(Day d, std::int64_t k) const {
  const Day start = k > 0 ? roll_backward(d) : roll_forward(d);
  std::int64_t r = 0;
  if (__builtin_add_overflow(rank(start), k, &r)) throw std::overflow_error("trading-day shift out of range");
  return unrank(r);
}

}  // namespace varlo
