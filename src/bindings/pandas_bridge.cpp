// Frames <-> column-major matrices (declared in pandas_bridge.hpp).
#include "pandas_bridge.hpp"

#include <algorithm>
#include <array>
#include <memory>
#include <optional>
#include <string>

#include <malloc.h>
#include <sys/mman.h>

#include "constant_writes.hpp"
#include "signals.hpp"

namespace varlo::bridge {

py::module_ pd() { return py::module_::import("pandas"); }
py::module_ np() { return py::module_::import("numpy"); }

namespace {

// Frames of numeric columns that numpy cannot hold in one numeric array (nullable Int64/Float64, a bool
// column among floats) hand out object values: convert as pandas' arithmetic does, pd.NA as NaN.
py::object numeric_values(const py::handle& df, py::object arr) {
  if (py::cast<py::array>(arr).dtype().kind() != 'O') return arr;
  const py::object is_numeric = pd().attr("api").attr("types").attr("is_numeric_dtype");
  for (py::handle dt : df.attr("dtypes")) {
    if (!is_numeric(dt).cast<bool>()) return arr;
  }
  return df.attr("to_numpy")(py::arg("dtype") = "float64", py::arg("na_value") = np().attr("nan"));
}

FArray as_float_fortran(py::object arr, const char* who) {
  const char kind = py::cast<py::array>(arr).dtype().kind();
  if (kind != 'f' && kind != 'i' && kind != 'u' && kind != 'b') {
    throw py::type_error(std::string(who) + " needs a numeric frame; got values of dtype " +
                         py::str(arr.attr("dtype")).cast<std::string>());
  }
  // forcecast + f_style: no copy when already float64 and column-major.
  return FArray::ensure(arr);
}

template <class T>
py::capsule owner_of(std::unique_ptr<std::vector<T>>& holder) {
  return py::capsule(holder.release(), [](void* p) { delete static_cast<std::vector<T>*>(p); });
}

}  // namespace

namespace {

FrameIn frame_in_impl(const py::handle& df, const char* who, bool any_layout) {
  if (!py::isinstance(df, pd().attr("DataFrame"))) {
    throw py::type_error(std::string(who) + " needs a pandas DataFrame, got " +
                         py::str(py::type::handle_of(df).attr("__name__")).cast<std::string>());
  }
  FrameIn in;
  py::object arr = numeric_values(df, df.attr("to_numpy")());
  in.index = df.attr("index");
  in.columns = df.attr("columns");
  using CArray = py::array_t<double, py::array::c_style>;
  if (any_layout && CArray::check_(arr)) {
    const auto a = py::reinterpret_borrow<py::array>(arr);
    namespace d = py::detail;
    const bool rows_only = a.ndim() == 2 && (a.flags() & d::npy_api::NPY_ARRAY_F_CONTIGUOUS_) == 0 &&
                           (a.flags() & d::npy_api::NPY_ARRAY_ALIGNED_) != 0;
    if (rows_only) {  // column-major too (one date or one symbol): the usual path costs nothing either
      in.row_values = a;
      in.row_view = RowView{static_cast<const double*>(a.data()), static_cast<std::size_t>(a.shape(0)),
                            static_cast<std::size_t>(a.shape(1))};
      return in;
    }
  }
  in.values = as_float_fortran(std::move(arr), who);
  if (!in.values) throw py::error_already_set();
  in.view = MatView{in.values.data(), static_cast<std::size_t>(in.values.shape(0)),
                    static_cast<std::size_t>(in.values.shape(1))};
  return in;
}

}  // namespace

FrameIn frame_in(const py::handle& df, const char* who) { return frame_in_impl(df, who, false); }

FrameIn frame_in_any_layout(const py::handle& df, const char* who) { return frame_in_impl(df, who, true); }

std::optional<FrameIn> gathered(const py::handle& df, const py::handle& index, const py::handle& columns) {
  if (!py::isinstance(df, pd().attr("DataFrame"))) return std::nullopt;
  const py::object rows = df.attr("index"), cols = df.attr("columns");
  const py::object multi = pd().attr("MultiIndex");
  for (const py::handle axis : {rows.ptr(), cols.ptr(), index.ptr(), columns.ptr()}) {
    if (py::isinstance(axis, multi)) return std::nullopt;
  }
  if (!rows.attr("is_unique").cast<bool>() || !cols.attr("is_unique").cast<bool>()) return std::nullopt;
  const py::object arr = df.attr("to_numpy")();
  if (!py::isinstance<py::array>(arr)) return std::nullopt;
  const auto a = py::reinterpret_borrow<py::array>(arr);
  if (a.ndim() != 2 || !a.dtype().equal(py::dtype::of<double>())) return std::nullopt;
  FArray values = FArray::ensure(arr);
  if (!values) throw py::error_already_set();
  const auto labelled = [&](FArray&& v) {
    FrameIn in;
    in.values = std::move(v);
    in.view = MatView{in.values.data(), static_cast<std::size_t>(in.values.shape(0)),
                      static_cast<std::size_t>(in.values.shape(1))};
    in.index = py::reinterpret_borrow<py::object>(index);
    in.columns = py::reinterpret_borrow<py::object>(columns);
    return in;
  };
  // Already in the wanted order (a price table read for its own dates and symbols): the values as they are.
  if (rows.attr("equals")(index).cast<bool>() && cols.attr("equals")(columns).cast<bool>()) {
    return labelled(std::move(values));
  }
  using Positions = py::array_t<std::int64_t, py::array::c_style | py::array::forcecast>;
  const auto at_rows = py::cast<Positions>(rows.attr("get_indexer")(index));
  const auto at_cols = py::cast<Positions>(cols.attr("get_indexer")(columns));
  const MatView from{values.data(), static_cast<std::size_t>(values.shape(0)), static_cast<std::size_t>(values.shape(1))};
  // Every value is written by the take: the array is not cleared first.
  FArray out({at_rows.size(), at_cols.size()});
  double* const to = out.mutable_data();
  without_gil([&] {
    take_into(from, {at_rows.data(), static_cast<std::size_t>(at_rows.size())},
              {at_cols.data(), static_cast<std::size_t>(at_cols.size())}, to);
  });
  return labelled(std::move(out));
}

FrameIn frame_in_like(const py::handle& df, const py::handle& index, const py::handle& columns, const char* who) {
  if (auto in = gathered(df, index, columns)) return std::move(*in);
  py::object conformed = df.attr("reindex")(py::arg("index") = index, py::arg("columns") = columns);
  return frame_in(conformed, who);
}

py::array_t<double> array_out(std::vector<double>&& v) {
  auto holder = std::make_unique<std::vector<double>>(std::move(v));
  const auto n = static_cast<py::ssize_t>(holder->size());
  double* data = holder->data();
  py::capsule owner = owner_of(holder);
  return py::array_t<double>({n}, {static_cast<py::ssize_t>(sizeof(double))}, data, owner);
}

py::array_t<double> matrix_array(Matrix&& m) {
  const auto rows = static_cast<py::ssize_t>(m.rows);
  const auto cols = static_cast<py::ssize_t>(m.cols);
  auto holder = std::make_unique<std::vector<double>>(std::move(m.data));
  double* data = holder->data();
  py::capsule owner = owner_of(holder);
  const auto item = static_cast<py::ssize_t>(sizeof(double));
  return py::array_t<double>({rows, cols}, {item, item * rows}, data, owner);
}

py::object frame_out(Matrix&& m, const py::handle& index, const py::handle& columns) {
  return pd().attr("DataFrame")(matrix_array(std::move(m)), py::arg("index") = index, py::arg("columns") = columns,
                                py::arg("copy") = false);
}

py::object series_out(std::vector<double>&& v, const py::handle& index, const py::object& name) {
  return pd().attr("Series")(array_out(std::move(v)), py::arg("index") = index, py::arg("name") = name,
                             py::arg("copy") = false);
}

namespace {

void assign_array(const py::handle& df, const py::array& arr) {
  const py::ssize_t rows = arr.shape(0);
  const py::ssize_t cols = arr.shape(1);
  if (rows == 1 && cols > 1) {
    // Any loc/iloc write first builds per-column bookkeeping (block numbers, positions, dtypes): four
    // frames' worth on a one-row frame, more when the block is shared. A where that keeps nothing writes
    // the one-row block through a bool mask; its values, transposed, are contiguous there, so numpy
    // neither copies nor strides (taller blocks are not: the row slice below is cheaper for them).
    df.attr("where")(np().attr("broadcast_to")(false, py::make_tuple(rows, cols)), arr, py::arg("inplace") = true);
    return;
  }
  // A row slice only: a (rows, columns) pair makes pandas split the shared block column by column.
  df.attr("iloc")[py::slice(py::none{}, py::none{}, py::none{})] = arr;
}

}  // namespace

void assign_values(const py::handle& df, Matrix&& m) { assign_array(df, matrix_array(std::move(m))); }

}  // namespace varlo::bridge

namespace varlo::bridge {

namespace {

py::array_t<double> column_array(const Matrix& m, std::size_t c) {
  std::vector<double> col(m.data.begin() + static_cast<std::ptrdiff_t>(c * m.rows),
                          m.data.begin() + static_cast<std::ptrdiff_t>((c + 1) * m.rows));
  return array_out(std::move(col));
}

// Writes m over the columns at `positions` (all columns when empty).
void assign_fresh(const py::handle& df, const std::vector<py::ssize_t>& positions, Matrix&& m) {
  const bool all_columns = positions.empty();
  const py::object f64 = np().attr("dtype")("float64");
  py::list pos;
  for (const auto p : positions) pos.append(p);
  const py::slice all(py::none{}, py::none{}, py::none{});
  // Only the written columns' dtypes: the whole frame's cost a Series over every column.
  const py::object dtypes =
      (all_columns ? df.attr("dtypes") : df.attr("iloc")[py::make_tuple(all, pos)].attr("dtypes")).attr("to_numpy")();
  const auto seq = py::reinterpret_borrow<py::sequence>(dtypes);
  bool all_float = true;
  const std::size_t n = all_columns ? py::len(seq) : positions.size();
  for (std::size_t k = 0; k < n && all_float; ++k) {
    const py::object dt = seq[static_cast<py::ssize_t>(k)];
    all_float = dt.is(f64) || dt.equal(f64);
  }
  if (!all_float) {
    for (std::size_t k = 0; k < n; ++k) {
      const py::ssize_t at = all_columns ? static_cast<py::ssize_t>(k) : positions[k];
      df.attr("isetitem")(at, column_array(m, k));
    }
    return;
  }
  const py::object holder = df.attr("copy")(py::arg("deep") = false);
  if (all_columns) {
    assign_values(df, std::move(m));
  } else {
    df.attr("iloc")[py::make_tuple(all, pos)] = matrix_array(std::move(m));
  }
}

}  // namespace

void assign_values_fresh(const py::handle& df, Matrix&& m) { assign_fresh(df, {}, std::move(m)); }

void assign_columns_fresh(const py::handle& df, const std::vector<py::ssize_t>& positions, Matrix&& m) {
  if (positions.empty()) return;
  assign_fresh(df, positions, std::move(m));
}

}  // namespace varlo::bridge

namespace varlo::bridge {

namespace {

enum class Block { other, shared, sole };

// What the to_numpy() view `values` shows of its frame. A view of memory something else references too
// (the block, or the array it was built on) is a single float64 block: several blocks or a cast give a
// fresh array, referenced by the view alone. `sole`: the owning array (numpy collapses view chains to it)
// holds its own memory and is referenced by the block (or the block's view of it) and this view alone.
Block block_of(const py::array& values) {
  if (!values || Py_REFCNT(values.ptr()) != 1 || values.dtype().num() != py::dtype::of<double>().num()) {
    return Block::other;
  }
  const py::object base = values.base();  // one more reference while held here
  if (!py::isinstance<py::array>(base)) return Block::other;  // no base: a fresh array (several blocks, a cast)
  const auto owner = py::reinterpret_borrow<py::array>(base);  // and one more
  if (Py_REFCNT(base.ptr()) < 4) return Block::other;
  return owner.owndata() && Py_REFCNT(base.ptr()) == 4 ? Block::sole : Block::shared;
}

// block_of the values `in` hands back, taken over rather than copied: `in` must hold no reference while
// the owner's references are counted. `in` is left empty.
Block block_handed_back(FrameIn& in) {
  auto values = py::reinterpret_steal<py::array>(in.row_major() ? in.row_values.release() : in.values.release());
  in = FrameIn{};
  return block_of(values);
}

// Held during a write: for memory something else references, a shallow copy makes pandas copy the block
// before writing (Copy-on-Write), so that memory is never written.
py::object copy_guard(const py::handle& df, Block block) {
  return block == Block::shared ? df.attr("copy")(py::arg("deep") = false) : py::none();
}

}  // namespace

namespace {

// Up to this many dates a loc/iloc write costs a frame or more of pandas' per-column bookkeeping (four
// 8-byte entries a column); a where costs at most one frame whatever the shape.
constexpr std::size_t kFewRows = 4;
// Smaller frames keep the single write: there a where per constant costs more time than it saves memory.
constexpr std::size_t kManyValues = std::size_t{1} << 16;
constexpr std::array<double, 3> kConstants{-1.0, 0.0, 1.0};

// A C-ordered float64 array over fresh anonymous pages: zero, and taking memory only where written (a
// recycled heap block would be cleared, so touched, whole).
py::array_t<double> untouched_zeros(py::ssize_t rows, py::ssize_t cols) {
  const auto bytes = static_cast<std::size_t>(rows * cols) * sizeof(double);
  void* const p = bytes == 0 ? MAP_FAILED : mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (p == MAP_FAILED) return np().attr("zeros")(py::make_tuple(rows, cols));
  struct Pages {
    Pages(void* at, std::size_t n) : p(at), bytes(n) {}
    Pages(const Pages&) = delete;
    Pages& operator=(const Pages&) = delete;
    ~Pages() { munmap(p, bytes); }
    void* p;
    std::size_t bytes;
  };
  auto holder = std::make_unique<Pages>(p, bytes);
  const py::capsule owner(holder.release(), [](void* h) { delete static_cast<Pages*>(h); });
  return py::array_t<double>({rows, cols}, static_cast<double*>(p), owner);
}

// The masks for write_constants: codes as constant_writes gives them, for values of `out`'s shape
// and order, column-major or (`by_rows`) row-major.
std::vector<std::uint8_t> codes_for(const FrameIn& in, const Matrix& out, bool by_rows) {
  if (in.n_rows() > kFewRows || out.size() < kManyValues) return {};
  if (by_rows) return constant_writes(MatView{in.row_view.data, in.row_view.cols, in.row_view.rows}, out, kConstants);
  return in.row_major() ? constant_writes(in.row_view, out, kConstants) : constant_writes(in.view, out, kConstants);
}

// One where per constant present, through a mask of the frame's shape laid out as the codes are.
void write_constants(const py::handle& df, const std::vector<std::uint8_t>& codes, py::ssize_t rows, py::ssize_t cols,
                     bool by_rows) {
  const py::ssize_t one = 1;
  const std::vector<py::ssize_t> strides = by_rows ? std::vector<py::ssize_t>{cols, one} : std::vector<py::ssize_t>{one, rows};
  for (std::size_t k = 0; k < kConstants.size(); ++k) {
    const auto code = static_cast<std::uint8_t>(k + 1);
    if (std::find(codes.begin(), codes.end(), code) == codes.end()) continue;
    py::array_t<bool> keep({rows, cols}, strides);
    bool* to = keep.mutable_data();
    for (std::size_t i = 0; i < codes.size(); ++i) to[i] = codes[i] != code;
    df.attr("where")(keep, kConstants[k], py::arg("inplace") = true);
  }
}

}  // namespace

void assign_values_handed_back(const py::handle& df, FrameIn&& in, Matrix&& m, bool by_rows) {
  // On a frame of few dates, a result of a few constants goes in as masks: the values are let go first.
  std::vector<std::uint8_t> codes = codes_for(in, m, by_rows);
  const auto rows = static_cast<py::ssize_t>(in.n_rows()), cols = static_cast<py::ssize_t>(in.n_cols());
  const Block block = block_handed_back(in);
  if (block == Block::other) {
    if (by_rows) {
      Matrix by_columns;
      by_columns.data = without_gil([&] { return rows_of(m); });
      by_columns.rows = m.cols;
      by_columns.cols = m.rows;
      m = std::move(by_columns);
    }
    assign_values_fresh(df, std::move(m));
    return;
  }
  if (!codes.empty()) {
    { const Matrix freed = std::move(m); }
    // Back to the system before pandas takes its own scratch: a freed heap block stays resident.
    malloc_trim(0);
    const py::object guard = copy_guard(df, block);
    write_constants(df, codes, rows, cols, by_rows);
    return;
  }
  // A row-major block takes row-major values as a straight copy.
  const py::array arr = by_rows ? py::array(matrix_array(std::move(m)).attr("T")) : py::array(matrix_array(std::move(m)));
  // Every column is float64: the dtype check over all columns (costly on wide frames) is skipped.
  const py::object guard = copy_guard(df, block);
  assign_array(df, arr);
}

bool assign_columns_few_rows(const py::handle& df, const std::vector<py::ssize_t>& positions, const Matrix& m) {
  if (m.rows > kFewRows || m.rows == 0 || m.cols != positions.size()) return false;
  auto values = py::reinterpret_steal<py::array>(df.attr("to_numpy")().release());
  if (values.ndim() != 2 || values.shape(0) != static_cast<py::ssize_t>(m.rows)) return false;
  const py::ssize_t rows = values.shape(0), n = values.shape(1);
  const Block block = block_of(values);  // `other` for several blocks or a cast
  values = py::array();
  if (block == Block::other) return false;
  // Untouched pages of the zeros stay unmapped: the other values cost a page per written entry.
  py::array_t<bool> keep({rows, n});
  py::array_t<double> other = untouched_zeros(rows, n);
  std::fill_n(keep.mutable_data(), rows * n, true);
  for (std::size_t k = 0; k < positions.size(); ++k) {
    for (std::size_t r = 0; r < m.rows; ++r) {
      const auto at = static_cast<py::ssize_t>(r) * n + positions[k];
      keep.mutable_data()[at] = false;
      other.mutable_data()[at] = m(r, k);
    }
  }
  const py::object guard = copy_guard(df, block);
  df.attr("where")(keep, other, py::arg("inplace") = true);
  return true;
}

bool rows_few(const FrameIn& in) { return in.n_rows() >= 2 && in.n_rows() <= kFewRows && in.size() >= kManyValues; }

bool assign_rows_few(const py::handle& df, FrameIn&& in, const char* who,
                     const std::function<Matrix(const FrameIn&, std::size_t)>& row) {
  const auto rows = static_cast<py::ssize_t>(in.n_rows()), cols = static_cast<py::ssize_t>(in.n_cols());
  const Block block = block_handed_back(in);
  if (block == Block::other) return false;
  // Held again while the rows are written: pandas does not count a values view, so on a block of its own
  // it writes in place, where only dates already computed change.
  const FrameIn values = frame_in_any_layout(df, who);
  const py::object guard = copy_guard(df, block);
  py::array_t<bool> keep({rows, cols});
  bool* const mask = keep.mutable_data();
  std::fill_n(mask, rows * cols, true);
  for (py::ssize_t r = 0; r < rows; ++r) {
    py::array_t<double> other = untouched_zeros(rows, cols);
    {
      const Matrix date = row(values, static_cast<std::size_t>(r));
      std::copy(date.data.begin(), date.data.end(), other.mutable_data() + r * cols);
    }
    malloc_trim(0);  // the kernel's freed scratch, resident until given back
    std::fill_n(mask + r * cols, cols, false);
    df.attr("where")(keep, other, py::arg("inplace") = true);
    std::fill_n(mask + r * cols, cols, true);
  }
  return true;
}

}  // namespace varlo::bridge
