#include "history_bridge.hpp"

#include <pybind11/numpy.h>

#include <cstdint>
#include <optional>
#include <utility>
#include <vector>

#include "history.hpp"
#include "pandas_bridge.hpp"

namespace varlo::bridge {

// A table the fast path serves: one float64 block under an ascending, naive DatetimeIndex without NaT,
// unique column labels. The identities below key the snapshot: a replaced table, index, column set,
// block list or block array (pandas swaps these when dtypes change or a shared block is copied on
// write) make a new one. In-place writes into the block land in the memory `values` views, as pandas'
// own selection would see them.
struct HistoryCache::Table {
  py::object table, mgr, blocks, block_values, index, columns;
  bool fast = false;
  py::array values;  // to_numpy() view of the block; keeps `view` alive
  StridedView view;
  std::vector<std::int64_t> dates;
};

// Column positions of one symbol list in one table snapshot.
struct HistoryCache::Selection {
  std::shared_ptr<const Table> owner;
  std::vector<py::object> labels;
  std::vector<std::size_t> positions;
  py::object columns;  // the table's column labels taken at `positions`
};

namespace {

using Table = HistoryCache::Table;
using Selection = HistoryCache::Selection;
using Slot = HistoryCache::Slot;

struct Types {
  py::object frame, datetime_index, index, timestamp;
};

// Looked up per call (a module-dict lookup each): nothing held past the interpreter's life.
Types types() {
  py::module_ p = pd();
  return Types{p.attr("DataFrame"), p.attr("DatetimeIndex"), p.attr("Index"), p.attr("Timestamp")};
}

bool exact(const py::handle& obj, const py::object& cls) { return py::type::handle_of(obj).is(cls); }

py::object attr_or_none(const py::handle& obj, const char* name) { return py::getattr(obj, name, py::none()); }

// The identities a snapshot is keyed on; `block_values` only for a single block.
struct Keys {
  py::object mgr, blocks, block_values, index, columns;
};

Keys keys_of(const py::handle& table) {
  Keys k;
  k.mgr = attr_or_none(table, "_mgr");
  k.blocks = k.mgr.is_none() ? py::none() : attr_or_none(k.mgr, "blocks");
  if (PyTuple_Check(k.blocks.ptr()) && PyTuple_GET_SIZE(k.blocks.ptr()) == 1) {
    k.block_values = attr_or_none(py::reinterpret_borrow<py::tuple>(k.blocks)[0], "values");
  } else {
    k.block_values = py::none();
  }
  k.index = table.attr("index");
  k.columns = table.attr("columns");
  return k;
}

bool same(const Table& t, const py::handle& table, const Keys& k) {
  return t.table.is(table) && t.mgr.is(k.mgr) && t.blocks.is(k.blocks) && t.block_values.is(k.block_values) &&
         t.index.is(k.index) && t.columns.is(k.columns);
}

std::shared_ptr<const Table> snapshot(const py::handle& table, Keys&& k) {
  auto t = std::make_shared<Table>();
  t->table = py::reinterpret_borrow<py::object>(table);
  t->mgr = std::move(k.mgr);
  t->blocks = std::move(k.blocks);
  t->block_values = std::move(k.block_values);
  t->index = std::move(k.index);
  t->columns = std::move(k.columns);
  const Types ty = types();
  const bool plain = exact(table, ty.frame) && exact(t->index, ty.datetime_index) && exact(t->columns, ty.index) &&
                     py::isinstance<py::array>(t->block_values) &&
                     py::reinterpret_borrow<py::array>(t->block_values).dtype().equal(py::dtype::of<double>()) &&
                     t->index.attr("tz").is_none() && t->index.attr("is_monotonic_increasing").cast<bool>() &&
                     !t->index.attr("hasnans").cast<bool>() && t->columns.attr("is_unique").cast<bool>();
  if (!plain) return t;
  py::object arr = table.attr("to_numpy")();
  if (!py::isinstance<py::array>(arr)) return t;
  t->values = py::reinterpret_borrow<py::array>(arr);
  const py::array& a = t->values;
  constexpr auto kItem = static_cast<py::ssize_t>(sizeof(double));
  if (a.ndim() != 2 || !a.dtype().equal(py::dtype::of<double>()) || a.strides(0) % kItem != 0 ||
      a.strides(1) % kItem != 0 || (reinterpret_cast<std::uintptr_t>(a.data()) % alignof(double)) != 0) {
    return t;
  }
  t->view = StridedView{static_cast<const double*>(a.data()), static_cast<std::size_t>(a.shape(0)),
                        static_cast<std::size_t>(a.shape(1)), a.strides(0) / kItem, a.strides(1) / kItem};
  t->dates = ns_of(t->index);
  t->fast = t->dates.size() == t->view.rows;
  return t;
}

bool same_labels(const Selection& s, const py::list& symbols) {
  const auto n = static_cast<std::size_t>(PyList_GET_SIZE(symbols.ptr()));
  if (n != s.labels.size()) return false;
  for (std::size_t j = 0; j < n; ++j) {
    PyObject* a = PyList_GET_ITEM(symbols.ptr(), static_cast<py::ssize_t>(j));
    PyObject* b = s.labels[j].ptr();
    if (a == b) continue;
    if (!PyUnicode_CheckExact(a) || !PyUnicode_CheckExact(b)) return false;
    const int eq = PyObject_RichCompareBool(a, b, Py_EQ);
    if (eq < 0) throw py::error_already_set();
    if (eq == 0) return false;
  }
  return true;
}

// Positions of the symbols among the columns; empty when one is missing or not a plain str (pandas
// then raises or decides itself).
std::shared_ptr<const Selection> select(const std::shared_ptr<const Table>& t, const py::list& symbols) {
  auto s = std::make_shared<Selection>();
  s->owner = t;
  for (py::handle sym : symbols) {
    if (!PyUnicode_CheckExact(sym.ptr())) return nullptr;
    s->labels.push_back(py::reinterpret_borrow<py::object>(sym));
  }
  py::object idx = t->columns.attr("get_indexer")(symbols);
  const auto pos = py::cast<py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>>(idx);
  for (py::ssize_t j = 0; j < pos.size(); ++j) {
    if (pos.data()[j] < 0) return nullptr;
    s->positions.push_back(static_cast<std::size_t>(pos.data()[j]));
  }
  s->columns = t->columns.attr("take")(idx);
  return s;
}

py::object negate(const py::object& n) {
  PyObject* r = PyNumber_Negative(n.ptr());
  if (r == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(r);
}

// The pandas expression itself, for every table and argument the fast path does not serve.
py::object pandas_history(const py::handle& context, const py::object& name, const py::object& n) {
  py::object table = context.attr("data")[name];
  const py::slice upto(py::none(), context.attr("timestamp"), py::none());
  py::object sel = table.attr("loc")[py::make_tuple(upto, context.attr("symbols"))];
  return sel.attr("iloc")[py::slice(negate(n), py::none(), py::none())];
}

py::object frozen(py::array arr) {
  arr.attr("setflags")(py::arg("write") = false);
  return arr;
}

}  // namespace

namespace {

struct Window {
  std::shared_ptr<const Table> table;
  std::shared_ptr<const Selection> selection;
  std::size_t r0 = 0, r1 = 0;
};

// Everything the fast path needs for one call, or nothing when pandas must answer.
std::optional<Window> window_of(std::unordered_map<std::string, HistoryCache::Slot>& slots,
                                       const py::handle& context, const py::object& name, const py::object& n) {
  // n as a slice bound takes it: a Python int or anything with __index__ (numpy integers).
  if (!PyUnicode_CheckExact(name.ptr()) || !PyIndex_Check(n.ptr())) return std::nullopt;
  const py::object data = context.attr("data");
  if (!PyDict_CheckExact(data.ptr())) return std::nullopt;
  PyObject* found = PyDict_GetItemWithError(data.ptr(), name.ptr());
  if (found == nullptr) {
    if (PyErr_Occurred()) throw py::error_already_set();
    return std::nullopt;  // pandas' expression raises the KeyError
  }
  const py::object table = py::reinterpret_borrow<py::object>(found);
  const py::object ts = context.attr("timestamp");
  const py::object symbols = context.attr("symbols");
  if (!exact(ts, pd().attr("Timestamp")) || !ts.attr("tzinfo").is_none() || !PyList_CheckExact(symbols.ptr())) {
    return std::nullopt;
  }
  PyObject* as_int = PyNumber_Index(n.ptr());
  if (as_int == nullptr) throw py::error_already_set();
  const auto n_int = py::reinterpret_steal<py::object>(as_int);
  int overflow = 0;
  const long long count = PyLong_AsLongLongAndOverflow(n_int.ptr(), &overflow);
  if (overflow != 0) return std::nullopt;

  const std::string key = name.cast<std::string>();
  Keys k = keys_of(table);
  Slot slot = slots[key];  // copies: this call keeps its snapshot whatever other calls store
  if (!slot.table || !same(*slot.table, table, k)) {
    slot.table = snapshot(table, std::move(k));
    slot.selection = nullptr;
  }
  if (!slot.table->fast) {
    slots[key] = slot;
    return std::nullopt;
  }
  const auto sym_list = py::reinterpret_borrow<py::list>(symbols);
  if (!slot.selection || !same_labels(*slot.selection, sym_list)) slot.selection = select(slot.table, sym_list);
  {
    Slot previous = std::exchange(slots[key], slot);  // released after the map holds the new slot
  }
  if (!slot.selection) return std::nullopt;
  const std::size_t r1 = rows_through(slot.table->dates, ts.attr("value").cast<std::int64_t>());
  const std::size_t r0 = last_rows_start(r1, static_cast<std::int64_t>(count));
  return Window{slot.table, slot.selection, r0, r1};
}


}  // namespace

py::object HistoryCache::frame(const py::handle& context, const py::object& name, const py::object& n) {
  const std::optional<Window> w = window_of(slots_, context, name, n);
  if (!w) return pandas_history(context, name, n);
  Matrix m = gather_window(w->table->view, w->r0, w->r1, w->selection->positions);
  const py::slice rows(static_cast<py::ssize_t>(w->r0), static_cast<py::ssize_t>(w->r1), 1);
  return frame_out(std::move(m), w->table->index[rows], w->selection->columns);
}

py::object HistoryCache::values(const py::handle& context, const py::object& name, const py::object& n) {
  const std::optional<Window> w = window_of(slots_, context, name, n);
  if (!w) {
    py::object out = np().attr("array")(pandas_history(context, name, n).attr("to_numpy")(py::arg("dtype") = "float64"));
    return frozen(py::reinterpret_borrow<py::array>(out));
  }
  const auto& pos = w->selection->positions;
  std::vector<double> flat = gather_window_rows(w->table->view, w->r0, w->r1, pos);
  const auto rows = static_cast<py::ssize_t>(w->r1 - w->r0);
  const auto cols = static_cast<py::ssize_t>(pos.size());
  py::array_t<double> flat_arr = array_out(std::move(flat));
  return frozen(flat_arr.attr("reshape")(rows, cols));
}

}  // namespace varlo::bridge
