#include "alpha_frame.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdint>

#include "interrupt.hpp"

namespace varlo {

Matrix admitted_record(const MatView& frame, std::span<const std::size_t> offsets, std::span<const std::size_t> admitted) {
  Matrix out(frame.rows, frame.cols);
  InterruptPacer pacer;
  // The admitted set changes on few dates: each stretch of dates with the same set is copied column by
  // column, along the matrix' layout.
  for (std::size_t r0 = 0; r0 < frame.rows;) {
    const auto set = admitted.subspan(offsets[r0], offsets[r0 + 1] - offsets[r0]);
    std::size_t r1 = r0 + 1;
    while (r1 < frame.rows && offsets[r1 + 1] - offsets[r1] == set.size() &&
           std::equal(set.begin(), set.end(), admitted.begin() + static_cast<std::ptrdiff_t>(offsets[r1]))) {
      ++r1;
    }
    for (const std::size_t c : set) {
      pacer.step(r1 - r0);
      const double* from = frame.data + c * frame.rows;
      std::copy(from + r0, from + r1, out.col(c).begin() + static_cast<std::ptrdiff_t>(r0));
    }
    r0 = r1;
  }
  return out;
}

std::size_t admit_through(std::span<const std::int64_t> begin_ns, std::size_t admitted, std::size_t limit,
                          std::int64_t deadline) {
  const std::size_t n = begin_ns.size();
  while (admitted < n && begin_ns[admitted] != INT64_MIN && begin_ns[admitted] < deadline) {
    ++admitted;
    if (admitted == limit) break;
  }
  return admitted;
}

std::optional<std::pair<std::size_t, std::size_t>> first_difference(const MatView& a, const MatView& b, std::size_t rows) {
  // Column by column, each scanned only above the earliest difference found so far: the first in
  // row-major order is the earliest row, then the leftmost column.
  std::optional<std::pair<std::size_t, std::size_t>> first;
  std::size_t limit = rows;
  for (std::size_t c = 0; c < a.cols; ++c) {
    const double* x = a.data + c * a.rows;
    const double* y = b.data + c * b.rows;
    for (std::size_t r = 0; r < limit; ++r) {
      if (!(x[r] == y[r] || (std::isnan(x[r]) && std::isnan(y[r])))) {
        first = std::make_pair(r, c);
        limit = r;
        break;
      }
    }
  }
  return first;
}

}  // namespace varlo
