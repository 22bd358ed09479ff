#include "operators.hpp"

#include <algorithm>
#include <cmath>
#include <utility>

namespace varlo::ops {

namespace {

bool is_nan(double v) { return v != v; }
double nan_to_zero(double v) { return v != v ? 0.0 : v; }

// One date's cross-section gathered from the column-major matrix into contiguous storage.
void gather_row(const MatView& x, std::size_t r, double* row) {
  const double* p = x.data + r;
  for (std::size_t c = 0; c < x.cols; ++c, p += x.rows) row[c] = *p;
}
void scatter_row(Matrix& out, std::size_t r, const double* row) {
  double* p = out.data.data() + r;
  for (std::size_t c = 0; c < out.cols; ++c, p += out.rows) *p = row[c];
}

// The sum pandas takes for a NaN-skipping row mean: NaN as 0, added in column order.
double row_sum(const double* v, std::size_t n) {
  if (n == 0) return 0.0;
  double s = nan_to_zero(v[0]);
  for (std::size_t j = 1; j < n; ++j) s += nan_to_zero(v[j]);
  return s;
}

// Per-row NaN-skipping sums (NaN as 0, column order) and counts over the whole matrix.
void row_sums(const MatView& x, std::vector<double>& sum, std::vector<double>& count, bool absolute) {
  sum.assign(x.rows, 0.0);
  count.assign(x.rows, 0.0);
  for (std::size_t c = 0; c < x.cols; ++c) {
    const double* col = x.data + c * x.rows;
    for (std::size_t r = 0; r < x.rows; ++r) {
      const double v = absolute ? std::fabs(col[r]) : col[r];
      const bool nan = is_nan(v);
      sum[r] = c == 0 ? (nan ? 0.0 : v) : sum[r] + (nan ? 0.0 : v);
      count[r] += nan ? 0.0 : 1.0;
    }
  }
}

// Average ranks (1 for the lowest) of a row's non-NaN values, ties sharing the mean of their places.
// Values are distributed into buckets by linear interpolation between the row's finite extremes, so a
// cross-section sorts in about linear time; crowded buckets fall back to a comparison sort.
class Ranker {
 public:
  // out[j] = rank of v[j] or NaN; returns the non-NaN count.
  std::size_t rank(const double* v, std::size_t n, double* out) {
    items_.clear();
    double lo = kInf, hi = -kInf;
    for (std::size_t j = 0; j < n; ++j) {
      const double x = v[j];
      out[j] = kNaN;
      if (is_nan(x)) continue;
      items_.push_back({x, static_cast<std::uint32_t>(j)});
      if (std::isfinite(x)) {
        lo = std::min(lo, x);
        hi = std::max(hi, x);
      }
    }
    const std::size_t m = items_.size();
    if (m == 0) return 0;
    sort_items(lo, hi);
    std::size_t i0 = 0;
    while (i0 < m) {
      std::size_t i1 = i0;
      while (i1 + 1 < m && sorted_[i1 + 1].first == sorted_[i0].first) ++i1;
      const double avg = static_cast<double>(i0 + i1 + 2) * 0.5;
      for (std::size_t i = i0; i <= i1; ++i) out[sorted_[i].second] = avg;
      i0 = i1 + 1;
    }
    return m;
  }

 private:
  using Item = std::pair<double, std::uint32_t>;
  static constexpr double kInf = std::numeric_limits<double>::infinity();
  static constexpr std::size_t kSmallBucket = 24;

  void sort_items(double lo, double hi) {
    const std::size_t m = items_.size();
    sorted_.resize(m);
    const std::size_t nb = m;
    const double span = hi - lo;
    const double scale = (span > 0 && std::isfinite(span)) ? static_cast<double>(nb) / span : 0.0;
    auto bucket = [&](double x) -> std::size_t {
      if (!(x > lo) || scale == 0.0) return 0;
      if (!(x < hi)) return nb - 1;
      const double t = (x - lo) * scale;  // monotone in x, so bucket order is value order
      return t < static_cast<double>(nb - 1) ? static_cast<std::size_t>(t) : nb - 1;
    };
    start_.assign(nb + 1, 0);
    bucket_of_.resize(m);
    for (std::size_t i = 0; i < m; ++i) {
      const std::size_t b = bucket(items_[i].first);
      bucket_of_[i] = static_cast<std::uint32_t>(b);
      ++start_[b + 1];
    }
    for (std::size_t b = 0; b < nb; ++b) start_[b + 1] += start_[b];
    fill_ = start_;
    for (std::size_t i = 0; i < m; ++i) sorted_[fill_[bucket_of_[i]]++] = items_[i];
    const auto less = [](const Item& a, const Item& b) { return a.first < b.first; };
    for (std::size_t b = 0; b < nb; ++b) {
      const std::size_t s = start_[b], e = start_[b + 1];
      if (e - s < 2) continue;
      if (e - s > kSmallBucket) {
        std::sort(sorted_.begin() + static_cast<std::ptrdiff_t>(s), sorted_.begin() + static_cast<std::ptrdiff_t>(e),
                  less);
        continue;
      }
      for (std::size_t i = s + 1; i < e; ++i) {
        const Item it = sorted_[i];
        std::size_t k = i;
        while (k > s && it.first < sorted_[k - 1].first) {
          sorted_[k] = sorted_[k - 1];
          --k;
        }
        sorted_[k] = it;
      }
    }
  }

  std::vector<Item> items_, sorted_;
  std::vector<std::uint32_t> bucket_of_, start_, fill_;
};

// Row-wise driver: gathers each date's cross-section, lets fn fill the output row, scatters it back.
template <class Fn>
Matrix by_rows(const MatView& x, Fn&& fn) {
  Matrix out(x.rows, x.cols);
  std::vector<double> in(x.cols), res(x.cols);
  for (std::size_t r = 0; r < x.rows; ++r) {
    gather_row(x, r, in.data());
    fn(r, in.data(), res.data());
    scatter_row(out, r, res.data());
  }
  return out;
}

// The percentile ranks p of a row (NaN kept) from its average ranks; returns the count.
std::size_t pct_ranks(Ranker& ranker, const double* v, std::size_t n, double* p) {
  const std::size_t cnt = ranker.rank(v, n, p);
  const double dcnt = static_cast<double>(cnt);
  for (std::size_t j = 0; j < n; ++j) p[j] /= dcnt;
  return cnt;
}

// Row mean the way pandas takes it (NaN-skipping): sequential sum over the count.
double row_mean(const double* v, std::size_t n, std::size_t cnt) {
  return row_sum(v, n) / static_cast<double>(cnt);
}

}  // namespace

Matrix scale(const MatView& x) {
  std::vector<double> sum, count;
  row_sums(x, sum, count, true);
  for (double& s : sum) s = s == 0.0 ? 1.0 : s;
  Matrix out(x.rows, x.cols);
  for (std::size_t c = 0; c < x.cols; ++c) {
    const double* in = x.data + c * x.rows;
    double* o = out.data.data() + c * x.rows;
    for (std::size_t r = 0; r < x.rows; ++r) o[r] = in[r] / sum[r];
  }
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
  std::vector<double> sum, count;
  row_sums(x, sum, count, false);
  for (std::size_t r = 0; r < x.rows; ++r) sum[r] = sum[r] / count[r] - c;
  Matrix out(x.rows, x.cols);
  for (std::size_t k = 0; k < x.cols; ++k) {
    const double* in = x.data + k * x.rows;
    double* o = out.data.data() + k * x.rows;
    for (std::size_t r = 0; r < x.rows; ++r) o[r] = in[r] - sum[r];
  }
  return out;
}

Matrix rank_pct(const MatView& x) {
  Ranker ranker;
  return by_rows(x, [&](std::size_t, const double* v, double* p) { pct_ranks(ranker, v, x.cols, p); });
}

Matrix rank_center(const MatView& x) {
  Ranker ranker;
  return by_rows(x, [&](std::size_t, const double* v, double* p) {
    const std::size_t cnt = pct_ranks(ranker, v, x.cols, p);
    const double shift = row_mean(p, x.cols, cnt) - 0.0;
    for (std::size_t j = 0; j < x.cols; ++j) p[j] -= shift;
  });
}

Matrix abs_rank(const MatView& x) {
  Ranker ranker;
  std::vector<double> a(x.cols);
  return by_rows(x, [&](std::size_t, const double* v, double* p) {
    for (std::size_t j = 0; j < x.cols; ++j) a[j] = std::fabs(v[j]);
    pct_ranks(ranker, a.data(), x.cols, p);
    for (std::size_t j = 0; j < x.cols; ++j) {
      const double s = v[j] > 0 ? 1.0 : (v[j] < 0 ? -1.0 : v[j]);
      p[j] = s * p[j];
    }
  });
}

Matrix longshort(const MatView& x, double longshort, LongShortMode mode, const MatView* score,
                 const MatView* base) {
  const std::size_t n = x.cols;
  const bool count_form = longshort >= 1;
  const bool centred = mode == LongShortMode::keep_rank || mode == LongShortMode::keep_distance;
  const double upper = 1.0 - longshort;
  Ranker ranker;
  std::vector<double> rk(n), sc(n), bs(n);
  return by_rows(x, [&](std::size_t r, const double* v, double* out) {
    const std::size_t cnt = ranker.rank(v, n, rk.data());
    const double dcnt = static_cast<double>(cnt);
    if (!count_form) {
      if (score != nullptr) {
        gather_row(*score, r, sc.data());
      } else {
        for (std::size_t j = 0; j < n; ++j) sc[j] = rk[j] / dcnt;
        double shift = 0.0;
        if (centred) {
          shift = row_mean(sc.data(), n, cnt) - 0.5;
        } else {
          double mn = kNaN;
          for (std::size_t j = 0; j < n; ++j) {
            if (!is_nan(sc[j]) && !(sc[j] >= mn)) mn = sc[j];
          }
          shift = mn / 2;
        }
        for (std::size_t j = 0; j < n; ++j) sc[j] -= shift;
      }
    }
    // The values the sides keep and the other entries start from.
    const double* keep = v;
    if (base != nullptr) {
      gather_row(*base, r, bs.data());
      keep = bs.data();
    } else if (mode == LongShortMode::keep_rank && count_form) {
      for (std::size_t j = 0; j < n; ++j) bs[j] = rk[j] / dcnt;
      const double shift = row_mean(bs.data(), n, cnt) - 0.0;
      for (std::size_t j = 0; j < n; ++j) bs[j] -= shift;
      keep = bs.data();
    } else if (mode == LongShortMode::keep_distance) {
      const double shift = row_mean(v, n, cnt) - 0.0;
      for (std::size_t j = 0; j < n; ++j) bs[j] = v[j] - shift;
      keep = bs.data();
    }
    const bool constant_sides = mode == LongShortMode::same || mode == LongShortMode::keep_sign;
    if (count_form) {
      const double top = dcnt + 1.0;
      for (std::size_t j = 0; j < n; ++j) {
        const double r1 = rk[j];
        const double r2 = top - r1;  // the descending average rank
        double o = keep[j];
        if (constant_sides) {
          if (r1 <= longshort) o = -1.0;
          if (r2 <= longshort) o = 1.0;  // a symbol on both sides ends long
        }
        if (r1 > longshort && r2 > longshort) o = 0.0;
        out[j] = o;
      }
    } else {
      for (std::size_t j = 0; j < n; ++j) {
        const double s = sc[j];
        const bool is_short = s <= longshort, is_long = s >= upper;
        double o = keep[j];
        if (constant_sides) {
          if (is_short) o = -1.0;
        } else if (mode == LongShortMode::keep_rank && is_short) {
          o = s - 0.5;
        }
        if (s > longshort && s < upper) o = 0.0;
        if (constant_sides) {
          if (is_long) o = 1.0;
        } else if (mode == LongShortMode::keep_rank && is_long) {
          o = s - 0.5;
        }
        out[j] = o;
      }
    }
    if (mode == LongShortMode::keep_sign) {
      for (std::size_t j = 0; j < n; ++j) {
        if (out[j] == -1.0 && v[j] > 0) out[j] = 0.0;
        if (out[j] == 1.0 && v[j] < 0) out[j] = 0.0;
      }
    }
  });
}

Matrix smooth_simple(const MatView& x, std::size_t window) {
  Matrix out(x.rows, x.cols);
  if (window == 0) return out;
  const auto nobs_needed = static_cast<std::ptrdiff_t>(window);
  for (std::size_t c = 0; c < x.cols; ++c) {
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
  return out;
}

double pairwise_sum(const double* a, std::size_t n) {
  if (n < 8) {
    double res = -0.0;
    for (std::size_t i = 0; i < n; ++i) res += a[i];
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = a[j];
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += a[i + j];
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += a[i];
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum(a, n2) + pairwise_sum(a + n2, n - n2);
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
  std::vector<double> prod(w);
  for (std::size_t c = 0; c < x.cols; ++c) {
    const double* v = x.data + c * x.rows;
    double* o = out.data.data() + c * x.rows;
    std::size_t bad = 0;  // NaN or infinite values in the current window
    for (std::size_t i = 0; i < x.rows; ++i) {
      bad += std::isfinite(v[i]) ? 0 : 1;
      if (i >= w) bad -= std::isfinite(v[i - w]) ? 0 : 1;
      if (i + 1 < w || bad > 0) continue;
      const double* win = v + (i + 1 - w);
      for (std::size_t k = 0; k < w; ++k) prod[k] = win[k] * weights[k];
      o[i] = pairwise_sum(prod.data(), w) / total;
    }
  }
  return out;
}

Matrix neutral(const MatView& x, std::span<const std::int64_t> group, std::size_t n_groups,
               double least_number) {
  Matrix out(x.rows, x.cols);
  constexpr std::size_t kBlock = 256;  // dates per pass: keeps the per-industry sums small and cached
  std::vector<double> sum(n_groups * kBlock), comp(n_groups * kBlock), nobs(n_groups * kBlock);
  for (std::size_t r0 = 0; r0 < x.rows; r0 += kBlock) {
    const std::size_t nr = std::min(kBlock, x.rows - r0);
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(comp.begin(), comp.end(), 0.0);
    std::fill(nobs.begin(), nobs.end(), 0.0);
    // pandas' grouped mean: Kahan sum over the members in column order; an infinity resets the
    // compensation so the mean stays infinite.
    for (std::size_t c = 0; c < x.cols; ++c) {
      if (group[c] < 0) continue;
      const std::size_t g = static_cast<std::size_t>(group[c]) * kBlock;
      const double* v = x.data + c * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) {
        const double a = v[r];
        if (is_nan(a)) continue;
        nobs[g + r] += 1;
        const double y = a - comp[g + r];
        const double t = sum[g + r] + y;
        const double cp = t - sum[g + r] - y;
        comp[g + r] = is_nan(cp) ? 0.0 : cp;
        sum[g + r] = t;
      }
    }
    for (std::size_t i = 0; i < n_groups * kBlock; ++i) {
      const double mean = sum[i] / nobs[i];
      sum[i] = nobs[i] >= least_number ? mean : 0.0;
    }
    for (std::size_t c = 0; c < x.cols; ++c) {
      if (group[c] < 0) continue;  // no industry: left NaN
      const double* mean = sum.data() + static_cast<std::size_t>(group[c]) * kBlock;
      const double* v = x.data + c * x.rows + r0;
      double* o = out.data.data() + c * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) o[r] = v[r] - mean[r];
    }
  }
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
