#include "history.hpp"

#include <algorithm>

namespace varlo {

std::size_t rows_through(std::span<const std::int64_t> dates, std::int64_t t) {
  return static_cast<std::size_t>(std::upper_bound(dates.begin(), dates.end(), t) - dates.begin());
}

std::size_t last_rows_start(std::size_t rows, std::int64_t n) {
  if (n > 0) return rows > static_cast<std::uint64_t>(n) ? rows - static_cast<std::size_t>(n) : 0;
  // rows[-n:] with -n >= 0 starts at -n, clipped to the end.
  const std::uint64_t start = n == INT64_MIN ? UINT64_MAX : static_cast<std::uint64_t>(-n);
  return start < rows ? static_cast<std::size_t>(start) : rows;
}

Matrix gather_window(const StridedView& v, std::size_t r0, std::size_t r1, std::span<const std::size_t> positions) {
  const std::size_t rows = r1 > r0 ? r1 - r0 : 0;
  Matrix m(rows, positions.size());
  for (std::size_t j = 0; j < positions.size(); ++j) {
    auto col = m.col(j);
    for (std::size_t r = 0; r < rows; ++r) col[r] = v(r0 + r, positions[j]);
  }
  return m;
}

std::vector<double> gather_window_rows(const StridedView& v, std::size_t r0, std::size_t r1,
                                       std::span<const std::size_t> positions) {
  const std::size_t rows = r1 > r0 ? r1 - r0 : 0;
  const std::size_t k = positions.size();
  std::vector<double> out(rows * k);
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t j = 0; j < k; ++j) out[r * k + j] = v(r0 + r, positions[j]);
  }
  return out;
}

}  // namespace varlo
