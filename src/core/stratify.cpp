#include "stratify.hpp"

#include <algorithm>
#include <cmath>
#include <exception>
#include <thread>

#include "analyse.hpp"
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

// Layers of the dates [r_begin, r_end), written into those rows of out.alpha and out.nextreturn.
void layer_rows(const MatView& alpha, const MatView& nextreturn, std::size_t s, std::size_t r_begin,
                std::size_t r_end, Layers& out, Interrupt* interrupt) {
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
      const std::size_t r = r0 + k, l = pairs.size();
      // Ascending alpha; equal alphas keep their column order.
      std::sort(pairs.begin(), pairs.end(), [](const Pair& p, const Pair& q) {
        return p.alpha < q.alpha || (!(q.alpha < p.alpha) && p.column < q.column);
      });
      for (std::size_t i = 0; i < s; ++i) {
        const std::size_t lo = layer_bound(i, l, s), hi = layer_bound(i + 1, l, s);
        out.alpha(r, i) = layer_mean(lo, hi, buf, [&](std::size_t j) { return pairs[j].alpha; });
        out.nextreturn(r, i) = layer_mean(lo, hi, buf, [&](std::size_t j) { return pairs[j].next; });
      }
    }
  }
}

}  // namespace

Layers stratify(const MatView& alpha, const MatView& nextreturn, std::size_t s, Interrupt* interrupt) {
  const std::size_t n = alpha.rows;
  Layers out;
  out.alpha = Matrix(n, s, 0.0);
  out.nextreturn = Matrix(n, s, 0.0);
  // Dates are independent: a second thread takes the later half when there is enough to share.
  if (alpha.size() >= 100'000 && thread_budget() > 1) {
    const std::size_t half = n / 2;
    std::exception_ptr failed;
    {
      std::jthread later([&] {
        try {
          layer_rows(alpha, nextreturn, s, half, n, out, interrupt);
        } catch (...) {
          failed = std::current_exception();
        }
      });
      layer_rows(alpha, nextreturn, s, 0, half, out, interrupt);
    }
    if (failed) std::rethrow_exception(failed);
  } else {
    layer_rows(alpha, nextreturn, s, 0, n, out, interrupt);
  }

  // Reductions along dates add one date after another, as numpy does along the outer axis.
  out.mean_alpha.assign(s, kNaN);
  out.sum_return.assign(s, 0.0);
  out.cumulative = Matrix(n, s + 2, 0.0);
  for (std::size_t i = 0; i < s; ++i) {
    if (interrupt && i % 64 == 0) interrupt->check();
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
