// Windows down each symbol's history: op_smooth's running mean and weighted averages.
#include <cmath>
#include <cstddef>

#include "interrupt.hpp"
#include "operators.hpp"
#include "parallel.hpp"
#include "rank.hpp"
#include "reduce.hpp"

namespace varlo::ops {

Matrix smooth_simple(const MatView& x, std::size_t window) {
  Matrix out(x.rows, x.cols);
  if (window == 0) return out;
  const auto nobs_needed = static_cast<std::ptrdiff_t>(window);
  parallel_for(x.cols, x.size() * 2, [&](std::size_t c0, std::size_t c1) {
  InterruptPacer pacer;
  for (std::size_t c = c0; c < c1; ++c) {
    pacer.step(x.rows);
    const double* v = x.data + c * x.rows;
    double* o = out.data.data() + c * x.rows;
    // pandas' roll_mean: Kahan-compensated running sum, separate compensations for adding and removing,
    // a count of negative values to fix the sign of near-zero means, and the last run of equal values
    // to return a constant window exactly. Infinities are missing values there.
    auto val = [&](std::size_t i) { return std::isfinite(v[i]) ? v[i] : kNaN; };
    double sum = 0, comp_add = 0, comp_remove = 0, prev = 0;
    std::ptrdiff_t nobs = 0, neg = 0, same_run = 0;
    auto add = [&](double a) {
      if (is_nan(a)) return;
      ++nobs;
      const double y = a - comp_add;
      const double t = sum + y;
      comp_add = t - sum - y;
      sum = t;
      if (std::signbit(a)) ++neg;
      same_run = a == prev ? same_run + 1 : 1;
      prev = a;
    };
    auto remove = [&](double a) {
      if (is_nan(a)) return;
      --nobs;
      const double y = -a - comp_remove;
      const double t = sum + y;
      comp_remove = t - sum - y;
      sum = t;
      if (std::signbit(a)) --neg;
    };
    for (std::size_t i = 0; i < x.rows; ++i) {
      const std::size_t e = i + 1;
      const std::size_t s = e > window ? e - window : 0;
      if (i == 0 || (window == 1)) {
        // A window that shares nothing with the previous one starts afresh.
        sum = comp_add = comp_remove = 0;
        nobs = neg = 0;
        prev = val(s);
        same_run = 0;
        for (std::size_t j = s; j < e; ++j) add(val(j));
      } else {
        if (s > 0) remove(val(s - 1));
        add(val(e - 1));
      }
      double res = kNaN;
      if (nobs >= nobs_needed && nobs > 0) {
        res = sum / static_cast<double>(nobs);
        if (same_run >= nobs) {
          res = prev;
        } else if (neg == 0 && res < 0) {
          res = 0;
        } else if (neg == nobs && res > 0) {
          res = 0;
        }
      }
      o[i] = res;
    }
  }
  });
  return out;
}

std::vector<double> linear_weights(std::size_t window) {
  std::vector<double> w(window);
  for (std::size_t i = 0; i < window; ++i) w[i] = static_cast<double>(i + 1);
  return w;
}

std::vector<double> exponential_weights(std::size_t window) {
  const double n = static_cast<double>(window);
  const double decay = (n - 1) / n;
  std::vector<double> w(window);
  for (std::size_t i = 0; i < window; ++i) w[i] = std::pow(decay, static_cast<double>(window - 1 - i));
  return w;
}

Matrix smooth_weighted(const MatView& x, std::span<const double> weights) {
  const std::size_t w = weights.size();
  const double total = pairwise_sum(weights.data(), w);
  Matrix out(x.rows, x.cols);
  parallel_for(x.cols, x.size() * w, [&](std::size_t c0, std::size_t c1) {
  std::vector<double> prod(w);
  InterruptPacer pacer;
  for (std::size_t c = c0; c < c1; ++c) {
    pacer.step(x.rows * w);
    const double* v = x.data + c * x.rows;
    double* o = out.data.data() + c * x.rows;
    std::size_t bad = 0;  // NaN or infinite values in the current window
    for (std::size_t i = 0; i < x.rows; ++i) {
      bad += std::isfinite(v[i]) ? 0 : 1;
      if (i >= w) bad -= std::isfinite(v[i - w]) ? 0 : 1;
      if (i + 1 < w || bad > 0) continue;
      const double* win = v + (i + 1 - w);
      for (std::size_t k = 0; k < w; ++k) prod[k] = win[k] * weights[k];
      o[i] = pairwise_sum_by(w, [&](std::size_t k) { return prod[k]; }) / total;
    }
  }
  });
  return out;
}

}  // namespace varlo::ops
