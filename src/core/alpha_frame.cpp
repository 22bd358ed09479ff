#include "alpha_frame.hpp"

#include <climits>
#include <cmath>
#include <cstdint>

namespace varlo {

Matrix admitted_record(const MatView& frame, std::span<const std::size_t> offsets, std::span<const std::size_t> admitted) {
  Matrix out(frame.rows, frame.cols);
  for (std::size_t r = 0; r < frame.rows; ++r) {
    for (std::size_t k = offsets[r]; k < offsets[r + 1]; ++k) {
      const std::size_t c = admitted[k];
      out(r, c) = frame(r, c);
    }
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
  for (std::size_t r = 0; r < rows; ++r) {
    for (std::size_t c = 0; c < a.cols; ++c) {
      const double x = a(r, c), y = b(r, c);
      if (!(x == y || (std::isnan(x) && std::isnan(y)))) return std::make_pair(r, c);
    }
  }
  return std::nullopt;
}

}  // namespace varlo
