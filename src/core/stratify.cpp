#include "stratify.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>

#include "analyse.hpp"

namespace varlo {

namespace {

// np.mean of the values at order[lo, hi): numpy's pairwise sum over the gathered values.
double layer_mean(const std::vector<double>& values, const std::vector<std::size_t>& order, std::size_t lo,
                  std::size_t hi, std::vector<double>& buf) {
  if (lo == hi) return kNaN;
  buf.clear();
  for (std::size_t k = lo; k < hi; ++k) buf.push_back(values[order[k]]);
  return pairwise_nansum(buf) / static_cast<double>(hi - lo);
}

}  // namespace

Layers stratify(const MatView& alpha, const MatView& nextreturn, std::size_t s) {
  const std::size_t n = alpha.rows, m = alpha.cols;
  Layers out;
  out.alpha = Matrix(n, s, 0.0);
  out.nextreturn = Matrix(n, s, 0.0);

  std::vector<double> row_alpha, row_next, buf;
  std::vector<std::size_t> order;
  row_alpha.reserve(m);
  row_next.reserve(m);
  order.reserve(m);
  buf.reserve(m);
  for (std::size_t r = 0; r < n; ++r) {
    row_alpha.clear();
    row_next.clear();
    for (std::size_t c = 0; c < m; ++c) {
      const double a = alpha(r, c), x = nextreturn(r, c);
      if (std::isnan(a) || std::isnan(x)) continue;
      row_alpha.push_back(a);
      row_next.push_back(x);
    }
    const std::size_t l = row_alpha.size();
    order.resize(l);
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t i, std::size_t j) { return row_alpha[i] < row_alpha[j]; });
    for (std::size_t i = 0; i < s; ++i) {
      const std::size_t lo = layer_bound(i, l, s), hi = layer_bound(i + 1, l, s);
      out.alpha(r, i) = layer_mean(row_alpha, order, lo, hi, buf);
      out.nextreturn(r, i) = layer_mean(row_next, order, lo, hi, buf);
    }
  }

  // Reductions along dates add one date after another, as numpy does along the outer axis.
  out.mean_alpha.assign(s, kNaN);
  out.sum_return.assign(s, 0.0);
  out.cumulative = Matrix(n, s + 2, 0.0);
  for (std::size_t i = 0; i < s; ++i) {
    double sum = 0.0;
    std::size_t count = 0;
    for (double v : out.alpha.col(i)) {
      if (std::isnan(v)) continue;
      sum += v;
      ++count;
    }
    if (count) out.mean_alpha[i] = sum / static_cast<double>(count);
    double acc = 0.0;
    const auto ret = out.nextreturn.col(i);
    auto cum = out.cumulative.col(i);
    for (std::size_t r = 0; r < n; ++r) {
      if (!std::isnan(ret[r])) acc += ret[r];
      cum[r] = acc;
    }
    out.sum_return[i] = acc;
  }
  for (std::size_t r = 0; r < n; ++r) {
    double sum = 0.0;
    for (std::size_t i = 0; i < s; ++i) sum += out.cumulative(r, i);
    out.cumulative(r, s) = s ? sum / static_cast<double>(s) : kNaN;
    out.cumulative(r, s + 1) = s ? out.cumulative(r, s - 1) - out.cumulative(r, 0) : kNaN;
  }
  return out;
}

}  // namespace varlo
