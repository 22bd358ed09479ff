// Out-of-line reductions of reduce.hpp.
#include "reduce.hpp"

#include <algorithm>
#include <vector>

#include "matrix.hpp"

namespace varlo {

namespace {

// pandas' own two-pass variance (the fallback behind bottleneck): pairwise sums, mean over the count.
double nanstd_pairwise(std::span<const double> x) {
  const std::size_t n = nancount(x);
  if (n <= 1) return kNaN;
  const double avg = pairwise_nansum(x) / static_cast<double>(n);
  std::vector<double> sqr(x.size());
  for (std::size_t i = 0; i < x.size(); ++i) sqr[i] = std::isnan(x[i]) ? 0.0 : (avg - x[i]) * (avg - x[i]);
  return std::sqrt(pairwise_nansum(sqr) / static_cast<double>(n - 1));
}

}  // namespace

double pairwise_sum(const double* a, std::size_t n) {
  return pairwise_sum_by(n, [a](std::size_t i) { return a[i]; });
}

double pairwise_nansum(std::span<const double> x) {
  const double* a = x.data();
  return 0.0 + pairwise_sum_by(x.size(), [a](std::size_t i) { return std::isnan(a[i]) ? 0.0 : a[i]; });
}

std::size_t nancount(std::span<const double> x) {
  return static_cast<std::size_t>(std::count_if(x.begin(), x.end(), [](double v) { return !std::isnan(v); }));
}

double nanmean(std::span<const double> x) {
  const std::size_t n = nancount(x);
  return n ? pairwise_nansum(x) / static_cast<double>(n) : kNaN;
}

double nanstd(std::span<const double> x) {
  double sum = 0.0;
  std::size_t n = 0;
  for (double v : x) {
    if (std::isnan(v)) continue;
    sum += v;
    ++n;
  }
  if (n <= 1) return kNaN;
  const double mean = sum / static_cast<double>(n);
  double ss = 0.0;
  for (double v : x) {
    if (std::isnan(v)) continue;
    ss += (v - mean) * (v - mean);
  }
  const double sd = std::sqrt(ss / static_cast<double>(n - 1));
  return std::isinf(sd) ? nanstd_pairwise(x) : sd;
}

}  // namespace varlo
