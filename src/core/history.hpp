// Trailing windows of a dates x symbols table: the rows up to a date, the last n of them, a subset of
// columns in a given order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "matrix.hpp"

namespace varlo {

// Rows of an ascending date column that lie on or before t (positions [0, result)).
std::size_t rows_through(std::span<const std::int64_t> dates, std::int64_t t);

// First row of `rows[-n:]` over `rows` rows, with the slice's own meaning of n <= 0 (n == 0 keeps all).
std::size_t last_rows_start(std::size_t rows, std::int64_t n);

// Read-only strided view of caller-owned float64 values; strides in elements.
struct StridedView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::ptrdiff_t row_stride = 0;
  std::ptrdiff_t col_stride = 0;
  double operator()(std::size_t r, std::size_t c) const {
    return data[static_cast<std::ptrdiff_t>(r) * row_stride + static_cast<std::ptrdiff_t>(c) * col_stride];
  }
};

// Rows [r0, r1) of the columns at `positions`, in that order, as a new column-major matrix.
Matrix gather_window(const StridedView& v, std::size_t r0, std::size_t r1, std::span<const std::size_t> positions);

// The same as a new row-major buffer (rows of `positions.size()` values): numpy's default layout.
std::vector<double> gather_window_rows(const StridedView& v, std::size_t r0, std::size_t r1,
                                       std::span<const std::size_t> positions);

}  // namespace varlo
