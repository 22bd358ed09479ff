// Dense dates x symbols matrices, column-major (one symbol's history is contiguous), NaN as missing.
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>
#include <vector>

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

}  // namespace varlo
