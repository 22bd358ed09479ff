// The one place where pandas objects meet the core: frames <-> column-major matrices. The bridge's other
// concerns have headers of their own (dates.hpp, package.hpp, gzip_reader.hpp), included here too.
#pragma once

#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "config_values.hpp"
#include "dates.hpp"
#include "gzip_reader.hpp"
#include "matrix.hpp"
#include "package.hpp"

namespace varlo::bridge {

namespace py = pybind11;
using FArray = py::array_t<double, py::array::f_style | py::array::forcecast>;

py::module_ pd();
py::module_ np();

// A frame's values as float64, column-major, read-only. Zero-copy for a single float64 block; the
// array keeps the memory alive. Non-numeric frames raise TypeError naming `who`.
struct FrameIn {
  FArray values;  // owns or borrows the memory behind view
  MatView view;
  py::object index;
  py::object columns;
  // Row-major values taken as they lie (frame_in_any_layout only): row_view set, values and view empty.
  py::array row_values;
  RowView row_view;

  bool row_major() const { return row_view.data != nullptr; }
  std::size_t n_rows() const { return row_major() ? row_view.rows : view.rows; }
  std::size_t n_cols() const { return row_major() ? row_view.cols : view.cols; }
  std::size_t size() const { return n_rows() * n_cols(); }
};
FrameIn frame_in(const py::handle& df, const char* who);

// frame_in, except that values of one float64 block holding each date's row contiguous (a frame over a
// C-ordered array, an array mask, a row-wise apply) are taken as they lie, in row_view, instead of being
// copied column-major: for the kernels that take either layout.
FrameIn frame_in_any_layout(const py::handle& df, const char* who);

// Same for a price table conformed to another frame's labels first (reindex).
FrameIn frame_in_like(const py::handle& df, const py::handle& index, const py::handle& columns, const char* who);
// df.reindex(index=index, columns=columns)'s values for a frame of float64 values with unique labels,
// gathered natively (pandas' reindex builds a whole frame around the same take); nullopt, having raised
// nothing, for any other frame.
std::optional<FrameIn> gathered(const py::handle& df, const py::handle& index, const py::handle& columns);

// A column-major 2-D array that takes over the matrix's memory without copying.
py::array_t<double> matrix_array(Matrix&& m);
// A new DataFrame that takes over the matrix's memory without copying.
py::object frame_out(Matrix&& m, const py::handle& index, const py::handle& columns);
// A new Series over a vector, without copying.
py::object series_out(std::vector<double>&& v, const py::handle& index, const py::object& name = py::none());
// A 1-D float64 array that takes over the vector.
py::array_t<double> array_out(std::vector<double>&& v);

// Write m into an existing frame through pandas' own assignment (Copy-on-Write safe), keeping the object.
void assign_values(const py::handle& df, Matrix&& m);

// Change a caller's frame in place, keeping the object: every column (or those at `positions`) takes the
// matching column of m through pandas' own assignment. A shallow copy is held during the write, so that
// pandas copies the block first (Copy-on-Write) and memory the frame shares with other frames, or with an
// array it was built on with copy=False, is never written. Columns that are not float64 (integer alpha)
// are replaced by float64 columns: setitem would refuse NaN or fractions there.
void assign_values_fresh(const py::handle& df, Matrix&& m);
void assign_columns_fresh(const py::handle& df, const std::vector<py::ssize_t>& positions, Matrix&& m);

// assign_values_fresh for a frame whose values `in` (frame_in or frame_in_any_layout of df) the caller
// hands back. When those values are a view of one float64 block whose memory nothing else references (no other frame, array or
// view: the owning array is referenced only by the block and `in`), the forced copy is skipped; pandas'
// own reference tracking then decides whether the block is copied before the write. `by_rows`: m holds the
// values row-major, as the transposed matrix (m.rows is the frame's column count).
void assign_values_handed_back(const py::handle& df, FrameIn&& in, Matrix&& m, bool by_rows = false);

// assign_columns_fresh for a frame of few dates (at most four) and one float64 block, through a masked
// where: pandas' column bookkeeping (four integer arrays as long as the frame is wide) is never built.
// False, nothing written, for any other frame.
bool assign_columns_few_rows(const py::handle& df, const std::vector<py::ssize_t>& positions, const Matrix& m);

// Whether assign_rows_few takes a frame of in's shape: two to four dates, many values (one date is a
// single write already).
bool rows_few(const FrameIn& in);
// assign_values_handed_back date by date, for a frame that rows_few takes: row(in, r) gives date r's
// result (1 x columns), written through a masked where before the next is computed, so that the whole
// result never exists at once (a loc/iloc write of so few dates builds frames' worth of bookkeeping).
// False, nothing written and `in` gone, when the values are not one float64 block.
bool assign_rows_few(const py::handle& df, FrameIn&& in, const char* who,
                     const std::function<Matrix(const FrameIn&, std::size_t)>& row);

}  // namespace varlo::bridge
