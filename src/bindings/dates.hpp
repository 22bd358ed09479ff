// The bridge's dates: pandas datetimes <-> days since the epoch, the core calendar over a holiday list.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdint>
#include <vector>

#include "calendar.hpp"

namespace varlo::bridge {

namespace py = pybind11;

// Days since the epoch of a datetime-like index or array (NaT -> kNaTDay), and back to a DatetimeIndex.
inline constexpr Day kNaTDay = INT64_MIN;
std::vector<std::int64_t> ns_of(const py::handle& datetimes);
std::vector<Day> days_of(const py::handle& datetimes);
py::object datetime_index(const std::vector<Day>& days);

// The core calendar over a sequence of holiday dates (strings or datetimes).
TradingCalendar calendar_of(const py::handle& holidays);

}  // namespace varlo::bridge
