// Trading-day calendar: the TradingDay offset over the exchange's trading days and the holiday-file rebuild.
#include <pybind11/pybind11.h>
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <string>

#include "pandas_bridge.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace {

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_tradingday";
constexpr const char* kWeekmask = "Mon Tue Wed Thu Fri Sat Sun";

// Unpack exactly two values the way the interpreter's tuple assignment does, with its messages.
std::pair<py::object, py::object> unpack_two(const py::handle& value) {
  py::iterator it = py::iter(value);
  py::object got[2];
  int n = 0;
  for (; n < 2 && it != py::iterator::sentinel(); ++n, ++it) got[n] = py::reinterpret_borrow<py::object>(*it);
  if (n < 2) {
    throw py::value_error("not enough values to unpack (expected 2, got " + std::to_string(n) + ")");
  }
  if (it != py::iterator::sentinel()) throw py::value_error("too many values to unpack (expected 2)");
  return {got[0], got[1]};
}

void get_holidays() {
  py::object w = py::module_::import("WindPy").attr("w");
  w.attr("start")();
  // The query runs through the end of the current year: a fixed end would turn every later day,
  // weekends included, into a trading day.
  const int year = py::module_::import("datetime").attr("date").attr("today")().attr("year").cast<int>();
  const std::string end = std::to_string(year) + "-12-31";
  auto [error, trading_calendar] = unpack_two(w.attr("tdays")("2000-01-01", end, "TradingCalendar=SHFE", "usedf"_a = true));
  (void)error;
  py::module_ pd = br::pd();
  py::object days = trading_calendar.attr("index").attr("map")(pd.attr("Timestamp"));
  py::object offsets = pd.attr("offsets");
  py::object bd = offsets.attr("YearBegin")().attr("rollback")(days[py::int_(0)]);
  py::object ed = offsets.attr("YearEnd")().attr("rollforward")(days[py::int_(-1)]);
  py::object holidays = pd.attr("date_range")(bd, ed).attr("difference")(days);
  pd.attr("Series")("index"_a = holidays, "dtype"_a = "object").attr("to_csv")("holidays.csv");
}

// Business-day stepping of the core calendar; the tests hold it against the offset's own arithmetic.
// Dates beyond datetime64[ns] (about 1677-09-22 to 2262-04-11) raise pandas' OutOfBoundsDatetime.
py::object trading_shift(const py::handle& datetimes, std::int64_t k, const varlo::TradingCalendar& cal) {
  constexpr varlo::Day kFirst = -106751, kLast = 106751;  // whole days datetime64[ns] holds
  std::vector<varlo::Day> days = br::days_of(datetimes);
  for (auto& d : days) {
    if (d == br::kNaTDay) continue;
    d = cal.shift(d, k);
    if (d < kFirst || d > kLast) {
      PyErr_SetString(br::pd().attr("errors").attr("OutOfBoundsDatetime").ptr(),
                      ("shifting by " + std::to_string(k) + " trading days leaves the datetime64[ns] range").c_str());
      throw py::error_already_set();
    }
  }
  return br::datetime_index(days);
}

}  // namespace

PYBIND11_MODULE(Varlo_tradingday, m) {
  py::module_ pd = br::pd();
  py::module_ datetime = py::module_::import("datetime");
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("datetime") = datetime;
  m.attr("np") = br::np();
  m.attr("pd") = pd;

  // A missing or unreadable holiday file fails the import: there is no fallback calendar.
  py::object csv = br::package_dir(kModuleName) / py::str("holidays.csv");
  py::tuple hds = py::tuple(pd.attr("read_csv")(csv, "index_col"_a = 0).attr("index"));
  py::object cal = br::np().attr("busdaycalendar")("weekmask"_a = kWeekmask, "holidays"_a = hds);

  // pybind11 cannot subclass a Cython type, so the class is made by type(); its constructor is plain
  // interpreter code so that argument errors and the signature are the interpreter's own.
  py::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "TradingDay";
  ns["__doc__"] = "\n    TradingDay Class\n    ";
  ns["hds"] = hds;
  ns["cal"] = cal;
  py::dict scope;
  scope["CustomBusinessDay"] = pd.attr("offsets").attr("CustomBusinessDay");
  scope["hds"] = hds;
  scope["cal"] = cal;
  scope["zero"] = datetime.attr("timedelta")(0);
  scope["weekmask"] = kWeekmask;
  py::exec(R"(
def __init__(self, n=1, normalize=True, weekmask=weekmask, holidays=hds, calendar=cal, offset=zero):
    CustomBusinessDay.__init__(self, n, normalize, weekmask, holidays, calendar, offset)
__init__.__qualname__ = "TradingDay.__init__"
)", scope);
  py::object init = scope["__init__"];
  init.attr("__module__") = kModuleName;
  ns["__init__"] = init;
  // The base class's own pickling turns string holidays into datetime64, and the copy no longer compares
  // equal: rebuild through the constructor instead, naming the file's holidays and calendar by reference.
  scope["np"] = br::np();
  py::exec(R"(
def _trading_day(cls, n, normalize, weekmask, holidays, calendar, offset):
    holidays = hds if holidays is None else holidays
    calendar = cal if calendar is None else np.busdaycalendar(weekmask=calendar[0], holidays=calendar[1])
    return cls(n, normalize, weekmask, holidays, calendar, offset)

def __reduce__(self):
    calendar = None if self.calendar is cal else (self.calendar.weekmask, self.calendar.holidays)
    holidays = None if self.holidays is hds else self.holidays
    return _trading_day, (type(self), self.n, self.normalize, self.weekmask, holidays, calendar, self.offset)
__reduce__.__qualname__ = "TradingDay.__reduce__"
)", scope);
  py::object rebuild = scope["_trading_day"];
  rebuild.attr("__module__") = kModuleName;
  m.attr("_trading_day") = rebuild;
  py::object reduce = scope["__reduce__"];
  reduce.attr("__module__") = kModuleName;
  ns["__reduce__"] = reduce;
  py::object trading_day = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)(
      "TradingDay", py::make_tuple(pd.attr("offsets").attr("CustomBusinessDay")), ns);
  m.attr("TradingDay") = trading_day;

  {
    // The docstring's text signature is what inspect.signature reads.
    py::options options;
    options.disable_function_signatures();
    m.def("get_holidays", &get_holidays,
          "get_holidays()\n--\n\nRebuild holidays.csv in the working directory from the exchange's trading days (WindPy).");
  }

  auto core_cal = std::make_shared<const varlo::TradingCalendar>(br::calendar_of(hds));
  m.def(
      "_trading_shift",
      [core_cal](const py::handle& datetimes, std::int64_t k) { return trading_shift(datetimes, k, *core_cal); },
      "datetimes"_a, "k"_a, "Dates moved by k trading days, as TradingDay arithmetic moves them.");
}
