#include "stratify.hpp"

#include <algorithm>
#include <cmath>

#include "analyse.hpp"
#include "parallel.hpp"
#include "thread_budget.hpp"

namespace varlo {

namespace {

// np.mean of the next-return or alpha values of sorted[lo, hi): numpy's pairwise sum over the gathered values.
template <class Get>
double layer_mean(std::size_t lo, std::size_t hi, std::vector<double>& buf, Get get) {
  if (lo == hi) return kNaN;
  buf.clear();
  for (std::size_t k = lo; k < hi; ++k) buf.push_back(get(k));
  return pairwise_nansum(buf) / static_cast<double>(hi - lo);
}

struct Pair {
  double alpha;
  double next;
  std::size_t column;
};

// The means of one layer on one date; dates keep only their non-empty layers, so layers beyond the
// number of symbols cost nothing per date.
struct LayerMean {
  std::size_t layer;
  double alpha;
  double next;
};

// Layers of the dates [r_begin, r_end), stored into those dates of `means`.
void layer_rows(const MatView& alpha, const MatView& nextreturn, std::size_t s, std::size_t r_begin,
                std::size_t r_end, std::vector<std::vector<LayerMean>>& means, Interrupt* interrupt) {
  const std::size_t n = alpha.rows, m = alpha.cols;
  // One date's values lie a whole column apart: walk dates in blocks so each symbol's stretch is read
  // once per block rather than once per date.
  constexpr std::size_t kBlock = 64;
  std::vector<std::vector<Pair>> block(kBlock);
  for (auto& b : block) b.reserve(m);
  std::vector<double> buf;
  buf.reserve(m);
  for (std::size_t r0 = r_begin; r0 < r_end; r0 += kBlock) {
    if (interrupt) interrupt->check();
    const std::size_t rows = std::min(kBlock, r_end - r0);
    for (std::size_t k = 0; k < rows; ++k) block[k].clear();
    for (std::size_t c = 0; c < m; ++c) {
      const double* a = alpha.data + c * n + r0;
      const double* x = nextreturn.data + c * n + r0;
      for (std::size_t k = 0; k < rows; ++k) {
        if (std::isnan(a[k]) || std::isnan(x[k])) continue;
        block[k].push_back({a[k], x[k], c});
      }
    }
    for (std::size_t k = 0; k < rows; ++k) {
      auto& pairs = block[k];
      const std::size_t l = pairs.size();
      if (l == 0 || s == 0) continue;
      // Ascending alpha; equal alphas keep their column order.
      std::sort(pairs.begin(), pairs.end(), [](const Pair& p, const Pair& q) {
        return p.alpha < q.alpha || (!(q.alpha < p.alpha) && p.column < q.column);
      });
      auto& out = means[r0 + k];
      out.reserve(std::min(l, s));
      // From each layer's first position straight to the layer holding it: the layer of position j is
      // the last i with bound(i) <= j, that is ceil((j + 1) s / l) - 1.
      for (std::size_t lo = 0; lo < l;) {
        const std::size_t i = ((lo + 1) * s + l - 1) / l - 1;
        const std::size_t hi = layer_bound(i + 1, l, s);
        out.push_back({i, layer_mean(lo, hi, buf, [&](std::size_t j) { return pairs[j].alpha; }),
                       layer_mean(lo, hi, buf, [&](std::size_t j) { return pairs[j].next; })});
        lo = hi;
      }
    }
  }
}

}  // namespace

Layers stratify(const MatView& alpha, const MatView& nextreturn, std::size_t s, Interrupt* interrupt,
                bool only_filled) {
  const std::size_t n = alpha.rows;
  std::vector<std::vector<LayerMean>> means(n);
  // Dates are independent: a second thread takes the later half when there is enough to share, the caller
  // polling for Ctrl-C until it is done.
  if (alpha.size() >= 100'000 && thread_budget() > 1) {
    const InterruptScope scope(interrupt);
    parallel_for(2, std::size_t{1} << 17, [&](std::size_t k, std::size_t) {
      layer_rows(alpha, nextreturn, s, k == 0 ? 0 : n / 2, k == 0 ? n / 2 : n, means, interrupt);
    }, 2);
  } else {
    layer_rows(alpha, nextreturn, s, 0, n, means, interrupt);
  }

  Layers out;
  // Column of each layer in `cumulative`; a layer never filled is zero on every date and, when only the
  // filled ones are kept, has no column.
  constexpr std::size_t kNone = static_cast<std::size_t>(-1);
  std::vector<std::size_t> column(s, kNone);
  if (only_filled) {
    for (const auto& date : means)
      for (const LayerMean& e : date) column[e.layer] = 0;
    for (std::size_t i = 0; i < s; ++i)
      if (column[i] != kNone) {
        column[i] = out.kept.size();
        out.kept.push_back(i);
      }
  } else {
    out.kept.resize(s);
    for (std::size_t i = 0; i < s; ++i) column[i] = out.kept[i] = i;
  }
  const std::size_t k = out.kept.size();

  // Reductions along dates add one date after another, as numpy does along the outer axis; a layer empty
  // on a date (NaN there) adds nothing and its running sum stays where it was.
  out.cumulative = Matrix(n, k + 2, 0.0);
  std::vector<double> alpha_sum(s, 0.0), running(s, 0.0);
  std::vector<std::size_t> alpha_count(s, 0), filled(s, 0);  // filled: rows of the running sum written
  const auto fill = [&](std::size_t i, std::size_t until) {
    auto col = out.cumulative.col(column[i]);
    std::fill(col.begin() + static_cast<std::ptrdiff_t>(filled[i]), col.begin() + static_cast<std::ptrdiff_t>(until),
              running[i]);
    filled[i] = until;
  };
  for (std::size_t r = 0; r < n; ++r) {
    if (interrupt && r % 64 == 0) interrupt->check();
    for (const LayerMean& e : means[r]) {
      if (!std::isnan(e.alpha)) {
        alpha_sum[e.layer] += e.alpha;
        ++alpha_count[e.layer];
      }
      fill(e.layer, r);
      if (!std::isnan(e.next)) running[e.layer] += e.next;
      out.cumulative(r, column[e.layer]) = running[e.layer];
      filled[e.layer] = r + 1;
    }
  }
  out.mean_alpha.assign(k, kNaN);
  out.sum_return.resize(k);
  for (std::size_t j = 0; j < k; ++j) {
    const std::size_t i = out.kept[j];
    if (alpha_count[i]) out.mean_alpha[j] = alpha_sum[i] / static_cast<double>(alpha_count[i]);
    out.sum_return[j] = running[i];
  }
  // A layer left out is 0 on every date: adding it would not change the row sums.
  std::vector<double> row_sum(n, 0.0);
  for (std::size_t j = 0; j < k; ++j) {
    if (interrupt && j % 64 == 0) interrupt->check();
    fill(out.kept[j], n);
    const auto col = out.cumulative.col(j);
    for (std::size_t r = 0; r < n; ++r) row_sum[r] += col[r];
  }
  const auto layer_at = [&](std::size_t r, std::size_t i) {
    return column[i] == kNone ? 0.0 : out.cumulative(r, column[i]);
  };
  for (std::size_t r = 0; r < n; ++r) {
    out.cumulative(r, k) = s ? row_sum[r] / static_cast<double>(s) : kNaN;
    out.cumulative(r, k + 1) = s ? layer_at(r, s - 1) - layer_at(r, 0) : kNaN;
  }
  return out;
}

}  // namespace varlo
