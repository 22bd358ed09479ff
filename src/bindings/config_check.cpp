#include "config_check.hpp"

#include <pybind11/numpy.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "package.hpp"
#include "pandas_bridge.hpp"

namespace varlo::bridge {

namespace {

using namespace pybind11::literals;

constexpr const char* kModuleName = "VarloAlpha.Module.Varlo_module";
constexpr const char* kOperatorsModule = "VarloAlpha.Module.Varlo_operators";

struct Row {
  std::string type;
  std::string allowed;  // "a|b|c" for a choice
};

// section ("" for the top level, "operators/<key>" for an operator's parameters) -> key -> row.
using Table = std::map<std::string, std::map<std::string, Row>>;

Table load_table() {
  const py::object path = package_dir(kModuleName) / py::str("config_keys.csv");
  const py::object file = py::module_::import("builtins").attr("open")(path, "encoding"_a = "utf-8", "newline"_a = "");
  Table table;
  try {
    for (py::handle rec : py::module_::import("csv").attr("DictReader")(file)) {
      const auto s = [&](const char* k) { return py::str(rec[py::str(k)]).cast<std::string>(); };
      auto& section = table[s("section")];
      if (!s("key").empty()) section[s("key")] = Row{s("type"), s("allowed")};
    }
  } catch (...) {
    file.attr("close")();
    throw;
  }
  file.attr("close")();
  return table;
}

std::string shown(const py::handle& v) { return py::repr(v).cast<std::string>(); }
std::string type_name(const py::handle& v) { return py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>(); }
std::string at(const std::string& section, const std::string& key) {
  std::string where = "config";
  if (!section.empty()) {
    std::size_t start = 0;
    for (std::size_t slash; (slash = section.find('/', start)) != std::string::npos; start = slash + 1) {
      where += "['" + section.substr(start, slash - start) + "']";
    }
    where += "['" + section.substr(start) + "']";
  }
  return where + "['" + key + "']";
}

bool is_mapping(const py::handle& v) {
  return py::isinstance(v, py::module_::import("collections.abc").attr("Mapping"));
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw py::error_already_set();
}

void warn(const py::dict& ns, const char* cls, const std::string& message) {
  if (PyErr_WarnEx(py::object(ns[cls]).ptr(), message.c_str(), 2) < 0) throw py::error_already_set();
}

// Unknown keys of one mapping: a warning naming the key, where it stands and the nearest known key.
void judge_keys(const py::handle& mapping, const std::map<std::string, Row>& known, const std::string& where,
                bool strict, const py::dict& ns) {
  py::list names;
  for (const auto& [k, row] : known) names.append(py::str(k));
  for (py::handle key : mapping) {
    if (PyUnicode_Check(key.ptr()) && known.count(fs_text(key)) != 0) continue;
    const py::list close = py::module_::import("difflib").attr("get_close_matches")(py::str(key), names, 1);
    std::string message = "unknown key " + shown(key) + " in " + where;
    if (close.empty()) {
      message += names.empty() ? " (it takes no parameters)" : "; known keys: " + py::str(", ").attr("join")(names).cast<std::string>();
    } else {
      message += ": did you mean " + shown(close[0]) + "?";
    }
    if (strict) throw py::key_error(message);
    warn(ns, "ConfigWarning", message);
  }
}

void check_real(const py::handle& v, const std::string& where) {
  if (PyUnicode_Check(v.ptr()) || PyBytes_Check(v.ptr()) || !py::isinstance(v, py::module_::import("numbers").attr("Real"))) {
    raise(PyExc_TypeError, where + " must be a real number, not '" + type_name(v) + "'");
  }
}

double real_value(const py::handle& v, const std::string& where) {
  check_real(v, where);
  const double d = PyFloat_AsDouble(v.ptr());
  if (d == -1.0 && PyErr_Occurred()) {
    PyErr_Clear();
    raise(PyExc_OverflowError, where + ": int too large to convert to float");
  }
  return d;
}

bool is_bool_like(const py::handle& v) {
  if (PyBool_Check(v.ptr()) || py::isinstance(v, np().attr("bool_"))) return true;
  if (!py::isinstance(v, py::module_::import("numbers").attr("Integral"))) return false;
  return v.equal(py::int_(0)) || v.equal(py::int_(1));
}

void check_path_name(const py::handle& v, const std::string& where) {
  const py::object path = py::module_::import("pathlib").attr("Path")(v);
  const std::string name = py::str(path.attr("name")).attr("encode")("utf-8", "surrogateescape").cast<std::string>();
  if (name.empty() || name == "..") {
    raise(PyExc_ValueError, where + " = " + shown(v) + " names no folder of its own (the run id would be empty)");
  }
}

void check_value(const py::handle& v, const Row& row, const std::string& key, const std::string& where,
                 const py::dict& ns) {
  const std::string& t = row.type;
  if (t == "section") {
    if (!is_mapping(v)) raise(PyExc_TypeError, where + " must be a dict, not '" + type_name(v) + "'");
  } else if (t == "bool") {
    if (!is_bool_like(v)) {
      warn(ns, "ConfigWarning", where + " = " + shown(v) + " is a " + type_name(v) + ", not True or False: it is taken as " +
                                    (py::bool_(py::reinterpret_borrow<py::object>(v)) ? "true" : "false"));
    }
  } else if (t == "positive") {
    const double d = real_value(v, where);
    if (!(d > 0.0) || std::isinf(d)) {
      raise(PyExc_ValueError, where + " must be finite and greater than 0, not " + shown(v));
    }
  } else if (t == "nonneg") {
    const double d = real_value(v, where);
    if (!(d >= 0.0) || std::isinf(d)) {
      raise(PyExc_ValueError, where + " must be finite and at least 0, not " + shown(v));
    }
  } else if (t == "count") {
    if (!py::isinstance(v, py::module_::import("numbers").attr("Integral"))) {
      raise(PyExc_TypeError, where + " must be an integer, not '" + type_name(v) + "'");
    }
    if (v.attr("__lt__")(py::int_(0)).cast<bool>()) raise(PyExc_ValueError, where + " must be at least 0, not " + shown(v));
  } else if (t == "choice") {
    for (py::handle a : py::str(row.allowed).attr("split")("|")) {
      if (v.equal(a)) return;
    }
    raise(PyExc_ValueError, "invalid " + key + ": " + py::str(v).cast<std::string>());
  } else if (t == "layers") {
    if (!py::bool_(py::reinterpret_borrow<py::object>(v))) return;  // off
    if (Py_TYPE(v.ptr()) != &PyLong_Type && !PyBool_Check(v.ptr())) throw py::type_error("invalid stratification");
    if (!PyBool_Check(v.ptr()) && v.attr("__lt__")(py::int_(1)).cast<bool>()) {
      raise(PyExc_ValueError, where + " = " + shown(v) + " cannot serve as a number of layers (at least 1)");
    }
  } else if (t == "universe") {
    if (py::type::handle_of(v).is(py::module_::import("builtins").attr("str"))) return;
    if (!py::type::handle_of(v).is(py::module_::import("builtins").attr("list"))) throw py::type_error("invalid universe");
    if (py::len(v) == 0) raise(PyExc_ValueError, where + " is empty");
    py::set seen;
    py::list repeated;
    for (py::handle s : v) {
      const py::object u = PyUnicode_Check(s.ptr()) ? py::object(s.attr("upper")()) : py::reinterpret_borrow<py::object>(s);
      if (seen.contains(u) && !repeated.contains(u)) repeated.append(u);
      seen.add(u);
    }
    if (!repeated.empty()) raise(PyExc_ValueError, where + " lists " + shown(repeated) + " more than once");
  } else if (t == "date") {
    try {
      (void)pd().attr("Timestamp")(v);
    } catch (py::error_already_set& e) {
      py::raise_from(e, PyExc_ValueError, (where + " = " + shown(v) + " is not a date").c_str());
      throw py::error_already_set();
    }
  } else if (t == "module") {
    if (!PyUnicode_Check(v.ptr())) raise(PyExc_TypeError, where + " must be text (a module name), not '" + type_name(v) + "'");
  } else if (t == "name") {
    check_name_part(v, where);
  } else if (t == "path") {
    if (key == "save_path") check_path_name(v, where);
  }
}

// The product capital x leverage is what get_position invests.
void check_money(const py::handle& trade) {
  if (!trade.attr("__contains__")("capital").cast<bool>() || !trade.attr("__contains__")("leverage").cast<bool>()) return;
  const double money = real_value(trade[py::str("capital")], at("trade", "capital")) *
                       real_value(trade[py::str("leverage")], at("trade", "leverage"));
  if (!(money > 0.0) || std::isinf(money)) {
    raise(PyExc_ValueError, at("trade", "capital") + " * " + at("trade", "leverage") + " must be finite and greater than 0");
  }
}

// The allowed choices of an operator's parameters, for the note on an error the operator raised.
std::string choices_of(const Table& table, const std::string& op) {
  const auto it = table.find("operators/" + op);
  if (it == table.end()) return "";
  std::string out;
  for (const auto& [k, row] : it->second) {
    if (row.type != "choice") continue;
    std::string allowed = row.allowed;
    for (auto& c : allowed) {
      if (c == '|') c = ',';
    }
    out += (out.empty() ? "" : "; ") + k + " one of " + allowed;
  }
  return out;
}

void check_operator_keys(const py::handle& chain, const Table& table, const std::string& where, bool strict,
                         const py::dict& ns) {
  for (py::handle item : chain.attr("items")()) {
    const auto kv = py::reinterpret_borrow<py::tuple>(item);
    const auto it = table.find("operators/" + py::str(kv[0]).cast<std::string>());
    if (it == table.end() || !is_mapping(kv[1])) continue;
    judge_keys(kv[1], it->second, where + "[" + shown(kv[0]) + "]", strict, ns);
  }
}

// A few dates of made-up alpha for the run's symbols: every operator of the package takes it.
py::object probe_alpha(const py::object& context) {
  const py::list symbols(context.attr("original_symbols"));
  py::object dates = context.attr("backtest_calendar");
  const auto n_dates = std::min<py::ssize_t>(py::len(dates), 6);
  dates = dates[py::slice(0, n_dates, 1)];
  const auto n = static_cast<py::ssize_t>(symbols.size());
  py::array_t<double, py::array::f_style> values({n_dates, n});
  auto w = values.mutable_unchecked<2>();
  for (py::ssize_t j = 0; j < n; ++j) {
    for (py::ssize_t i = 0; i < n_dates; ++i) w(i, j) = (i + j) % 4 == 3 ? NAN : static_cast<double>((3 * i + 7 * j) % 11) - 5.0;
  }
  return pd().attr("DataFrame")(values, "index"_a = dates, "columns"_a = symbols);
}

void probe_chain(const py::handle& chain, const py::object& context, const Table& table, const std::string& where,
                 const py::handle& ns) {
  if (!is_mapping(chain) || py::len(chain) == 0) return;
  const py::module_ ops = py::module_::import(kOperatorsModule);
  py::object alpha = probe_alpha(context);
  for (py::handle item : chain.attr("items")()) {
    const auto kv = py::reinterpret_borrow<py::tuple>(item);
    const py::object op = resolve_operator(ns, kv[0]);
    const std::string name = "op_" + py::str(kv[0]).cast<std::string>();
    // Only the package's own operators are tried: a replacement of the caller's may count its calls.
    if (!py::hasattr(ops, name.c_str()) || !op.is(ops.attr(name.c_str()))) return;
    try {
      alpha = op(alpha, kv[1]);
    } catch (py::error_already_set& e) {
      std::string note = where + "[" + shown(kv[0]) + "] = " + shown(kv[1]) + ", checked before the first date";
      const std::string choices = choices_of(table, py::str(kv[0]).cast<std::string>());
      if (!choices.empty()) note += "; valid: " + choices;
      e.value().attr("add_note")(note);
      throw;
    }
  }
}

}  // namespace

void check_name_part(const py::handle& value, const std::string& where) {
  if (!PyUnicode_Check(value.ptr())) raise(PyExc_TypeError, where + " must be text, not '" + type_name(value) + "'");
  const py::str s = py::reinterpret_borrow<py::str>(value);
  const bool bad = s.attr("__contains__")("/").cast<bool>() || s.attr("__contains__")("\\").cast<bool>() ||
                   s.attr("__contains__")(py::str("\0", 1)).cast<bool>() || s.equal(py::str("..")) ||
                   s.equal(py::str(".")) || py::module_::import("os.path").attr("isabs")(s).cast<bool>();
  if (bad) {
    raise(PyExc_ValueError, where + " = " + shown(value) +
                                " must be a plain file-name part (no path separator, '..', absolute path or NUL)");
  }
}

void check_date_index(const py::handle& table, const py::handle& file) {
  const py::object index = table.attr("index");
  if (py::isinstance(index, pd().attr("DatetimeIndex")) && index.attr("tz").is_none()) return;
  raise(PyExc_ValueError, py::str(file).attr("encode")("utf-8", "surrogateescape").attr("decode")("utf-8", "replace").cast<std::string>() +
                              ": the index is not naive dates (" + py::str(index.attr("dtype")).cast<std::string>() +
                              "); price tables are indexed by trading date");
}

void check_config(const py::object& config, const py::dict& ns) {
  if (!is_mapping(config)) raise(PyExc_TypeError, "config must be a dict, not '" + type_name(config) + "'");
  const Table table = load_table();
  const py::object base = config.attr("get")("base", py::none());
  const bool strict = !base.is_none() && is_mapping(base) && py::bool_(base.attr("get")("strict", false));

  judge_keys(config, table.at(""), "config", strict, ns);
  for (const char* section : {"base", "trade", "output"}) {
    const py::object s = config.attr("get")(section, py::none());
    if (!s.is_none() && is_mapping(s)) judge_keys(s, table.at(section), "config['" + std::string(section) + "']", strict, ns);
  }
  const py::object chain = config.attr("get")("operators", py::none());
  if (!chain.is_none() && is_mapping(chain)) check_operator_keys(chain, table, "config['operators']", strict, ns);

  for (const auto& [section, rows] : table) {
    if (section.starts_with("operators/")) continue;
    const py::object where_dict = section.empty() ? config : config.attr("get")(section, py::none());
    if (where_dict.is_none() || !is_mapping(where_dict)) continue;
    for (const auto& [key, row] : rows) {
      if (!where_dict.attr("__contains__")(key).cast<bool>()) continue;
      check_value(where_dict[py::str(key)], row, key, at(section, key), ns);
    }
  }
  const py::object trade = config.attr("get")("trade", py::none());
  if (!trade.is_none() && is_mapping(trade)) check_money(trade);
  if (!chain.is_none() && is_mapping(chain)) {
    for (py::handle key : chain) (void)resolve_operator(ns, key);
  }
}

void check_chains(const py::object& config, const py::object& context, const py::dict& ns) {
  const Table table = load_table();
  const py::object base = config[py::str("base")];
  const bool strict = py::bool_(base.attr("get")("strict", false));
  const py::list universe(context.attr("original_symbols"));
  if (py::len(py::set(universe)) != universe.size()) {
    raise(PyExc_ValueError, at("base", "universe") + " resolves to symbols listed more than once: " + shown(universe));
  }
  probe_chain(config[py::str("operators")], context, table, "config['operators']", ns);
  if (py::hasattr(context, "operators")) {
    const py::object own = context.attr("operators");
    if (is_mapping(own)) {
      check_operator_keys(own, table, "context.operators", strict, ns);
    }
    // The strategy's chain is resolved where do_operators resolves it.
    const py::object context_ns = py::module_::import("VarloAlpha.Module.Varlo_context").attr("__dict__");
    if (is_mapping(own)) {
      for (py::handle key : own) (void)resolve_operator(context_ns, key);
    }
    probe_chain(own, context, table, "context.operators", context_ns);
  }
}

namespace {

std::string date_of(const py::handle& ts) {
  return py::str(pd().attr("Timestamp")(ts).attr("strftime")("%Y-%m-%d")).cast<std::string>();
}

}  // namespace

void warn_alpha(const py::object& alpha, const py::dict& ns) {
  if (!py::isinstance(alpha, pd().attr("DataFrame")) || py::len(alpha) == 0) return;
  py::object values;
  try {
    values = alpha.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = NAN);
  } catch (py::error_already_set&) {
    return;  // values that are not numbers: the analysis says so in its own words
  }
  const py::module_ numpy = np();
  const py::object inf = numpy.attr("isinf")(values);
  const py::object inf_rows = numpy.attr("flatnonzero")(inf.attr("any")("axis"_a = 1));
  if (py::len(inf_rows) > 0) {
    const auto r = inf_rows[py::int_(0)];
    const auto c = numpy.attr("flatnonzero")(inf[r])[py::int_(0)];
    warn(ns, "AlphaWarning", "the alpha holds inf or -inf on " + std::to_string(py::len(inf_rows)) + " date(s), first on " +
                                 date_of(alpha.attr("index")[r]) + " for " + py::str(alpha.attr("columns")[c]).cast<std::string>());
  }
  // Dates before the first value are the strategy's warm-up; a date without any value after it, or no value
  // at all, is not.
  const py::object empty = numpy.attr("isnan")(values).attr("all")("axis"_a = 1);
  const py::object valued = numpy.attr("flatnonzero")(empty.attr("__invert__")());
  const auto n = py::len(alpha);
  if (py::len(valued) == 0) {
    warn(ns, "AlphaWarning", "the alpha has no value for any symbol on any of its " + std::to_string(n) + " date(s), from " +
                                 date_of(alpha.attr("index")[py::int_(0)]));
    return;
  }
  const py::object gaps = numpy.attr("flatnonzero")(empty[py::slice(valued[py::int_(0)].cast<py::ssize_t>(), n, 1)]);
  if (py::len(gaps) > 0) {
    const auto first = valued[py::int_(0)].cast<py::ssize_t>() + gaps[py::int_(0)].cast<py::ssize_t>();
    warn(ns, "AlphaWarning", "the alpha has no value for any symbol on " + std::to_string(py::len(gaps)) + " of " +
                                 std::to_string(n) + " date(s) after its first value, first on " +
                                 date_of(alpha.attr("index")[py::int_(first)]));
  }
}

void warn_positions(const py::object& volume_position, const py::dict& ns) {
  if (py::len(volume_position) == 0) return;
  const py::object values = volume_position.attr("to_numpy")("dtype"_a = "float64", "na_value"_a = NAN);
  const py::module_ numpy = np();
  if (numpy.attr("any")(values.attr("__ne__")(0.0).attr("__and__")(numpy.attr("isfinite")(values))).cast<bool>()) return;
  warn(ns, "AlphaWarning", "no position is taken on any of the " + std::to_string(py::len(volume_position)) +
                               " date(s) from " + date_of(volume_position.attr("index")[py::int_(0)]) +
                               ": the alpha, capital and leverage size no whole contract");
}

void register_config_check(py::module_& m) {
  const std::string name = m.attr("__name__").cast<std::string>();
  for (const char* cls : {"ConfigWarning", "AlphaWarning"}) {
    const std::string full = name + "." + cls;
    PyObject* type = PyErr_NewException(full.c_str(), PyExc_UserWarning, nullptr);
    if (type == nullptr) throw py::error_already_set();
    m.attr(cls) = py::reinterpret_steal<py::object>(type);
  }
  m.attr("ConfigWarning").attr("__doc__") =
      "A configuration key the system does not read, or a switch that is not a boolean.";
  m.attr("AlphaWarning").attr("__doc__") =
      "A run whose alpha or positions look wrong: inf values, dates without any value, no position taken;\n"
      "stratification figures that leave out layers never holding a value.";
  py::dict ns = m.attr("__dict__");
  def_with_signature(
      m, "check_config", py::cpp_function([ns](const py::object& config) { check_config(config, ns); }), "config", "config",
      "\n    Check a run configuration as backtest does before the first date: unknown keys warn with\n"
      "    ConfigWarning (KeyError when config['base']['strict']), bad values raise naming the key,\n"
      "    names that become file names must be plain names. Returns None.\n    ");
}

}  // namespace varlo::bridge
