// Sums, means and deviations in pandas' and numpy's own order of floating-point operations (numpy's
// pairwise sums along contiguous data, sequential sums across columns, compensated group sums), shared by
// the operators and the analysis so that both agree with pandas to the last bit.
#pragma once

#include <cmath>
#include <cstddef>
#include <span>

namespace varlo {

// numpy's pairwise summation over get(0) .. get(n - 1).
template <class Get>
double pairwise_sum_by(std::size_t n, Get&& get, std::size_t off = 0) {
  if (n < 8) {
    double res = -0.0;
    for (std::size_t i = 0; i < n; ++i) res += get(off + i);
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = get(off + j);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += get(off + i + j);
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += get(off + i);
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum_by(n2, get, off) + pairwise_sum_by(n - n2, get, off + n2);
}

// np.sum of a contiguous float64 array; np.average adds in this order too.
double pairwise_sum(const double* a, std::size_t n);

// --- NaN skipped (counted as 0 in sums) ---------------------------------------------------------------

// np.add.reduce along contiguous data: 8-way unrolled blocks of up to 128, halved recursively above.
double pairwise_nansum(std::span<const double> x);
std::size_t nancount(std::span<const double> x);
// Series.mean: pairwise sum over the count; NaN when nothing is present.
double nanmean(std::span<const double> x);
// Series.std (ddof 1): bottleneck's sequential two-pass form, pandas' pairwise form when it overflows.
double nanstd(std::span<const double> x);

// One step of the compensated (Kahan) running sum of pandas' groupby sum and mean: NaN is skipped (not
// added as 0, which would apply the compensation), and an infinity resets the compensation so that the
// sum stays infinite. Returns whether v counted.
inline bool kahan_add(double v, double& sum, double& comp) {
  if (v != v) return false;
  const double y = v - comp;
  const double t = sum + y;
  const double c = t - sum - y;
  comp = c == c ? c : 0.0;
  sum = t;
  return true;
}

// Per-row NaN-skipping sums of nr rows of n columns, get(r, c) the value, the way pandas adds them for a
// row mean: NaN as 0, in column order, starting from the first column. A frame of a single date is one
// contiguous row to numpy, which then sums it pairwise (`single_row`).
template <class Get>
void row_sums_by(std::size_t nr, std::size_t n, Get&& get, double* sum, double* count, bool single_row) {
  for (std::size_t r = 0; r < nr; ++r) {
    sum[r] = 0.0;
    count[r] = 0.0;
  }
  if (single_row && nr == 1) {
    sum[0] = pairwise_sum_by(n, [&](std::size_t c) {
      const double v = get(0, c);
      return v == v ? v : 0.0;
    });
    for (std::size_t c = 0; c < n; ++c) count[0] += get(0, c) == get(0, c) ? 1.0 : 0.0;
    return;
  }
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t r = 0; r < nr; ++r) {
      const double v = get(r, c);
      const bool ok = v == v;
      const double z = ok ? v : 0.0;
      sum[r] = c == 0 ? z : sum[r] + z;
      count[r] += ok ? 1.0 : 0.0;
    }
  }
}

// row_sums_by over a column-major block (stride `ld` between columns), of the values or their magnitudes.
inline void block_row_sums(const double* x, std::size_t ld, std::size_t nr, std::size_t n, double* sum, double* count,
                    bool absolute, bool single_row = false) {
  if (absolute) {
    row_sums_by(nr, n, [&](std::size_t r, std::size_t c) { return std::fabs(x[c * ld + r]); }, sum, count, single_row);
  } else {
    row_sums_by(nr, n, [&](std::size_t r, std::size_t c) { return x[c * ld + r]; }, sum, count, single_row);
  }
}

}  // namespace varlo
