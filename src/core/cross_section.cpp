// Kernels across one date's symbols: scale, sign, centre, ranks, industry neutralisation, index futures.
#include <cmath>
#include <cstring>

#include "operators.hpp"
#include "parallel.hpp"
#include "rank.hpp"
#include "reduce.hpp"
#include "tiles.hpp"

namespace varlo::ops {

// Row sums and one division or subtraction per value: bound by memory, a second thread only pays on
// frames of millions of values (at 2,500 x 100 its start costs more than it saves).
constexpr std::size_t kStreamingWork = 8;

Matrix scale(const MatView& x) {
  Matrix out(x.rows, x.cols);
  parallel_for(x.rows, x.size() / kStreamingWork, [&](std::size_t r0, std::size_t r1) {
    std::vector<double> sum(r1 - r0), count(r1 - r0);
    block_row_sums(x.data + r0, x.rows, r1 - r0, x.cols, sum.data(), count.data(), true, x.rows == 1);
    for (double& s : sum) s = s == 0.0 ? 1.0 : s;
    for (std::size_t c = 0; c < x.cols; ++c) {
      const double* in = x.data + c * x.rows + r0;
      double* o = out.data.data() + c * x.rows + r0;
      for (std::size_t r = 0; r < r1 - r0; ++r) o[r] = in[r] / sum[r];
    }
  });
  return out;
}

Matrix sign(const MatView& x) {
  Matrix out(x.rows, x.cols);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = x.data[i];
    out.data[i] = v > 0 ? 1.0 : (v < 0 ? -1.0 : v);
  }
  return out;
}

Matrix center(const MatView& x, double c) {
  Matrix out(x.rows, x.cols);
  parallel_for(x.rows, x.size() / kStreamingWork, [&](std::size_t r0, std::size_t r1) {
    std::vector<double> sum(r1 - r0), count(r1 - r0);
    block_row_sums(x.data + r0, x.rows, r1 - r0, x.cols, sum.data(), count.data(), false, x.rows == 1);
    for (std::size_t r = 0; r < r1 - r0; ++r) sum[r] = sum[r] / count[r] - c;
    for (std::size_t k = 0; k < x.cols; ++k) {
      const double* in = x.data + k * x.rows + r0;
      double* o = out.data.data() + k * x.rows + r0;
      for (std::size_t r = 0; r < r1 - r0; ++r) o[r] = in[r] - sum[r];
    }
  });
  return out;
}

Matrix rank_pct(const MatView& x) {
  Matrix out(x.rows, x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    w.rank_rows(t);
    w.pct(t);
  });
  return out;
}

Matrix rank_center(const MatView& x) {
  Matrix out(x.rows, x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    w.rank_rows(t);
    w.pct(t);
    w.mean_shift(t, t.res, 0.0, w.shift);
    w.subtract_shift(t);
  });
  return out;
}

Matrix abs_rank(const MatView& x) {
  Matrix out(x.rows, x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    w.rank_rows(t, true);
    w.pct(t);
    for (std::size_t c = 0; c < t.n; ++c) {
      const double* v = t.x + c * t.ld;
      double* p = t.res + c * t.ld;
      for (std::size_t r = 0; r < t.nr; ++r) {
        const double s = v[r] > 0 ? 1.0 : (v[r] < 0 ? -1.0 : v[r]);
        p[r] = s * p[r];
      }
    }
  });
  return out;
}

namespace {

// One member column added into its industry's running sums. Two dates at a time through the compiler's
// vector types: it does not turn the NaN tests of the plain loop into selects by itself.
using Double2 = double __attribute__((vector_size(16)));

void kahan_add_column(const double* __restrict v, double* __restrict gs, double* __restrict gc,
                      double* __restrict gn, std::size_t nr) {
  const Double2 zero = {0.0, 0.0}, one = {1.0, 1.0};
  std::size_t r = 0;
  for (; r + 2 <= nr; r += 2) {
    Double2 a, s, c, n;
    std::memcpy(&a, v + r, sizeof a);
    std::memcpy(&s, gs + r, sizeof s);
    std::memcpy(&c, gc + r, sizeof c);
    std::memcpy(&n, gn + r, sizeof n);
    // NaN is skipped (not added as 0, which would apply the compensation); an infinity resets it
    const auto ok = a == a;
    const Double2 y = a - c;
    const Double2 t = s + y;
    const Double2 cp = t - s - y;
    n += ok ? one : zero;
    c = ok ? (cp == cp ? cp : zero) : c;
    s = ok ? t : s;
    std::memcpy(gs + r, &s, sizeof s);
    std::memcpy(gc + r, &c, sizeof c);
    std::memcpy(gn + r, &n, sizeof n);
  }
  for (; r < nr; ++r) {
    if (kahan_add(v[r], gs[r], gc[r])) gn[r] += 1.0;
  }
}

}  // namespace

Matrix neutral(const MatView& x, std::span<const std::int64_t> group, std::size_t n_groups,
               double least_number) {
  Matrix out(x.rows, x.cols);
  // Dates per pass: keeps the per-industry sums small and cached, and within the frame's own size.
  const std::size_t block = std::min<std::size_t>(256, std::max<std::size_t>(x.rows, 1));
  const std::size_t blocks = (x.rows + block - 1) / block;
  parallel_for(blocks, x.size() * 2, [&](std::size_t b0, std::size_t b1) {
  std::vector<double> sum(n_groups * block), comp(n_groups * block), nobs(n_groups * block);
  for (std::size_t r0 = b0 * block; r0 < std::min(x.rows, b1 * block); r0 += block) {
    const std::size_t nr = std::min(block, x.rows - r0);
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(comp.begin(), comp.end(), 0.0);
    std::fill(nobs.begin(), nobs.end(), 0.0);
    // pandas' grouped mean: Kahan sum over the members in column order; an infinity resets the
    // compensation so the mean stays infinite.
    for (std::size_t c = 0; c < x.cols; ++c) {
      if (group[c] < 0) continue;
      const std::size_t g = static_cast<std::size_t>(group[c]) * block;
      kahan_add_column(x.data + c * x.rows + r0, sum.data() + g, comp.data() + g, nobs.data() + g, nr);
    }
    for (std::size_t i = 0; i < n_groups * block; ++i) {
      const double mean = sum[i] / nobs[i];
      sum[i] = nobs[i] >= least_number ? mean : 0.0;
    }
    for (std::size_t c = 0; c < x.cols; ++c) {
      if (group[c] < 0) continue;  // no industry: left NaN
      const double* mean = sum.data() + static_cast<std::size_t>(group[c]) * block;
      const double* v = x.data + c * x.rows + r0;
      double* o = out.data.data() + c * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) o[r] = v[r] - mean[r];
    }
  }
  });
  return out;
}

Matrix index_futures(const MatView& x, double positive_multiplier) {
  Matrix out(x.rows, x.cols);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double v = x.data[i];
    out.data[i] = v < 0 ? kNaN : (v > 0 ? v * positive_multiplier : v);
  }
  return out;
}

}  // namespace varlo::ops
