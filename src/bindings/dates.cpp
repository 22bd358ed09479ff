// The bridge's dates (declared in dates.hpp).
#include "dates.hpp"

#include "pandas_bridge.hpp"

namespace varlo::bridge {

std::vector<std::int64_t> ns_of(const py::handle& datetimes) {
  py::object arr = np().attr("asarray")(datetimes).attr("astype")("datetime64[ns]").attr("view")("int64");
  auto a = py::cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>(arr);
  return std::vector<std::int64_t>(a.data(), a.data() + a.size());
}

std::vector<Day> days_of(const py::handle& datetimes) {
  std::vector<std::int64_t> ns = ns_of(datetimes);
  for (auto& v : ns) v = v == INT64_MIN ? kNaTDay : day_of_ns(v);
  return ns;
}

py::object datetime_index(const std::vector<Day>& days) {
  std::vector<std::int64_t> ns(days.size());
  for (std::size_t i = 0; i < days.size(); ++i) ns[i] = days[i] == kNaTDay ? INT64_MIN : ns_of_day(days[i]);
  py::array_t<std::int64_t> arr(static_cast<py::ssize_t>(ns.size()), ns.data());
  return pd().attr("DatetimeIndex")(arr.attr("view")("datetime64[ns]"));
}

TradingCalendar calendar_of(const py::handle& holidays) {
  py::object arr = np().attr("asarray")(py::reinterpret_borrow<py::object>(holidays), py::arg("dtype") = "datetime64[ns]");
  return TradingCalendar(days_of(arr));
}

}  // namespace varlo::bridge
