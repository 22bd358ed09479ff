// Dense dates x symbols matrices, column-major (one symbol's history is contiguous), NaN as missing.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "interrupt.hpp"

namespace varlo {

inline constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Read-only view over caller-owned column-major data.
struct MatView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;

  double operator()(std::size_t r, std::size_t c) const { return data[c * rows + r]; }
  std::span<const double> col(std::size_t c) const { return {data + c * rows, rows}; }
  std::size_t size() const { return rows * cols; }
};

// Read-only view over caller-owned row-major data (one date's cross-section is contiguous), as a frame
// built over a C-ordered array, an array mask or a row-wise apply holds it. Only the row-wise kernels
// take it; they read it as it lies and write column-major results.
struct RowView {
  const double* data = nullptr;
  std::size_t rows = 0;
  std::size_t cols = 0;

  double operator()(std::size_t r, std::size_t c) const { return data[r * cols + c]; }
  std::span<const double> row(std::size_t r) const { return {data + r * cols, cols}; }
  std::size_t size() const { return rows * cols; }
};

// Which dates of a row-wise kernel's result to compute: all of them, or one date `only` (the result then
// has that single row, computed exactly as within the whole).
struct Rows {
  static constexpr std::size_t all = static_cast<std::size_t>(-1);
  std::size_t only = all;
  std::size_t count(std::size_t rows) const { return only == all ? rows : 1; }
};

// Rows r0 .. r0 + nr of x into the column-major block `to` (`ld` apart from one column to the next).
inline void load_rows(const MatView& x, std::size_t r0, std::size_t nr, double* to, std::size_t ld) {
  for (std::size_t c = 0; c < x.cols; ++c) {
    const double* from = x.data + c * x.rows + r0;
    std::copy(from, from + nr, to + c * ld);
  }
}
inline void load_rows(const RowView& x, std::size_t r0, std::size_t nr, double* to, std::size_t ld) {
  // a column at a time: the rows' cache lines stay in L1 across eight columns, writes are contiguous
  const double* from = x.data + r0 * x.cols;
  for (std::size_t c = 0; c < x.cols; ++c) {
    for (std::size_t r = 0; r < nr; ++r) to[c * ld + r] = from[r * x.cols + c];
  }
}

// Owning column-major matrix.
struct Matrix {
  std::size_t rows = 0;
  std::size_t cols = 0;
  std::vector<double> data;

  Matrix() = default;
  Matrix(std::size_t r, std::size_t c, double fill = kNaN) : rows(r), cols(c), data(r * c, fill) {}
  explicit Matrix(const MatView& v) : rows(v.rows), cols(v.cols), data(v.data, v.data + v.size()) {}

  double& operator()(std::size_t r, std::size_t c) { return data[c * rows + r]; }
  double operator()(std::size_t r, std::size_t c) const { return data[c * rows + r]; }
  std::span<double> col(std::size_t c) { return {data.data() + c * rows, rows}; }
  std::span<const double> col(std::size_t c) const { return {data.data() + c * rows, rows}; }
  MatView view() const { return {data.data(), rows, cols}; }
  std::size_t size() const { return data.size(); }
};

// The rows and columns of x at the given positions into the column-major `to` (rows.size() x
// cols.size()), -1 giving a missing row or column (NaN), each value's bits as they are: what pandas'
// reindex of a float frame takes. Runs of consecutive rows (a run's dates within the table's) are copied
// as blocks, and every value of `to` is written once.
inline void take_into(const MatView& x, std::span<const std::int64_t> rows, std::span<const std::int64_t> cols,
                      double* to) {
  struct Run {
    std::size_t to, from, n;
    bool missing;
  };
  std::vector<Run> runs;
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const bool missing = rows[r] < 0;
    const std::size_t from = missing ? 0 : static_cast<std::size_t>(rows[r]);
    if (!runs.empty() && runs.back().missing == missing && runs.back().to + runs.back().n == r &&
        (missing || runs.back().from + runs.back().n == from)) {
      ++runs.back().n;
    } else {
      runs.push_back({r, from, 1, missing});
    }
  }
  const std::size_t n = rows.size();
  InterruptPacer pacer;
  for (std::size_t k = 0; k < cols.size(); ++k) {
    pacer.step(n);
    double* const column = to + k * n;
    if (cols[k] < 0) {
      std::fill(column, column + n, kNaN);
      continue;
    }
    const double* const from = x.data + static_cast<std::size_t>(cols[k]) * x.rows;
    for (const Run& run : runs) {
      if (run.missing) {
        std::fill(column + run.to, column + run.to + run.n, kNaN);
      } else {
        std::copy(from + run.from, from + run.from + run.n, column + run.to);
      }
    }
  }
}

inline Matrix take(const MatView& x, std::span<const std::int64_t> rows, std::span<const std::int64_t> cols) {
  Matrix out(rows.size(), cols.size());
  take_into(x, rows, cols, out.data.data());
  return out;
}

// m's values row-major (one date's cross-section contiguous), for a row-major destination: in tiles of
// 32 x 32, so that neither side strides through more cache lines than L1 holds.
inline std::vector<double> rows_of(const Matrix& m) {
  constexpr std::size_t tile = 32;
  std::vector<double> out(m.size());
  InterruptPacer pacer;
  for (std::size_t r0 = 0; r0 < m.rows; r0 += tile) {
    pacer.step(tile * m.cols);
    const std::size_t r1 = std::min(m.rows, r0 + tile);
    for (std::size_t c0 = 0; c0 < m.cols; c0 += tile) {
      const std::size_t c1 = std::min(m.cols, c0 + tile);
      for (std::size_t r = r0; r < r1; ++r) {
        for (std::size_t c = c0; c < c1; ++c) out[r * m.cols + c] = m.data[c * m.rows + r];
      }
    }
  }
  return out;
}

}  // namespace varlo
