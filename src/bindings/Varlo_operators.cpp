// The alpha operators: each takes an alpha frame and a parameter dict and returns an alpha frame.
#include <pybind11/pybind11.h>

#include <algorithm>
#include <atomic>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "operators.hpp"
#include "pandas_bridge.hpp"
#include "signals.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace br = varlo::bridge;
namespace ops = varlo::ops;
using varlo::Matrix;
using varlo::MatView;

namespace {

// A parameter that must be a real number (ints, floats, numpy scalars). An integer too large for a float
// raises the OverflowError pandas' arithmetic would, unless `saturate` (a count threshold compared with
// integer counts, which any such integer decides) makes it an infinity of its sign.
double number_of(const py::handle& v, const char* key, bool saturate = false) {
  if (PyNumber_Check(v.ptr()) && !PyUnicode_Check(v.ptr())) {
    const double d = PyFloat_AsDouble(v.ptr());
    if (!(d == -1.0 && PyErr_Occurred())) return d;
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      if (!saturate) throw py::error_already_set();
      PyErr_Clear();
      const int negative = PyObject_RichCompareBool(v.ptr(), py::int_(0).ptr(), Py_LT);
      if (negative < 0) throw py::error_already_set();
      return negative ? -std::numeric_limits<double>::infinity() : std::numeric_limits<double>::infinity();
    }
    PyErr_Clear();
  }
  throw py::type_error(std::string("parameter \"") + key + "\" must be a real number, got " +
                       py::str(py::type::handle_of(v).attr("__name__")).cast<std::string>());
}

// frame_in, except that a frame without values is accepted whatever its dtype (pandas gives object
// values when there are no columns): there is nothing to compute. `any_layout`: for the row-wise kernels,
// which read a row-major frame as it lies.
br::FrameIn values_of(const py::handle& df, const char* who, bool any_layout = false) {
  if (py::isinstance(df, br::pd().attr("DataFrame"))) {
    const auto shape = df.attr("shape").cast<std::pair<py::ssize_t, py::ssize_t>>();
    if (shape.first == 0 || shape.second == 0) {
      br::FrameIn in;
      in.values = br::FArray({shape.first, shape.second});
      in.view = MatView{in.values.data(), static_cast<std::size_t>(shape.first), static_cast<std::size_t>(shape.second)};
      in.index = df.attr("index");
      in.columns = df.attr("columns");
      return in;
    }
  }
  return any_layout ? br::frame_in_any_layout(df, who) : br::frame_in(df, who);
}

template <class Kernel>
Matrix run(Kernel&& kernel) {
  return br::without_gil([&] { return kernel(); });
}

// kernel(view) over the values as they lie, row-major or column-major.
template <class Kernel>
Matrix run_on(const br::FrameIn& in, Kernel&& kernel) {
  return br::without_gil([&] { return in.row_major() ? kernel(in.row_view) : kernel(in.view); });
}

// The result written into the caller's frame whose values `in` were.
void write_back(const py::object& df, br::FrameIn&& in, Matrix&& out) {
  br::assign_values_handed_back(df, std::move(in), std::move(out));
}

py::object new_frame(Matrix&& m, const br::FrameIn& like) {
  return br::frame_out(std::move(m), like.index, like.columns);
}

// The operator that a name resolves to in the module when called: replacing op_center or op_rank in the
// module changes what op_rank and op_longshort call, as for functions looked up in module globals.
class ByName {
 public:
  ByName(const py::module_& m, const char* name) : module_(py::handle(m)), name_(name) {}
  void set_own(py::object f) { own_ = std::move(f); }
  // The current object, or None while it is still our own function (its kernel is used directly).
  py::object replacement() const {
    const py::object m = module_();
    if (m.is_none()) return py::none();
    const py::object f = py::getattr(m, name_, py::none());
    if (f.is_none() && !py::hasattr(m, name_)) {
      PyErr_Format(PyExc_NameError, "name '%s' is not defined", name_);
      throw py::error_already_set();
    }
    return f.is(own_) ? py::none() : f;
  }

 private:
  py::weakref module_;
  const char* name_;
  py::object own_;
};

py::dict center_parameters(const py::object& center) {
  py::dict p;
  p["center"] = center;
  return p;
}

bool mode_is(const py::object& mode, const char* name) { return mode.equal(py::str(name)); }

// pandas' window validation for rolling(window=smooth, min_periods=smooth).
std::size_t window_of(const py::object& smooth) {
  const bool integer = !PyBool_Check(smooth.ptr()) &&
                       (PyLong_Check(smooth.ptr()) || py::isinstance(smooth, br::np().attr("integer")));
  if (!integer) throw py::value_error("min_periods must be an integer");
  const py::int_ w(smooth);
  if (w < py::int_(0)) throw py::value_error("min_periods must be >= 0");
  const long long n = PyLong_AsLongLong(w.ptr());
  if (n == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    PyErr_SetString(PyExc_OverflowError, "Python int too large to convert to C long");
    throw py::error_already_set();
  }
  return static_cast<std::size_t>(n);
}

struct Names {
  explicit Names(const py::module_& m) : rank(m, "op_rank"), center(m, "op_center") {}
  ByName rank, center;
};

py::object op_scale(const py::object& op_alpha) {
  const auto in = values_of(op_alpha, "op_scale", true);
  return new_frame(run_on(in, [](const auto& v) { return ops::scale(v); }), in);
}

py::object op_sign(const py::object& op_alpha) {
  auto in = values_of(op_alpha, "op_sign", true);
  if (in.size() == 0) return op_alpha;
  // Value by value: row-major values are read, and the result written back, as they lie (as the
  // transposed column-major matrix), without a transposition either way.
  const bool by_rows = in.row_major();
  const MatView flat = by_rows ? MatView{in.row_view.data, in.row_view.cols, in.row_view.rows} : in.view;
  Matrix out = run([&] { return ops::sign(flat); });
  br::assign_values_handed_back(op_alpha, std::move(in), std::move(out), by_rows);
  return op_alpha;
}

py::object op_center(const py::object& op_alpha, const py::object& parameters) {
  const double c = number_of(parameters.attr("get")("center", 0), "center");
  const auto in = values_of(op_alpha, "op_center", true);
  return new_frame(run_on(in, [c](const auto& v) { return ops::center(v, c); }), in);
}

py::object op_rank(const Names& names, const py::object& op_alpha) {
  const auto in = values_of(op_alpha, "op_rank", true);
  const py::object center = names.center.replacement();
  if (center.is_none()) return new_frame(run_on(in, [](const auto& v) { return ops::rank_center(v); }), in);
  py::object ranked = new_frame(run_on(in, [](const auto& v) { return ops::rank_pct(v); }), in);
  return center(ranked, center_parameters(py::int_(0)));
}

py::object op_smooth(const py::object& op_alpha, const py::object& parameters) {
  const py::object smooth = parameters["smooth"];
  const py::object mode = parameters.attr("get")("mode", "simple");
  const bool simple = mode_is(mode, "simple");
  const bool linear = !simple && mode_is(mode, "linear");
  const bool exponential = !simple && !linear && mode_is(mode, "exponential");
  if (!simple && !linear && !exponential) throw py::value_error("invalid op_smooth mode");
  if (exponential && !PyBool_Check(smooth.ptr()) && PyLong_Check(smooth.ptr()) && smooth.equal(py::int_(0))) {
    PyErr_SetString(PyExc_ZeroDivisionError, "division by zero");  // the decay (smooth - 1) / smooth
    throw py::error_already_set();
  }
  const std::size_t window = window_of(smooth);
  const auto in = values_of(op_alpha, "op_smooth");
  if (simple) return new_frame(run([&] { return ops::smooth_simple(in.view, window); }), in);
  if (window > in.view.rows) return new_frame(Matrix(in.view.rows, in.view.cols), in);  // no full window
  if (window == 0) {
    if (in.view.size() == 0) return new_frame(Matrix(in.view.rows, in.view.cols), in);
    PyErr_SetString(PyExc_ZeroDivisionError, "Weights sum to zero, can't be normalized");
    throw py::error_already_set();
  }
  const std::vector<double> weights = linear ? ops::linear_weights(window) : ops::exponential_weights(window);
  return new_frame(run([&] { return ops::smooth_weighted(in.view, weights); }), in);
}

py::object op_longshort(const Names& names, const py::object& op_alpha, const py::object& parameters) {
  const py::object longshort = parameters["longshort"];
  const py::object mode = parameters.attr("get")("mode", "same");
  if (mode_is(mode, "abs_rank")) {
    const auto in = values_of(op_alpha, "op_longshort", true);
    return new_frame(run_on(in, [](const auto& v) { return ops::abs_rank(v); }), in);
  }
  ops::LongShortMode m;
  if (mode_is(mode, "same")) {
    m = ops::LongShortMode::same;
  } else if (mode_is(mode, "keep_rank")) {
    m = ops::LongShortMode::keep_rank;
  } else if (mode_is(mode, "keep_distance")) {
    m = ops::LongShortMode::keep_distance;
  } else if (mode_is(mode, "keep_sign")) {
    m = ops::LongShortMode::keep_sign;
  } else {
    throw py::value_error("invalid op_longshort mode");
  }
  const double ls = number_of(longshort, "longshort");
  const bool count_form = ls >= 1;
  auto in = values_of(op_alpha, "op_longshort", true);

  if (m == ops::LongShortMode::same || m == ops::LongShortMode::keep_sign) {
    if (in.size() == 0) return op_alpha;
    Matrix out = run_on(in, [&](const auto& v) { return ops::longshort(v, ls, m); });
    write_back(op_alpha, std::move(in), std::move(out));
    return op_alpha;
  }

  // keep_rank and keep_distance go through op_rank / op_center, which may have been replaced.
  const py::object center = names.center.replacement();
  std::optional<br::FrameIn> score, base;
  py::object base_frame;  // a frame returned by a replacement: the result is written into it
  if (!count_form && !center.is_none()) {
    py::object ranked = new_frame(run_on(in, [](const auto& v) { return ops::rank_pct(v); }), in);
    score = values_of(center(ranked, center_parameters(py::float_(0.5))), "op_longshort");
  }
  if (m == ops::LongShortMode::keep_rank && count_form) {
    const py::object rank = names.rank.replacement();
    if (!rank.is_none()) {
      base_frame = rank(op_alpha);
    } else if (!center.is_none()) {
      py::object ranked = new_frame(run_on(in, [](const auto& v) { return ops::rank_pct(v); }), in);
      base_frame = center(ranked, center_parameters(py::int_(0)));
    }
  } else if (m == ops::LongShortMode::keep_distance && !center.is_none()) {
    base_frame = center(op_alpha, center_parameters(py::int_(0)));
  }
  if (base_frame) base = values_of(base_frame, "op_longshort");
  if (score && (score->view.rows != in.n_rows() || score->view.cols != in.n_cols())) {
    throw py::value_error("op_center returned a frame of another shape");
  }
  if (base && (base->view.rows != in.n_rows() || base->view.cols != in.n_cols())) {
    throw py::value_error("the operator returned a frame of another shape");
  }
  const MatView* score_view = score ? &score->view : nullptr;
  const MatView* base_view = base ? &base->view : nullptr;
  if (!base_frame && m == ops::LongShortMode::keep_rank && !count_form && br::rows_few(in)) {
    const auto row = [&](const br::FrameIn& f, std::size_t r) {
      return run_on(f, [&](const auto& v) { return ops::longshort(v, ls, m, score_view, nullptr, varlo::Rows{r}); });
    };
    if (br::assign_rows_few(op_alpha, std::move(in), "op_longshort", row)) return op_alpha;
    in = values_of(op_alpha, "op_longshort", true);
  }
  Matrix out = run_on(in, [&](const auto& v) { return ops::longshort(v, ls, m, score_view, base_view); });
  if (base_frame) {
    br::assign_values_fresh(base_frame, std::move(out));
    return base_frame;
  }
  if (m == ops::LongShortMode::keep_rank && !count_form) {
    if (in.size() == 0) return op_alpha;
    write_back(op_alpha, std::move(in), std::move(out));
    return op_alpha;
  }
  return new_frame(std::move(out), in);
}

// Column labels that map to the same industries: the same Index, a view of it (a copied frame's), or an
// equal Index of the same type and dtype.
bool same_labels(const py::object& a, const py::object& b) {
  if (a.is(b) || a.attr("is_")(b).cast<bool>()) return true;
  return py::type::handle_of(a).is(py::type::handle_of(b)) && a.attr("dtype").equal(b.attr("dtype")) &&
         a.attr("equals")(b).cast<bool>();
}

// The industry of each column, from futures_attributes.csv. Parsing the table costs several times the
// operator itself, so the parsed table is kept while the file's size and modification time stay the
// same, and the column mapping for the last column labels seen (Index objects are immutable). Both live
// in one immutable snapshot, replaced whole: the pandas calls made while building one may let another
// thread in, which then sees the previous snapshot or the new one, never a mix.
class Industries {
 public:
  explicit Industries(py::object csv) : csv_(std::move(csv)) {}

  struct Mapping {
    std::vector<std::int32_t> codes;  // column c's industry in [0, n_groups), -1 for none
    std::size_t n_groups = 0;
  };

  std::shared_ptr<const Mapping> mapping(const py::object& columns) {
    const std::shared_ptr<const Snapshot> last = current_.load();
    py::object key = py::none();
    try {
      const py::object st = py::module_::import("os").attr("stat")(csv_);
      key = py::make_tuple(st.attr("st_mtime_ns"), st.attr("st_size"));
    } catch (const py::error_already_set&) {
      key = py::none();  // let read_csv report the file's absence in its own words
    }
    const bool same_table = last && !key.is_none() && key.equal(last->key);
    if (same_table && same_labels(columns, last->columns)) return last->mapping;
    auto next = std::make_shared<Snapshot>();
    next->key = key;
    next->table = same_table ? last->table : br::pd().attr("read_csv")(csv_, "index_col"_a = 0);
    const py::object keyed = br::labels_upper(columns) ? next->table : br::by_symbol_name(next->table);
    const py::object industry = keyed["industry_wind"];
    next->mapping = by_lookup(columns, industry);
    if (!next->mapping) {
      auto m = std::make_shared<Mapping>();
      const py::tuple fact = br::pd().attr("factorize")(industry.attr("reindex")(columns).attr("to_numpy")());
      const auto codes = py::array_t<std::int32_t, py::array::c_style | py::array::forcecast>::ensure(fact[0]);
      m->codes.assign(codes.data(), codes.data() + codes.size());
      m->n_groups = py::len(fact[1]);
      next->mapping = std::move(m);
    }
    next->columns = columns;
    std::shared_ptr<const Mapping> result = next->mapping;
    current_.store(std::move(next));
    return result;
  }

 private:
  struct Snapshot {
    py::object key, table, columns;
    std::shared_ptr<const Mapping> mapping;
  };

  // reindex(columns) then factorize, for plain text labels and a table of unique labels and text (or
  // missing) industries, by a dict lookup a label: pandas' own path builds arrays of objects as long as
  // the frame is wide. Null for anything else.
  static std::shared_ptr<const Mapping> by_lookup(const py::object& columns, const py::object& industry) {
    const auto labels = br::TextLabels::of(columns);
    if (!labels || !industry.attr("index").attr("is_unique").cast<bool>()) return nullptr;
    py::dict of;
    const py::list keys = industry.attr("index").attr("tolist")(), values = industry.attr("tolist")();
    for (std::size_t i = 0; i < keys.size(); ++i) {
      const py::handle v = values[i];
      const bool missing = v.is_none() || (PyFloat_Check(v.ptr()) && std::isnan(PyFloat_AS_DOUBLE(v.ptr())));
      if (!missing && !PyUnicode_CheckExact(v.ptr())) return nullptr;
      of[keys[i]] = missing ? py::object(py::none()) : py::reinterpret_borrow<py::object>(v);
    }
    auto m = std::make_shared<Mapping>();
    m->codes.resize(labels->size());
    py::dict code_of;  // factorize: codes by first appearance
    labels->each([&](std::size_t c, const br::TextLabels::Label& label) {
      const py::object key = br::TextLabels::str(label);
      PyObject* const v = PyDict_GetItemWithError(of.ptr(), key.ptr());
      if (v == nullptr && PyErr_Occurred()) throw py::error_already_set();
      if (v == nullptr || v == Py_None) {
        m->codes[c] = -1;
        return true;
      }
      PyObject* const known = PyDict_GetItemWithError(code_of.ptr(), v);
      if (known == nullptr && PyErr_Occurred()) throw py::error_already_set();
      if (known != nullptr) {
        m->codes[c] = static_cast<std::int32_t>(PyLong_AsLong(known));
      } else {
        m->codes[c] = static_cast<std::int32_t>(m->n_groups);
        code_of[py::handle(v)] = py::int_(m->n_groups++);
      }
      return true;
    });
    return m;
  }
  py::object csv_;
  std::atomic<std::shared_ptr<const Snapshot>> current_;
};

py::object op_neutral(Industries& industries, const py::object& op_alpha, const py::object& parameters) {
  const py::object least_number = parameters.attr("get")("least_number", 2);
  const auto in = values_of(op_alpha, "op_neutral", true);
  const std::shared_ptr<const Industries::Mapping> map = industries.mapping(in.columns);
  if (map->codes.size() != in.n_cols()) {
    throw py::value_error("op_neutral: the columns map to " + std::to_string(map->codes.size()) +
                          " industry labels for " + std::to_string(in.n_cols()) + " columns");
  }
  const double least = number_of(least_number, "least_number", true);
  return new_frame(run_on(in, [&](const auto& v) { return ops::neutral(v, map->codes, map->n_groups, least); }), in);
}

// Positions of IF, IH, IC (in that order) among plain text column labels, by a scan: looking them up
// through pandas builds a hash table of every label first, several frames' worth on a frame of a million
// symbols. Empty when the labels are anything else (MultiIndex, other types) or the three are not each
// found exactly once: pandas' own selection then decides, and raises what it raises.
std::vector<py::ssize_t> index_futures_by_scan(const py::object& columns) {
  const auto labels = br::TextLabels::of(columns);
  if (!labels) return {};
  const std::string_view wanted[] = {"IF", "IH", "IC"};
  std::vector<py::ssize_t> found(3, -1);
  const bool unique = labels->each([&](std::size_t i, const br::TextLabels::Label& label) {
    if (!label.ascii || label.utf8.size() != 2) return true;
    for (std::size_t k = 0; k < 3; ++k) {
      if (label.utf8 == wanted[k]) {
        if (found[k] >= 0) return false;
        found[k] = static_cast<py::ssize_t>(i);
      }
    }
    return true;
  });
  if (!unique) return {};
  if (std::any_of(found.begin(), found.end(), [](py::ssize_t p) { return p < 0; })) return {};
  return found;
}

py::object op_index_futures(const py::object& op_alpha, const py::object& parameters) {
  const py::object multiplier = parameters.attr("get")("positive_multiplier", 2);
  std::vector<py::ssize_t> positions;
  py::object sub;
  const bool is_frame = py::isinstance(op_alpha, br::pd().attr("DataFrame"));
  if (is_frame) positions = index_futures_by_scan(op_alpha.attr("columns"));
  const std::size_t dates = is_frame ? py::len(op_alpha.attr("index")) : 0;
  if (!positions.empty() && dates >= 1 && dates <= 4) {
    // Few dates: the values read off the frame's values, which are a view for one float64 block, and
    // written back through a mask (see assign_columns_few_rows).
    const double pm = number_of(multiplier, "positive_multiplier");
    std::optional<Matrix> x;
    {
      const auto all = py::reinterpret_steal<py::array>(op_alpha.attr("to_numpy")().release());
      if (all.dtype().num() == py::dtype::of<double>().num() && all.ndim() == 2) {
        x.emplace(dates, positions.size());
        const auto* base = static_cast<const char*>(all.data());
        for (std::size_t k = 0; k < positions.size(); ++k) {
          for (std::size_t r = 0; r < dates; ++r) {
            (*x)(r, k) = *reinterpret_cast<const double*>(base + static_cast<py::ssize_t>(r) * all.strides(0) +
                                                           positions[k] * all.strides(1));
          }
        }
      }
    }  // let go: the write counts the references to the frame's memory
    if (x) {
      const Matrix out = run([&] { return ops::index_futures(x->view(), pm); });
      if (br::assign_columns_few_rows(op_alpha, positions, out)) return op_alpha;
    }
  }
  if (!positions.empty()) {
    py::list at;
    for (const auto p : positions) at.append(p);
    sub = op_alpha.attr("iloc")[py::make_tuple(py::slice(py::none{}, py::none{}, py::none{}), at)];
  } else {
    py::list index_futures;
    for (const char* s : {"IF", "IH", "IC"}) index_futures.append(s);
    sub = op_alpha[index_futures];  // pandas' KeyError names a missing column
    // Where the selected columns lie in the frame (MultiIndex columns select whole groups): each found
    // exactly once, or nothing is written.
    const py::object columns = op_alpha.attr("columns");
    const py::object sub_columns = sub.attr("columns");
    const auto pos = py::array_t<py::ssize_t, py::array::c_style | py::array::forcecast>::ensure(
        columns.attr("get_indexer_for")(sub_columns));
    positions.assign(pos.data(), pos.data() + pos.size());
    const bool located = columns.attr("is_unique").cast<bool>() && positions.size() == py::len(sub_columns) &&
                         std::all_of(positions.begin(), positions.end(), [](py::ssize_t p) { return p >= 0; });
    if (!located) {
      throw py::value_error("op_index_futures: the columns IF, IH, IC are not unique labels of the frame");
    }
  }
  const double pm = number_of(multiplier, "positive_multiplier");
  Matrix out;
  {
    const auto in = values_of(sub, "op_index_futures", true);
    if (in.size() == 0) return op_alpha;
    out = run_on(in, [pm](const auto& v) { return ops::index_futures(v, pm); });
  }
  sub = py::none();  // the selected columns' copy, let go before the write
  br::assign_columns_fresh(op_alpha, positions, std::move(out));
  return op_alpha;
}

}  // namespace

PYBIND11_MODULE(Varlo_operators, m) {
  m.attr("Path") = py::module_::import("pathlib").attr("Path");
  m.attr("np") = br::np();
  m.attr("pd") = br::pd();

  const auto names = std::make_shared<Names>(m);
  const std::string module_name = m.attr("__name__").cast<std::string>();
  const auto industries = std::make_shared<Industries>(br::package_dir(module_name.c_str()) /
                                                       py::str("futures_attributes.csv"));
  // Docstrings carry a text signature ("name(params)\n--\n\n"), which inspect.signature reads.
  py::options options;
  options.disable_function_signatures();
  const auto def = [&](const char* name, auto&& f, const char* doc, auto... args) {
    const bool optional = (std::is_same_v<std::decay_t<decltype(args)>, py::arg_v> || ...);
    const std::string full = std::string(name) + (optional ? "(op_alpha, parameters=None)" : "(op_alpha, parameters)") +
                             "\n--\n\n" + doc;
    return py::cpp_function(std::forward<decltype(f)>(f), py::name(name), py::scope(m),
                            py::sibling(py::none()), full.c_str(), args...);
  };

  // Created in dependency order, then bound in the module's order.
  const py::object center = def("op_center", &op_center,
                                "截面去均值: each row minus its mean, plus parameters.get('center', 0).",
                                "op_alpha"_a, "parameters"_a);
  const py::object rank = def(
      "op_rank", [names](const py::object& a, const py::object&) { return op_rank(*names, a); },
      "截面百分位排序并去均值: rank(axis=1, pct=True) centred at row mean 0.", "op_alpha"_a,
      "parameters"_a = py::none());
  names->center.set_own(center);
  names->rank.set_own(rank);

  m.add_object("op_scale", def("op_scale", [](const py::object& a, const py::object&) { return op_scale(a); },
                               "按行除以绝对值之和: each row over the sum of its absolute values.",
                               "op_alpha"_a, "parameters"_a = py::none()));
  m.add_object("op_longshort",
               def("op_longshort",
                   [names](const py::object& a, const py::object& p) { return op_longshort(*names, a, p); },
                   "多空选择: long/short selection by cross-sectional rank; parameters 'longshort' (count >= 1 "
                   "or fraction), 'mode' in same, keep_rank, keep_distance, keep_sign, abs_rank.",
                   "op_alpha"_a, "parameters"_a));
  m.add_object("op_sign", def("op_sign", [](const py::object& a, const py::object&) { return op_sign(a); },
                              "取符号 (in place): positive values to 1, negative to -1.", "op_alpha"_a,
                              "parameters"_a = py::none()));
  m.add_object("op_smooth", def("op_smooth", &op_smooth,
                                "时间序列平滑: rolling mean over parameters['smooth'] dates, mode simple, linear "
                                "or exponential.",
                                "op_alpha"_a, "parameters"_a));
  m.add_object("op_rank", rank);
  m.add_object("op_center", center);
  m.add_object("op_neutral",
               def("op_neutral",
                   [industries](const py::object& a, const py::object& p) { return op_neutral(*industries, a, p); },
                   "行业中性化: each symbol minus its industry's mean on the date.", "op_alpha"_a, "parameters"_a));
  m.add_object("op_index_futures",
               def("op_index_futures", &op_index_futures,
                   "股指期货处理 (in place): IF, IH, IC negative to NaN, positive times "
                   "parameters.get('positive_multiplier', 2).",
                   "op_alpha"_a, "parameters"_a));
}
