#include "alpha_frame_bridge.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "alpha_frame.hpp"
#include "pandas_bridge.hpp"
#include "signals.hpp"

namespace varlo::bridge {

namespace {

using namespace pybind11::literals;

bool all_float64(const py::handle& frame) {
  const py::object f64 = np().attr("dtype")("float64");
  for (py::handle dt : frame.attr("dtypes")) {
    if (!dt.is(f64) && !dt.equal(f64)) return false;
  }
  return true;
}

std::string date_text(const py::handle& ts) { return ts.attr("strftime")("%Y-%m-%d").cast<std::string>(); }

// The data tables as they stood after `cut`: rows keyed by a date (or a (date, ...) row key) after it are
// dropped; tables not keyed by dates are passed unchanged.
py::dict data_through(const py::dict& data, const py::object& cut) {
  py::module_ p = pd();
  py::dict out;
  for (auto [key, table] : data) {
    py::object kept = py::reinterpret_borrow<py::object>(table);
    if (py::isinstance(table, p.attr("DataFrame")) || py::isinstance(table, p.attr("Series"))) {
      py::object index = table.attr("index");
      py::object dates = py::none();
      if (py::isinstance(index, p.attr("MultiIndex"))) {
        dates = index.attr("get_level_values")(0);
      } else {
        dates = index;
      }
      if (py::isinstance(dates, p.attr("DatetimeIndex")) && dates.attr("tz").is_none()) {
        // Sorted dates without a frequency: the rows through the cut are a leading slice, taken without
        // a copy (a slice would keep a frequency the mask drops).
        if (dates.is(index) && dates.attr("freq").is_none() && dates.attr("is_monotonic_increasing").cast<bool>()) {
          const py::object end = dates.attr("searchsorted")(cut, "side"_a = "right");
          kept = table.attr("iloc")[py::slice(py::none(), end, py::none())];
        } else {
          kept = table.attr("loc")[dates.attr("__le__")(cut)];
        }
      }
    }
    out[key] = kept;
  }
  return out;
}

// The frame function's result conformed to the run: dates of the calendar, symbols of the universe.
py::object conformed(const py::object& frame, const py::object& calendar, const py::object& universe) {
  return frame.attr("reindex")("index"_a = calendar, "columns"_a = universe);
}

// Admitted universe positions per date, walking the calendar exactly as the daily loop does.
struct Admission {
  std::vector<std::size_t> offsets{0};
  std::vector<std::size_t> positions;
};

Admission walk_admission(const py::object& context, const py::object& calendar, const py::object& universe) {
  py::dict where;
  std::size_t i = 0;
  for (py::handle s : universe) where[s] = py::int_(i++);
  Admission a;
  const py::object scan = py::getattr(context, "_admission", py::none());
  const py::object scanned = scan.is_none() ? py::none() : scan(calendar);
  if (!scanned.is_none()) {
    // Symbols on date r are the first counts[r] labels of one list: each label is looked up once.
    const auto t = py::reinterpret_borrow<py::tuple>(scanned);
    const auto counts = py::cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>(t[0]);
    const auto labels = py::reinterpret_borrow<py::list>(t[1]);
    std::vector<std::size_t> at;
    for (py::ssize_t r = 0; r < counts.size(); ++r) {
      const auto k = static_cast<std::size_t>(counts.data()[r]);
      while (at.size() < k) {
        const py::handle s = labels[at.size()];
        if (!where.contains(s)) throw py::key_error(py::repr(s).cast<std::string>());
        at.push_back(where[s].cast<std::size_t>());
      }
      a.positions.insert(a.positions.end(), at.begin(), at.begin() + static_cast<std::ptrdiff_t>(k));
      a.offsets.push_back(a.positions.size());
    }
    return a;
  }
  const py::object get_symbols = context.attr("get_symbols");
  py::object previous;
  std::vector<std::size_t> current;
  for (py::handle dd : calendar) {
    py::setattr(context, "timestamp", dd);
    get_symbols();
    py::object symbols = context.attr("symbols");
    if (!previous || !symbols.is(previous)) {
      current.clear();
      for (py::handle s : symbols) {
        if (!where.contains(s)) throw py::key_error(py::repr(s).cast<std::string>());
        current.push_back(where[s].cast<std::size_t>());
      }
      previous = symbols;
    }
    a.positions.insert(a.positions.end(), current.begin(), current.end());
    a.offsets.push_back(a.positions.size());
  }
  return a;
}

// The multiplier as record_alpha leaves it: one value per date, a number repeated or a Series' value on
// each date.
py::object multiplier_record(const py::object& m, const py::object& calendar) {
  py::module_ p = pd();
  const auto n = static_cast<std::size_t>(py::len(calendar));
  if (!py::isinstance(m, p.attr("Series"))) {
    py::list values;
    for (std::size_t i = 0; i < n; ++i) values.append(m);
    return p.attr("Series")(values, "index"_a = calendar);
  }
  const std::string kind = m.attr("dtype").attr("kind").cast<std::string>();
  if (m.attr("index").attr("is_unique").cast<bool>() && kind.size() == 1 && std::string("fiub").find(kind) != std::string::npos &&
      py::isinstance<py::array>(m.attr("to_numpy")())) {
    return p.attr("Series")(m.attr("loc")[calendar].attr("to_numpy")(), "index"_a = calendar);
  }
  py::list values;
  for (py::handle dd : calendar) values.append(m.attr("loc")[dd]);
  return p.attr("Series")(values, "index"_a = calendar);
}

// The daily loop itself over the conformed frame, for frames the direct record does not cover.
void literal_loop(const py::object& context, const py::object& table, const py::object& m) {
  const bool by_date = py::isinstance(m, pd().attr("Series"));
  const py::object get_symbols = context.attr("get_symbols");
  const py::object record_alpha = context.attr("record_alpha");
  for (py::handle dd : context.attr("backtest_calendar")) {
    py::setattr(context, "timestamp", dd);
    get_symbols();
    context.attr("alpha") = table.attr("loc")[py::make_tuple(dd, context.attr("symbols"))];
    if (by_date) context.attr("alpha_multiplier") = m.attr("loc")[dd];
    record_alpha();
  }
}

// A shallow copy of the context's attributes. Every check starts from the attributes the full computation
// started from, and the run continues from those it left, so what a check leaves on the context (cut data
// included) does not reach the run.
class Attributes {
 public:
  explicit Attributes(const py::object& context)
      : attrs_(context.attr("__dict__")), saved_(attrs_.attr("copy")()) {}
  void restore() const {
    attrs_.attr("clear")();
    attrs_.attr("update")(saved_);
  }

 private:
  py::dict attrs_;
  py::dict saved_;
};

// Recomputes the frame on the data cut after a few dates spread over the calendar and raises when a
// recorded value up to a cut differs from the full computation. Leaves the attributes as `after` holds them.
void lookahead_guard(const py::object& context, const py::object& ai_alpha_frame, std::size_t checks,
                     const Attributes& before, const Attributes& after, const py::object& calendar, const py::object& universe,
                     const MatView& full_record, const Admission& admitted) {
  const auto n = static_cast<std::size_t>(py::len(calendar));
  // More checks than dates after the first cut every date already: the same cuts as n - 1 checks.
  checks = std::min(checks, n == 0 ? std::size_t{0} : n - 1);
  std::vector<std::size_t> cuts;
  for (std::size_t i = 1; i <= checks && n > 1; ++i) {
    const std::size_t p = i * (n - 1) / (checks + 1);
    if (p + 1 < n && (cuts.empty() || cuts.back() != p)) cuts.push_back(p);
  }
  std::optional<std::pair<std::size_t, std::size_t>> first;
  std::size_t first_cut = 0;
  try {
    for (const std::size_t p : cuts) {
      before.restore();
      const py::object cut = calendar[py::int_(p)];
      const py::dict data = context.attr("data");
      context.attr("data") = data_through(data, cut);
      const py::object raw = ai_alpha_frame(context);
      // Only the dates through the cut are compared: only they are conformed and recorded.
      const py::object through = calendar[py::slice(py::none(), py::int_(p + 1), py::none())];
      std::optional<FrameIn> fast = gathered(raw, through, universe);
      const FrameIn in = fast ? std::move(*fast) : frame_in(conformed(raw, through, universe), "get_alpha_frame");
      const Matrix record = admitted_record(in.view, admitted.offsets, admitted.positions);
      const auto diff = first_difference(full_record, record.view(), p + 1);
      if (diff && (!first || *diff < *first)) {
        first = diff;
        first_cut = p;
      }
    }
  } catch (...) {
    after.restore();
    throw;
  }
  after.restore();
  if (first) {
    const py::list symbols(universe);
    throw py::value_error("look-ahead in get_alpha_frame: the alpha of " +
                          py::str(symbols[first->second]).cast<std::string>() + " on " +
                          date_text(calendar[py::int_(first->first)]) + " changes when the data end on " +
                          date_text(calendar[py::int_(first_cut)]));
  }
}

// A frame that cannot be the run's alpha (a transposed frame, dates as text) would conform to a frame of
// NaN and a run without a position.
void check_frame_labels(const py::object& raw, const py::object& universe) {
  py::module_ p = pd();
  if (!py::isinstance(raw, p.attr("DataFrame"))) {
    throw py::type_error("get_alpha_frame must return a DataFrame of dates by symbols, not '" +
                         py::str(py::type::handle_of(raw).attr("__name__")).cast<std::string>() + "'");
  }
  const py::object index = raw.attr("index");
  if (!py::isinstance(index, p.attr("DatetimeIndex")) || !index.attr("tz").is_none()) {
    throw py::value_error("get_alpha_frame returned a frame whose index is not naive dates (" +
                          py::str(index.attr("dtype")).cast<std::string>() + "): rows must be the trading dates");
  }
  if (py::len(universe) > 0 && py::len(raw.attr("columns")) > 0 &&
      !raw.attr("columns").attr("isin")(universe).attr("any")().cast<bool>()) {
    throw py::value_error("get_alpha_frame returned a frame whose columns share no symbol with the universe: columns must be the symbols");
  }
}

}  // namespace

py::tuple get_alpha_frame(const py::object& config, const py::object& ai_init, const py::object& ai_alpha_frame,
                          const py::object& context_cls, const std::function<void(const py::object&)>& before_frame) {
  py::object context = context_cls(config);
  ai_init(context);
  context.attr("get_data")();
  context.attr("set_parameters")();
  if (before_frame) before_frame(context);
  const py::object checks_obj = config[py::str("base")].attr("get")("lookahead_checks", 3);
  if (!py::isinstance(checks_obj, py::module_::import("numbers").attr("Integral"))) {
    throw py::type_error("config['base']['lookahead_checks'] must be an integer, not '" +
                         py::str(py::type::handle_of(checks_obj).attr("__name__")).cast<std::string>() + "'");
  }
  if (checks_obj < py::int_(0)) {
    throw py::value_error("config['base']['lookahead_checks'] must be at least 0, not " + py::repr(checks_obj).cast<std::string>());
  }
  const long long checks = checks_obj.cast<long long>();
  const Attributes before(context);
  const py::object raw = ai_alpha_frame(context);
  const Attributes after(context);
  const py::object multiplier = context.attr("alpha_multiplier");
  const py::object calendar = context.attr("backtest_calendar");
  const py::object universe = context.attr("original_symbols");
  check_frame_labels(raw, universe);
  const py::list universe_list(universe);
  const bool unique = py::len(py::set(universe_list)) == py::len(universe_list);
  // A float frame is conformed by a native gather (its values are those of the reindexed frame).
  std::optional<FrameIn> fast = unique && all_float64(raw) ? gathered(raw, calendar, universe) : std::nullopt;
  const py::object table = fast ? py::none() : conformed(raw, calendar, universe);
  const bool direct = fast || (unique && all_float64(table));
  if (!direct) {
    // Other dtypes or a repeated symbol: the loop gives pandas' own result; the guard needs float values.
    if (checks > 0) {
      const FrameIn in = frame_in(table, "get_alpha_frame");
      const Admission admitted = walk_admission(context, calendar, universe);
      const Matrix record = admitted_record(in.view, admitted.offsets, admitted.positions);
      lookahead_guard(context, ai_alpha_frame, static_cast<std::size_t>(checks), before, after, calendar, universe,
                      record.view(), admitted);
    }
    literal_loop(context, table, multiplier);
  } else {
    const FrameIn in = fast ? std::move(*fast) : frame_in(table, "get_alpha_frame");
    const Admission admitted = walk_admission(context, calendar, universe);
    Matrix record = without_gil([&] { return admitted_record(in.view, admitted.offsets, admitted.positions); });
    if (checks > 0) {
      const py::object timestamp = context.attr("timestamp");
      const py::object symbols = context.attr("symbols");
      lookahead_guard(context, ai_alpha_frame, static_cast<std::size_t>(checks), before, after, calendar, universe,
                      record.view(), admitted);
      context.attr("timestamp") = timestamp;  // as the walk over the calendar left them
      context.attr("symbols") = symbols;
    }
    context.attr("alpha_multiplier") = multiplier_record(multiplier, calendar);
    context.attr("original_alpha") = frame_out(std::move(record), calendar, universe_list);
  }
  context.attr("do_operators")();
  py::object alpha = context.attr("original_alpha");
  py::object alpha_multiplier = context.attr("alpha_multiplier");
  return py::make_tuple(alpha, alpha_multiplier);
}

}  // namespace varlo::bridge
