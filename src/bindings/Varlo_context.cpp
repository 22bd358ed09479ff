// Research context: the one object a strategy sees. Construction and data loading, then the per-day
// admission and alpha recording, whose framework work runs on the core calendar.
#include <pybind11/pybind11.h>
#include <pybind11/eval.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

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
  // Universe positions of an alpha Series' labels, keyed by the index object and the universe list.
  py::object alpha_index;
  py::object alpha_universe;
  std::vector<py::ssize_t> alpha_pos;
};

struct Shared {
  std::shared_ptr<const varlo::TradingCalendar> cal;
  py::object module_dict;
};

ContextState& state_of(const py::handle& self) { return py::cast<ContextState&>(self); }

bool columns_upper(const py::handle& columns) {
  return columns.attr("str").attr("upper")().attr("equals")(columns).cast<bool>();
}

// `timestamp - k * TD` through the core calendar when TD is the constructor's own offset and the date is a
// naive Timestamp; otherwise the offset's own arithmetic. Returns nanoseconds since the epoch.
py::object shifted(const py::handle& self, const py::handle& timestamp, std::int64_t k, const Shared& sh) {
  ContextState& st = state_of(self);
  py::object td = self.attr("TD");
  py::module_ pd = br::pd();
  if (td.is(st.own_td) && py::isinstance(timestamp, pd.attr("Timestamp")) && timestamp.attr("tz").is_none()) {
    const varlo::Day d = varlo::day_of_ns(timestamp.attr("value").cast<std::int64_t>());
    return pd.attr("Timestamp")(varlo::ns_of_day(sh.cal->shift(d, -k)));
  }
  return timestamp - py::int_(k) * td;
}

void context_init(const py::handle& self, py::object config, const Shared& sh) {
  py::object base_cls = py::module_::import(kModuleName).attr("_ContextState");
  base_cls.attr("__init__")(self);
  py::module_ pd = br::pd();
  self.attr("config") = config;
  py::object data_path = config.attr("setdefault")("data_path", py::module_::import("pathlib").attr("Path")("Z:/cs_data.v3"));
  self.attr("data_path") = data_path;
  py::dict data;
  data["dominant_contract"] = pd.attr("read_pickle")(data_path / py::str("dominant_contract.pkl"), "compression"_a = "gzip");
  self.attr("data") = data;
  py::object td = sh.module_dict["TradingDay"]();
  self.attr("TD") = td;
  state_of(self).own_td = td;
  py::object base = config[py::str("base")];
  py::object begin_date = base[py::str("begin_date")];
  py::object end_date = base[py::str("end_date")];
  py::object calendar = data["dominant_contract"].attr("loc")[py::slice(begin_date, end_date, py::none())].attr("index");
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
    self.attr("original_symbols") = universes[universe];
  } else {
    throw py::type_error("invalid universe");
  }

  py::object attrs = pd.attr("read_csv")(pkg / py::str("futures_attributes.csv"), "index_col"_a = 0,
                                         "parse_dates"_a = py::list(py::make_tuple("backtest_begin_date")));
  py::dict data = self.attr("data");
  py::list upper;
  for (py::handle s : self.attr("original_symbols")) upper.append(s.attr("upper")());
  if (columns_upper(data["dominant_contract"].attr("columns"))) {
    self.attr("original_symbols") = upper;
  } else {
    self.attr("original_symbols") = attrs.attr("loc")[py::make_tuple(upper, "symbol_name")].attr("to_list")();
    attrs.attr("index") = attrs[py::str("symbol_name")].attr("values");
  }
  py::object symbols = self.attr("original_symbols");
  data["futures_attributes"] = attrs.attr("copy")();
  // Sorted by first tradable date (NaT last): the admission scan walks this order.
  py::object begin_dates = attrs.attr("loc")[py::make_tuple(symbols, "backtest_begin_date")].attr("sort_values")();
  data["backtest_begin_date"] = begin_dates;

  const py::object d1 = shifted(self, self.attr("begin_timestamp"), kHistoryWindow, sh);
  const py::object d2 = self.attr("end_timestamp");
  py::object Path = py::module_::import("pathlib").attr("Path");
  py::object data_path = self.attr("data_path");
  for (py::handle name : self.attr("data_names")) {
    py::object path = Path(name);
    const std::string suffix = path.attr("suffix").cast<std::string>();
    py::object table;
    if (suffix.empty() || suffix == ".pkl") {
      table = pd.attr("read_pickle")(data_path / path.attr("with_suffix")(".pkl"), "compression"_a = "gzip");
    } else if (suffix == ".csv") {
      table = pd.attr("read_csv")(data_path / path, "index_col"_a = 0, "parse_dates"_a = true);
    } else {
      throw py::value_error("invalid data name: " + py::str(path).cast<std::string>());
    }
    const py::slice window(d1, d2, py::none());
    py::object key = path.attr("stem");
    if (!table.attr("columns").attr("__contains__")("field").cast<bool>()) {
      data[key] = table.attr("loc")[py::make_tuple(window, symbols)].attr("copy")();
    } else {
      py::list cols;
      cols.append("field");
      for (py::handle s : symbols) cols.append(s);
      py::object stored = table.attr("loc")[py::make_tuple(window, cols)].attr("copy")();
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

void get_symbols(const py::handle& self, const Shared& sh) {
  const py::object timestamp = self.attr("timestamp");
  const py::object deadline = shifted(self, timestamp, kAdmissionLag, sh);
  std::size_t l1 = py::len(self.attr("symbols"));
  const std::size_t l2 = py::len(self.attr("original_symbols"));
  if (l1 >= l2) return;
  py::object begin_dates = py::dict(self.attr("data"))["backtest_begin_date"];
  ContextState& st = state_of(self);
  if (!begin_dates.is(st.begin_dates) || st.begin_ns.size() != py::len(begin_dates)) {
    st.begin_ns = br::ns_of(begin_dates);
    st.begin_labels = begin_dates.attr("index").attr("tolist")();
    st.begin_dates = begin_dates;
  }
  const std::int64_t limit = br::ns_of_timestamp(deadline);
  const std::size_t n = st.begin_ns.size();
  // NaT compares false: a symbol without a begin date stops the scan for good.
  while (l1 < n && st.begin_ns[l1] != INT64_MIN && st.begin_ns[l1] < limit) {
    ++l1;
    if (l1 == l2) break;
  }
  if (l1 > n) throw py::index_error("single positional indexer is out-of-bounds");
  py::list symbols(l1);
  for (std::size_t i = 0; i < l1; ++i) symbols[i] = st.begin_labels[i];
  self.attr("symbols") = symbols;
}

// Positions in the alpha's values of each universe symbol (-1: absent); duplicate labels keep the last,
// as a dict built from the Series would.
const std::vector<py::ssize_t>& universe_positions(ContextState& st, const py::handle& index, const py::handle& universe) {
  if (index.is(st.alpha_index) && universe.is(st.alpha_universe) && st.alpha_pos.size() == py::len(universe)) {
    return st.alpha_pos;
  }
  py::dict where;
  py::ssize_t i = 0;
  for (py::handle label : index) where[label] = py::int_(i++);
  st.alpha_pos.clear();
  for (py::handle s : universe) st.alpha_pos.push_back(where.contains(s) ? where[s].cast<py::ssize_t>() : -1);
  st.alpha_index = py::reinterpret_borrow<py::object>(index);
  st.alpha_universe = py::reinterpret_borrow<py::object>(universe);
  return st.alpha_pos;
}

void record_alpha(const py::handle& self) {
  py::module_ pd = br::pd();
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
  py::object alpha_dict = record[py::str("alpha_dict")];
  py::object alpha = self.attr("alpha");
  const py::object nan = py::float_(varlo::kNaN);
  const bool plain_floats = py::type::handle_of(alpha).is(pd.attr("Series")) &&
                            py::str(alpha.attr("dtype")).cast<std::string>() == "float64";
  if (plain_floats) {
    // Fast path for the usual float Series: the values a dict of it would hold, without building it.
    auto values = py::cast<py::array_t<double, py::array::forcecast>>(alpha.attr("to_numpy")());
    const auto& pos = universe_positions(state_of(self), alpha.attr("index"), universe);
    const double* v = values.data();
    std::size_t j = 0;
    for (py::handle s : universe) {
      const py::ssize_t p = pos[j++];
      alpha_dict[s].attr("append")(p >= 0 ? py::float_(v[p]) : nan);
    }
  } else {
    py::object as_dict = alpha.attr("to_dict")();
    for (py::handle s : universe) alpha_dict[s].attr("append")(as_dict.attr("get")(s, nan));
  }
  record[py::str("alpha_multiplier")].attr("append")(self.attr("alpha_multiplier"));
  if (timestamp.equal(self.attr("end_timestamp"))) {
    py::object calendar = self.attr("backtest_calendar");
    py::object frame = pd.attr("DataFrame")(alpha_dict, "index"_a = calendar);
    self.attr("alpha_multiplier") = pd.attr("Series")(record[py::str("alpha_multiplier")], "index"_a = calendar);
    self.attr("original_alpha") = frame;
  }
}

void do_operators(const py::handle& self, const Shared& sh) {
  py::list names = py::module_::import("builtins").attr("dir")(self);
  if (!names.contains("operators")) return;
  for (py::handle item : self.attr("operators").attr("items")()) {
    py::tuple kv = py::reinterpret_borrow<py::tuple>(item);
    // A name lookup in this module's namespace, not an evaluation of the key's text.
    const std::string name = "op_" + py::str(kv[0]).cast<std::string>();
    if (!sh.module_dict.contains(name.c_str())) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name.c_str());
      throw py::error_already_set();
    }
    self.attr("original_alpha") = sh.module_dict[name.c_str()](self.attr("original_alpha"), kv[1]);
  }
}

}  // namespace

PYBIND11_MODULE(Varlo_context, m) {
  m.doc() = "Research context of a VarloAlpha run.";
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("np") = br::np();
  m.attr("pd") = br::pd();
  py::module_ tradingday = py::module_::import("VarloAlpha.Module.Varlo_tradingday");
  m.attr("TradingDay") = tradingday.attr("TradingDay");
  py::module_ operators = py::module_::import("VarloAlpha.Module.Varlo_operators");
  for (py::handle name : py::module_::import("builtins").attr("dir")(operators)) {
    const std::string s = name.cast<std::string>();
    if (!s.empty() && s[0] != '_') m.attr(name) = operators.attr(name);
  }

  py::class_<ContextState>(m, "_ContextState", py::dynamic_attr()).def(py::init<>());

  auto sh = std::make_shared<Shared>();
  sh->cal = std::make_shared<const varlo::TradingCalendar>(br::calendar_of(tradingday.attr("TradingDay").attr("hds")));
  sh->module_dict = m.attr("__dict__");

  py::dict ns;
  ns["__module__"] = kModuleName;
  ns["__qualname__"] = "Context";
  ns["__doc__"] = "The research context: the run's calendar, universe, market data and alpha record.";
  py::object cls = py::reinterpret_borrow<py::object>((PyObject*)&PyType_Type)("Context", py::make_tuple(m.attr("_ContextState")), ns);
  // pybind11 treats a function named __init__ as its own constructor, so the bound name differs.
  cls.attr("__init__") = py::cpp_function([sh](py::object self, py::object config) { context_init(self, std::move(config), *sh); },
                                          py::name("_context_init"), py::is_method(cls), "config"_a,
                                          "Build the context: calendar from dominant_contract.pkl, offset, initial state.");
  cls.attr("get_data") = py::cpp_function([sh](py::object self) { get_data(self, *sh); }, py::name("get_data"),
                                          py::is_method(cls), "Resolve the universe and load the data tables.");
  cls.attr("set_parameters") = py::cpp_function(&set_parameters, py::name("set_parameters"), py::is_method(cls),
                                                "Copy config['parameters'] onto the context as attributes.");
  cls.attr("get_symbols") = py::cpp_function([sh](py::object self) { get_symbols(self, *sh); }, py::name("get_symbols"),
                                             py::is_method(cls), "Admit the symbols tradable by the current date.");
  cls.attr("record_alpha") = py::cpp_function(&record_alpha, py::name("record_alpha"), py::is_method(cls),
                                              "Append the current alpha and multiplier to the record.");
  cls.attr("do_operators") = py::cpp_function([sh](py::object self) { do_operators(self, *sh); }, py::name("do_operators"),
                                              py::is_method(cls), "Apply the context's own operator chain.");
  m.attr("Context") = cls;
}
