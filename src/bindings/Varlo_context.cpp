// Research context: the one object a strategy sees. Construction and data loading, then the per-day
// admission and alpha recording, whose framework work runs on the core calendar.
#include <pybind11/pybind11.h>
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "alpha_frame.hpp"
#include "calendar.hpp"
#include "gzip_reader.hpp"
#include "history_bridge.hpp"
#include "pandas_bridge.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;

namespace {

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_context";
constexpr std::int64_t kAdmissionLag = 20;   // trading days after the first tradable date
constexpr std::int64_t kHistoryWindow = 250; // trading days loaded before the first date

// Caches of one context, invisible to the strategy. The objects held here never refer back to the
// context, so they create no reference cycle.
struct ContextState {
  py::object own_td;  // the offset the constructor made: only then may the core calendar stand in for it
  // Begin dates of the admission scan, keyed by the Series object they came from.
  py::object begin_dates;
  std::vector<std::int64_t> begin_ns;
  py::list begin_labels;
  // Universe positions of an alpha Series' labels, keyed by the labels' content (a fresh Series each day
  // usually carries the same labels) and the universe list.
  py::object alpha_index;
  py::object alpha_universe;
  std::vector<py::object> alpha_labels;  // empty: labels not held as Python objects, key by index object
  std::vector<py::ssize_t> alpha_pos;
  // The record's per-symbol lists in universe order, keyed by the record dict they belong to.
  py::object record_dict;
  std::vector<py::object> record_lists;
  // Trailing-history snapshots of the data tables (history, history_values).
  br::HistoryCache history;
};

// Immutable after module initialisation.
struct Shared {
  std::shared_ptr<const varlo::TradingCalendar> cal;
  py::object module_dict;
  py::object timestamp_cls;
  py::object series_cls;
  py::object frame_cls;
  py::dtype float64;
};

ContextState& state_of(const py::handle& self) { return py::cast<ContextState&>(self); }

// `timestamp - k * TD` in nanoseconds since the epoch: on the core calendar when TD is the constructor's
// own offset and the date a naive Timestamp, otherwise through the offset's own arithmetic.
std::int64_t shifted_ns(const py::handle& self, const py::handle& timestamp, std::int64_t k, const Shared& sh) {
  ContextState& st = state_of(self);
  py::object td = self.attr("TD");
  if (td.is(st.own_td) && py::type::handle_of(timestamp).is(sh.timestamp_cls) && timestamp.attr("tzinfo").is_none()) {
    const varlo::Day d = varlo::day_of_ns(timestamp.attr("value").cast<std::int64_t>());
    return varlo::ns_of_day(sh.cal->shift(d, -k));
  }
  return sh.timestamp_cls(timestamp - py::int_(k) * td).attr("value").cast<std::int64_t>();
}

void context_init(const py::handle& self, py::object config, const Shared& sh) {
  py::object base_cls = py::module_::import(kModuleName).attr("_ContextState");
  base_cls.attr("__init__")(self);
  py::module_ pd = br::pd();
  self.attr("config") = config;
  const py::object data_path =
      br::as_path(config.attr("setdefault")("data_path", py::module_::import("pathlib").attr("Path")("Z:/cs_data.v3")));
  self.attr("data_path") = data_path;
  py::dict data;
  data["dominant_contract"] = br::read_pickles_gz({data_path / py::str("dominant_contract.pkl")}).front();
  self.attr("data") = data;
  py::object td = sh.module_dict["TradingDay"]();
  self.attr("TD") = td;
  state_of(self).own_td = td;
  py::object base = config[py::str("base")];
  py::object begin_date = base[py::str("begin_date")];
  py::object end_date = base[py::str("end_date")];
  py::object calendar = data["dominant_contract"].attr("loc")[py::slice(begin_date, end_date, py::none())].attr("index");
  if (py::len(calendar) == 0) {
    throw py::index_error("no trading date from " + py::str(begin_date).cast<std::string>() + " to " +
                          py::str(end_date).cast<std::string>() + " in " +
                          py::str(data_path / py::str("dominant_contract.pkl")).cast<std::string>());
  }
  self.attr("backtest_calendar") = calendar;
  self.attr("begin_timestamp") = calendar[py::int_(0)];
  self.attr("end_timestamp") = calendar[py::int_(-1)];
  self.attr("original_symbols") = base[py::str("universe")];
  self.attr("timestamp") = pd.attr("Timestamp")("2010-01-01");
  self.attr("symbols") = py::list();
  self.attr("original_alpha") = py::dict();
  self.attr("alpha") = pd.attr("Series")("dtype"_a = "object");
  self.attr("alpha_multiplier") = 1;
}

void get_data(const py::handle& self, const Shared& sh) {
  py::module_ pd = br::pd();
  py::object pkg = br::package_dir(kModuleName);
  py::object universe = self.attr("original_symbols");
  if (PyList_CheckExact(universe.ptr())) {
    // a list is taken as it is
  } else if (PyUnicode_CheckExact(universe.ptr())) {
    py::object text = (pkg / py::str("universes.txt")).attr("read_text")();
    py::dict locals;
    locals["self"] = self;
    py::object universes = py::eval(text.cast<std::string>(), sh.module_dict, locals);
    if (!universes.attr("__contains__")(universe).cast<bool>()) {
      std::string names;
      for (py::handle name : universes) {
        if (!names.empty()) names += ", ";
        names += py::repr(name).cast<std::string>();
      }
      throw py::key_error("unknown universe " + py::repr(universe).cast<std::string>() + "; universes.txt defines " + names);
    }
    self.attr("original_symbols") = universes[universe];
  } else {
    throw py::type_error("invalid universe");
  }

  py::object attrs = br::attributes_csv(kModuleName, true);
  py::dict data = self.attr("data");
  py::list upper;
  for (py::handle s : self.attr("original_symbols")) upper.append(s.attr("upper")());
  if (br::labels_upper(data["dominant_contract"].attr("columns"))) {
    self.attr("original_symbols") = upper;
  } else {
    self.attr("original_symbols") = attrs.attr("loc")[py::make_tuple(upper, "symbol_name")].attr("to_list")();
    attrs = br::by_symbol_name(attrs);
  }
  py::object symbols = self.attr("original_symbols");
  data["futures_attributes"] = attrs.attr("copy")();
  // Sorted by first tradable date (NaT last): the admission scan walks this order.
  py::object begin_dates = attrs.attr("loc")[py::make_tuple(symbols, "backtest_begin_date")].attr("sort_values")();
  data["backtest_begin_date"] = begin_dates;

  const py::object d1 = sh.timestamp_cls(shifted_ns(self, self.attr("begin_timestamp"), kHistoryWindow, sh));
  const py::object d2 = self.attr("end_timestamp");
  py::object Path = py::module_::import("pathlib").attr("Path");
  py::object data_path = self.attr("data_path");
  for (py::handle name : self.attr("data_names")) {
    py::object path = Path(name);
    const std::string suffix = path.attr("suffix").cast<std::string>();
    py::object table;
    if (suffix.empty() || suffix == ".pkl") {
      table = br::read_pickles_gz({data_path / path.attr("with_suffix")(".pkl")}).front();
    } else if (suffix == ".csv") {
      table = pd.attr("read_csv")(data_path / path, "index_col"_a = 0, "parse_dates"_a = true);
    } else {
      throw py::value_error("invalid data name: " + py::str(path).cast<std::string>());
    }
    const py::slice window(d1, d2, py::none());
    py::object key = path.attr("stem");
    // The selection is a new frame already; under Copy-on-Write a shallow copy of it is as much the
    // run's own as a deep one, without copying every value (every code object) once more.
    if (!table.attr("columns").attr("__contains__")("field").cast<bool>()) {
      data[key] = table.attr("loc")[py::make_tuple(window, symbols)].attr("copy")("deep"_a = false);
    } else {
      py::list cols;
      cols.append("field");
      for (py::handle s : symbols) cols.append(s);
      py::object stored = table.attr("loc")[py::make_tuple(window, cols)].attr("copy")("deep"_a = false);
      py::list keys;
      keys.append(stored.attr("index"));
      keys.append("field");
      data[key] = stored.attr("set_index")(keys);
    }
  }
}

void set_parameters(const py::handle& self) {
  py::object params = self.attr("config").attr("get")("parameters", py::dict());
  for (py::handle item : params.attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    py::setattr(self, kv[0], kv[1]);
  }
}

// d[key] with the dict fast path; a missing key raises the KeyError a subscript would.
py::object item(const py::handle& d, const py::handle& key) {
  if (PyDict_CheckExact(d.ptr())) {
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (v != nullptr) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
  }
  return d[key];
}

// d.get(key, fallback) with the dict fast path.
py::object get_or(const py::handle& d, const py::handle& key, const py::object& fallback) {
  if (PyDict_CheckExact(d.ptr())) {
    PyObject* v = PyDict_GetItemWithError(d.ptr(), key.ptr());
    if (v != nullptr) return py::reinterpret_borrow<py::object>(v);
    if (PyErr_Occurred()) throw py::error_already_set();
    return fallback;
  }
  return d.attr("get")(key, fallback);
}

// The admission scan's begin dates, refreshed when data["backtest_begin_date"] is another Series.
void load_begin_dates(const py::handle& self, ContextState& st) {
  py::object begin_dates = item(self.attr("data"), py::str("backtest_begin_date"));
  if (!begin_dates.is(st.begin_dates) || st.begin_ns.size() != py::len(begin_dates)) {
    st.begin_ns = br::ns_of(begin_dates);
    st.begin_labels = begin_dates.attr("index").attr("tolist")();
    st.begin_dates = begin_dates;
  }
}

void get_symbols(const py::handle& self, const Shared& sh) {
  const std::int64_t deadline = shifted_ns(self, self.attr("timestamp"), kAdmissionLag, sh);
  std::size_t l1 = py::len(self.attr("symbols"));
  const std::size_t l2 = py::len(self.attr("original_symbols"));
  if (l1 >= l2) return;
  ContextState& st = state_of(self);
  load_begin_dates(self, st);
  l1 = varlo::admit_through(st.begin_ns, l1, l2, deadline);
  if (l1 > st.begin_ns.size()) throw py::index_error("single positional indexer is out-of-bounds");
  self.attr("symbols") = py::reinterpret_steal<py::list>(
      PyList_GetSlice(st.begin_labels.ptr(), 0, static_cast<py::ssize_t>(l1)));
}

// get_symbols on every date of `calendar` in turn, without a call per date: the admitted count after each
// date and the labels they count (symbols on a date are labels[:count]); the context is left as the last
// call leaves it. None when a call could differ from the scan (get_symbols replaced, another offset,
// dates that are not naive, a symbol list the scan does not start from), so the caller calls get_symbols.
py::object admission(const py::object& self, const py::object& calendar, const py::object& original, const Shared& sh) {
  const py::object bound = py::getattr(self, "get_symbols", py::none());
  PyObject* fn = original.ptr();
  if (PyInstanceMethod_Check(fn)) fn = PyInstanceMethod_GET_FUNCTION(fn);
  if (!PyMethod_Check(bound.ptr()) || PyMethod_GET_FUNCTION(bound.ptr()) != fn ||
      PyMethod_GET_SELF(bound.ptr()) != self.ptr()) {
    return py::none();
  }
  ContextState& st = state_of(self);
  const py::object index_cls = br::pd().attr("DatetimeIndex");
  if (!py::type::handle_of(calendar).is(index_cls) || !calendar.attr("tz").is_none() || !py::object(self.attr("TD")).is(st.own_td)) {
    return py::none();
  }
  const std::size_t start = py::len(self.attr("symbols"));
  const std::size_t l2 = py::len(self.attr("original_symbols"));
  const std::size_t n_dates = py::len(calendar);
  py::array_t<std::int64_t> counts(static_cast<py::ssize_t>(n_dates));
  if (n_dates == 0) return py::make_tuple(counts, py::list());
  if (start >= l2) return py::none();
  load_begin_dates(self, st);
  if (start > st.begin_ns.size()) return py::none();
  const std::vector<std::int64_t> dates = br::ns_of(calendar);
  std::size_t l1 = start;
  auto* out = counts.mutable_data();
  for (std::size_t i = 0; i < n_dates; ++i) {
    if (dates[i] == INT64_MIN) return py::none();
    if (l1 < l2) {
      const std::int64_t deadline = varlo::ns_of_day(sh.cal->shift(varlo::day_of_ns(dates[i]), -kAdmissionLag));
      l1 = varlo::admit_through(st.begin_ns, l1, l2, deadline);
    }
    out[i] = static_cast<std::int64_t>(l1);
  }
  self.attr("timestamp") = calendar[py::int_(-1)];
  self.attr("symbols") = py::reinterpret_steal<py::list>(
      PyList_GetSlice(st.begin_labels.ptr(), 0, static_cast<py::ssize_t>(l1)));
  // The caller's own list: the cached labels stay as get_symbols needs them.
  return py::make_tuple(counts, py::reinterpret_steal<py::list>(
                                    PyList_GetSlice(st.begin_labels.ptr(), 0, static_cast<py::ssize_t>(l1))));
}

// The label objects of an index as a 1-D object array (object dtype, or str dtype stored as Python
// strings); None when the labels are held otherwise.
py::object label_array(const py::handle& index) {
  py::object v = py::getattr(index, "_values", py::none());
  if (!py::isinstance<py::array>(v)) v = py::getattr(v, "_ndarray", py::none());
  if (!py::isinstance<py::array>(v)) return py::none();
  const auto a = py::reinterpret_borrow<py::array>(v);
  if (a.ndim() != 1 || a.dtype().kind() != 'O') return py::none();
  return v;
}

PyObject* label_at(const py::array& a, py::ssize_t i) {
  return *reinterpret_cast<PyObject* const*>(static_cast<const char*>(a.data()) + i * a.strides(0));
}

// Whether the labels equal the cached ones, element by element (the same objects, or equal as a dict
// lookup would find them).
bool same_labels(const std::vector<py::object>& cached, const py::object& labels) {
  if (labels.is_none()) return false;
  const auto a = py::reinterpret_borrow<py::array>(labels);
  if (static_cast<std::size_t>(a.shape(0)) != cached.size()) return false;
  for (std::size_t i = 0; i < cached.size(); ++i) {
    PyObject* x = label_at(a, static_cast<py::ssize_t>(i));
    if (x == cached[i].ptr()) continue;
    if (Py_TYPE(x) != Py_TYPE(cached[i].ptr())) return false;
    const int eq = PyObject_RichCompareBool(x, cached[i].ptr(), Py_EQ);
    if (eq < 0) throw py::error_already_set();
    if (eq == 0) return false;
  }
  return true;
}

// Positions in the alpha's values of each universe symbol (-1: absent); duplicate labels keep the last,
// as a dict built from the Series would. Cached by the labels' content; a copy for the caller, so a
// concurrent call on the same context cannot change it underneath.
std::vector<py::ssize_t> universe_positions(ContextState& st, const py::handle& index, const py::handle& universe) {
  const bool same_universe = universe.is(st.alpha_universe) && st.alpha_pos.size() == py::len(universe);
  if (same_universe && index.is(st.alpha_index)) return st.alpha_pos;
  const py::object labels = label_array(index);
  if (same_universe && !st.alpha_labels.empty() && same_labels(st.alpha_labels, labels)) {
    st.alpha_index = py::reinterpret_borrow<py::object>(index);
    return st.alpha_pos;
  }
  std::vector<py::ssize_t> pos;
  if (index.attr("is_unique").cast<bool>()) {
    // One hash lookup per universe symbol inside pandas' own engine.
    const auto found = py::cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>(
        index.attr("get_indexer")(universe));
    pos.assign(found.data(), found.data() + found.size());
  } else {
    py::dict where;
    py::ssize_t i = 0;
    for (py::handle label : index) where[label] = py::int_(i++);
    for (py::handle s : universe) pos.push_back(where.contains(s) ? where[s].cast<py::ssize_t>() : -1);
  }
  std::vector<py::object> kept;
  if (!labels.is_none()) {
    const auto a = py::reinterpret_borrow<py::array>(labels);
    kept.reserve(static_cast<std::size_t>(a.shape(0)));
    for (py::ssize_t i = 0; i < a.shape(0); ++i) kept.push_back(py::reinterpret_borrow<py::object>(label_at(a, i)));
  }
  st.alpha_pos = pos;
  st.alpha_labels = std::move(kept);
  st.alpha_index = py::reinterpret_borrow<py::object>(index);
  st.alpha_universe = py::reinterpret_borrow<py::object>(universe);
  return pos;
}

void append(const py::handle& list, const py::handle& value) {
  if (PyList_CheckExact(list.ptr())) {
    if (PyList_Append(list.ptr(), value.ptr()) != 0) throw py::error_already_set();
  } else {
    list.attr("append")(value);
  }
}

// The record as a float frame, built straight from the lists when every entry is a float and every list
// spans the calendar; otherwise None, and pandas builds it (other dtypes, or pandas' own length error).
py::object float_record(const py::handle& record, const py::handle& calendar) {
  if (!PyDict_CheckExact(record.ptr())) return py::none();
  const auto alpha_dict = py::reinterpret_borrow<py::dict>(record);
  const std::size_t rows = py::len(calendar);
  const std::size_t cols = alpha_dict.size();
  if (cols == 0) return py::none();
  varlo::Matrix m(rows, cols);
  std::size_t c = 0;
  for (auto [key, list] : alpha_dict) {
    (void)key;
    if (!PyList_CheckExact(list.ptr()) || static_cast<std::size_t>(PyList_GET_SIZE(list.ptr())) != rows) return py::none();
    auto col = m.col(c++);
    for (std::size_t r = 0; r < rows; ++r) {
      PyObject* v = PyList_GET_ITEM(list.ptr(), static_cast<py::ssize_t>(r));
      if (!PyFloat_CheckExact(v)) return py::none();
      col[r] = PyFloat_AS_DOUBLE(v);
    }
  }
  return br::frame_out(std::move(m), calendar, py::list(alpha_dict));
}

void record_alpha(const py::handle& self, const Shared& sh) {
  const py::object timestamp = self.attr("timestamp");
  const py::object universe = self.attr("original_symbols");
  if (timestamp.equal(self.attr("begin_timestamp"))) {
    py::dict alpha_dict;
    for (py::handle s : universe) alpha_dict[s] = py::list();
    py::dict record;
    record["alpha_dict"] = alpha_dict;
    record["alpha_multiplier"] = py::list();
    self.attr("original_alpha") = record;
  }
  py::object record = self.attr("original_alpha");
  py::object alpha_dict = item(record, py::str("alpha_dict"));
  ContextState& st = state_of(self);
  if (!alpha_dict.is(st.record_dict) || st.record_lists.size() != py::len(universe) ||
      (!st.record_lists.empty() && !item(alpha_dict, universe[py::int_(0)]).is(st.record_lists.front()))) {
    st.record_lists.clear();
    for (py::handle s : universe) st.record_lists.push_back(item(alpha_dict, s));
    st.record_dict = alpha_dict;
  }
  // Copies: the appends below may let another thread in, which may rebuild the caches of this context.
  const std::vector<py::object> lists = st.record_lists;
  py::object alpha = self.attr("alpha");
  const py::object nan = py::float_(varlo::kNaN);
  py::object values;
  // `_values` is the backing array itself; `values` builds a read-only view each call (a few microseconds,
  // which is most of a day's recording). Only read here.
  if (py::type::handle_of(alpha).is(sh.series_cls)) {
    values = py::getattr(alpha, "_values", py::none());
    if (values.is_none()) values = alpha.attr("values");
  }
  const bool plain_floats = values && py::isinstance<py::array>(values) &&
                            py::reinterpret_borrow<py::array>(values).dtype().equal(sh.float64);
  if (plain_floats) {
    // The usual float Series: the values its dict would hold, without building the dict.
    const auto arr = py::reinterpret_borrow<py::array>(values);
    const std::vector<py::ssize_t> pos = universe_positions(st, alpha.attr("index"), universe);
    const auto* v = static_cast<const char*>(arr.data());
    const py::ssize_t stride = arr.strides(0);
    for (std::size_t j = 0; j < pos.size() && j < lists.size(); ++j) {
      const py::ssize_t p = pos[j];
      append(lists[j], p >= 0 ? py::float_(*reinterpret_cast<const double*>(v + p * stride)) : nan);
    }
  } else {
    py::object as_dict;
    try {
      if (py::isinstance(alpha, sh.frame_cls)) {
        // A frame's dict would be recorded as one dict per symbol and fail far from here.
        PyErr_SetString(PyExc_TypeError, "context.alpha must be a Series, not a DataFrame");
        throw py::error_already_set();
      }
      as_dict = alpha.attr("to_dict")();
    } catch (py::error_already_set& e) {
      e.value().attr("add_note")("context.alpha on " + py::str(timestamp).cast<std::string>() + " is of type " +
                                 py::str(py::type::handle_of(alpha).attr("__name__")).cast<std::string>() +
                                 "; the daily function must set a pandas Series indexed by symbol");
      throw;
    }
    std::size_t j = 0;
    for (py::handle s : universe) {
      if (j == lists.size()) break;
      append(lists[j++], get_or(as_dict, s, nan));
    }
  }
  append(record[py::str("alpha_multiplier")], self.attr("alpha_multiplier"));
  if (timestamp.equal(self.attr("end_timestamp"))) {
    py::object calendar = self.attr("backtest_calendar");
    py::object frame = float_record(alpha_dict, calendar);
    if (frame.is_none()) frame = br::pd().attr("DataFrame")(alpha_dict, "index"_a = calendar);
    self.attr("alpha_multiplier") = sh.series_cls(record[py::str("alpha_multiplier")], "index"_a = calendar);
    self.attr("original_alpha") = frame;
  }
}

void do_operators(const py::handle& self, const Shared& sh) {
  py::list names = py::module_::import("builtins").attr("dir")(self);
  if (!names.contains("operators")) return;
  for (py::handle item : self.attr("operators").attr("items")()) {
    // The record holds each operator's result as the chain runs.
    const auto kv = py::reinterpret_borrow<py::tuple>(item);
    self.attr("original_alpha") = br::resolve_operator(sh.module_dict, kv[0])(self.attr("original_alpha"), kv[1]);
  }
}

}  // namespace

namespace {

void register_history(const py::object& cls) {
  py::options options;  // the docstrings carry text signatures
  options.disable_function_signatures();
  cls.attr("history") = py::cpp_function(
      [](py::object self, py::object name, py::object n) { return state_of(self).history.frame(self, name, n); },
      py::name("history"), py::is_method(cls), "name"_a, "n"_a,
      "history(self, name, n)\n--\n\nThe last n rows up to timestamp of data[name] for the admitted symbols:\n"
      "data[name].loc[:timestamp, symbols].iloc[-n:], without copying the history.");
  cls.attr("history_values") = py::cpp_function(
      [](py::object self, py::object name, py::object n) { return state_of(self).history.values(self, name, n); },
      py::name("history_values"), py::is_method(cls), "name"_a, "n"_a,
      "history_values(self, name, n)\n--\n\nThe values of history(name, n) as a new read-only float64 array.");
}

}  // namespace

PYBIND11_MODULE(Varlo_context, m) {
  m.doc() = "Research context of a VarloAlpha run.";
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("np") = br::np();
  m.attr("pd") = br::pd();
  py::module_ tradingday = py::module_::import("VarloAlpha.Module.Varlo_tradingday");
  m.attr("TradingDay") = tradingday.attr("TradingDay");
  br::bind_public_names(m, py::module_::import("VarloAlpha.Module.Varlo_operators"));

  // Pickling (and copy/deepcopy) keeps the attributes and whether TD is the context's own offset; the
  // caches are left behind and rebuilt on first use.
  py::class_<ContextState>(m, "_ContextState", py::dynamic_attr())
      .def(py::init<>())
      .def(py::pickle(
          [](const py::object& self) {
            const py::dict attrs = self.attr("__dict__");
            const ContextState& st = state_of(self);
            const bool own = st.own_td && attrs.contains("TD") && py::object(attrs["TD"]).is(st.own_td);
            return py::make_tuple(attrs, own);
          },
          [](const py::tuple& saved) {
            if (saved.size() != 2) throw py::value_error("invalid _ContextState state");
            py::dict attrs(saved[0]);  // a copy: a shallow copy of a context must not share its namespace
            ContextState st;
            if (saved[1].cast<bool>()) st.own_td = attrs["TD"];
            return std::make_pair(std::move(st), attrs);
          }));

  auto sh = std::make_shared<Shared>();
  sh->cal = std::make_shared<const varlo::TradingCalendar>(br::calendar_of(tradingday.attr("TradingDay").attr("hds")));
  sh->module_dict = m.attr("__dict__");
  sh->timestamp_cls = br::pd().attr("Timestamp");
  sh->series_cls = br::pd().attr("Series");
  sh->frame_cls = br::pd().attr("DataFrame");
  sh->float64 = py::dtype::of<double>();

  py::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "Context";
  ns["__doc__"] = "The research context: the run's calendar, universe, market data and alpha record.";
  py::object cls = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)("Context", py::make_tuple(m.attr("_ContextState")), ns);
  // Docstrings with text signatures ("name(self, ...)\n--\n\n"), which inspect.signature reads.
  py::options options;
  options.disable_function_signatures();
  // pybind11 treats a function named __init__ as its own constructor, so the bound name differs.
  cls.attr("__init__") = py::cpp_function([sh](py::object self, py::object config) { context_init(self, std::move(config), *sh); },
                                          py::name("_context_init"), py::is_method(cls), "config"_a,
                                          "_context_init(self, config)\n--\n\nBuild the context: calendar from dominant_contract.pkl, offset, initial state.");
  cls.attr("get_data") = py::cpp_function([sh](py::object self) { get_data(self, *sh); }, py::name("get_data"),
                                          py::is_method(cls), "get_data(self)\n--\n\nResolve the universe and load the data tables.");
  cls.attr("set_parameters") = py::cpp_function(&set_parameters, py::name("set_parameters"), py::is_method(cls),
                                                "set_parameters(self)\n--\n\nCopy config['parameters'] onto the context as attributes.");
  const py::object get_symbols_fn =
      py::cpp_function([sh](py::object self) { get_symbols(self, *sh); }, py::name("get_symbols"), py::is_method(cls),
                       "get_symbols(self)\n--\n\nAdmit the symbols tradable by the current date.");
  cls.attr("get_symbols") = get_symbols_fn;
  cls.attr("_admission") = py::cpp_function(
      [sh, get_symbols_fn](const py::object& self, const py::object& calendar) { return admission(self, calendar, get_symbols_fn, *sh); },
      py::name("_admission"), py::is_method(cls), "calendar"_a,
      "_admission(self, calendar)\n--\n\nget_symbols on every date of calendar: (counts, labels), or None.");
  cls.attr("record_alpha") = py::cpp_function([sh](py::object self) { record_alpha(self, *sh); }, py::name("record_alpha"), py::is_method(cls),
                                              "record_alpha(self)\n--\n\nAppend the current alpha and multiplier to the record.");
  cls.attr("do_operators") = py::cpp_function([sh](py::object self) { do_operators(self, *sh); }, py::name("do_operators"),
                                              py::is_method(cls), "do_operators(self)\n--\n\nApply the context's own operator chain.");
  register_history(cls);
  // The constructor is compiled: inspect.signature(Context) reads its parameters from here.
  const py::module_ inspect = py::module_::import("inspect");
  const py::object parameter = inspect.attr("Parameter");
  cls.attr("__signature__") = inspect.attr("Signature")(
      py::make_tuple(parameter("config", parameter.attr("POSITIONAL_OR_KEYWORD"))));
  m.attr("Context") = cls;
  m.def(
      "_read_table", [](const py::object& path) { return br::read_pickles_gz({path}).front(); }, "path"_a,
      "A market table as every step reads it: pandas.read_pickle(path, compression='gzip'), through the table cache.");
}
