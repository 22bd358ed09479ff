// Trade simulation, performance figures and information coefficients (declared in analyse.hpp).
#include "analyse.hpp"

#include <algorithm>
#include <cmath>

#include "calendar.hpp"
#include "interrupt.hpp"

namespace varlo {

namespace {

double nan_as_zero(double v) { return std::isnan(v) ? 0.0 : v; }

// np.maximum keeps its first operand on ties and propagates NaN; NaN never reaches it here.
double running_max(double acc, double v) { return acc >= v ? acc : v; }

// Series.cumsum / cumprod / cummax: missing values stay missing and are skipped by the accumulation.
template <class Op>
std::vector<double> accumulate_skipna(std::span<const double> x, double fill, Op op) {
  std::vector<double> out(x.size());
  double acc = 0.0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const bool missing = std::isnan(x[i]);
    const double v = missing ? fill : x[i];
    acc = i == 0 ? v : op(acc, v);
    out[i] = missing ? kNaN : acc;
  }
  return out;
}

std::optional<std::size_t> first_nanargmax(std::span<const double> x) {
  std::optional<std::size_t> best;
  for (std::size_t i = 0; i < x.size(); ++i) {
    if (!std::isnan(x[i]) && (!best || x[i] > x[*best])) best = i;
  }
  return best;
}

std::optional<Recovery> longest_recovery(std::span<const double> drawdown, std::span<const std::int64_t> dates_ns) {
  std::optional<Recovery> best;
  std::optional<std::size_t> last_zero;
  for (std::size_t i = 0; i < drawdown.size(); ++i) {
    if (drawdown[i] != 0.0) continue;
    if (last_zero) {
      const std::int64_t len = dates_ns[i] - dates_ns[*last_zero];
      if (!best || len > dates_ns[best->t2] - dates_ns[best->t1]) best = Recovery{*last_zero, i, day_of_ns(len)};
    }
    last_zero = i;
  }
  return best;
}

// corrwith's masking: each side becomes missing wherever the other is (an infinity times 0 masks too).
std::pair<Matrix, Matrix> masked_pair(const MatView& left, const MatView& right) {
  Matrix l(left.rows, left.cols), r(left.rows, left.cols);
  for (std::size_t i0 = 0; i0 < left.size(); i0 += InterruptPacer::kWork) {
    interruption_point();
    const std::size_t i1 = std::min(left.size(), i0 + InterruptPacer::kWork);
    for (std::size_t i = i0; i < i1; ++i) {
      l.data[i] = left.data[i] + right.data[i] * 0.0;
      r.data[i] = right.data[i] + l.data[i] * 0.0;
    }
  }
  return {std::move(l), std::move(r)};
}

double year_ir(std::span<const double> x) {
  return nanmean(x) / nanstd(x) * std::pow(kYearDays, 0.5);
}

// One date of one symbol, given the previous date's position as held (missing stays missing for the
// carried term, counts as flat for the trade) and its next-day return.
inline void trade_cell(double held, double prev_held, double prev_next, double settle, double prevsettle,
                       double matching, double commission, double& out, double& daily_tr, double& daily_return) {
  const double pos = std::isnan(held) ? 0.0 : held;
  const double prev = std::isnan(prev_held) ? 0.0 : prev_held;
  const double diff = pos - prev;
  const double traded = std::fabs(diff);
  daily_tr += nan_as_zero(traded);

  const double open_adjust = (settle - matching) / matching;
  const double close_adjust = (matching - settle) / prevsettle;

  // Comparisons with a missing product are false, so such a trade neither opens nor closes. Written as
  // selects of selects, made on every date, so the loop needs no branch.
  const double prev_diff = prev * diff;
  const double prev_pos = prev * pos;
  const double flip_pos = prev_pos < 0 ? pos : 0.0, flip_prev = prev_pos < 0 ? prev : 0.0;
  const double keep_diff = prev_pos >= 0 ? diff : 0.0;
  const double open_position = (prev_diff >= 0 ? diff : 0.0) + (prev_diff < 0 ? flip_pos : 0.0);
  const double close_position = -(prev_diff < 0 ? keep_diff : 0.0) + (prev_diff < 0 ? flip_prev : 0.0);
  const double return_adjust = open_position * open_adjust + close_position * close_adjust;

  const double carried = prev_held * prev_next;
  const double net = (carried + return_adjust) - traded * commission;
  out = net;
  daily_return += nan_as_zero(net);
}

// One symbol's dates; the first starts flat with nothing carried. Only the per-date sums cross symbols and
// no pointer aliases another, so the loop over dates vectorises (kept out of line: inlined, the compiler
// loses the no-alias promise and gives up).
[[gnu::noinline]] void trade_column(const double* __restrict held, const double* __restrict next,
                                    const double* __restrict settle, const double* __restrict prevsettle,
                                    const double* __restrict matching, std::size_t rows, double commission,
                                    double* __restrict out, double* __restrict daily_tr,
                                    double* __restrict daily_return) {
  for (std::size_t r = 1; r < rows; ++r) {
    trade_cell(held[r], held[r - 1], next[r - 1], settle[r], prevsettle[r], matching[r], commission, out[r],
               daily_tr[r], daily_return[r]);
  }
  // The first date after the loop: before it, the compiler carries held[0] into the loop and stops
  // vectorising.
  trade_cell(held[0], kNaN, kNaN, settle[0], prevsettle[0], matching[0], commission, out[0], daily_tr[0],
             daily_return[0]);
}

}  // namespace

Trades simulate_trades(const MatView& position, const PriceTables& p, double commission, bool keep_returns) {
  const std::size_t rows = position.rows;
  const std::size_t cols = position.cols;
  Trades t;
  if (keep_returns) t.returns = Matrix(rows, cols);
  std::vector<double> scratch(keep_returns ? 0 : rows);
  t.daily_return.assign(rows, 0.0);
  t.daily_tr.assign(rows, 0.0);
  InterruptPacer pacer;
  for (std::size_t c = 0; c < cols; ++c) {
    if (rows == 0) break;
    pacer.step(rows);
    const std::size_t at = c * rows;
    trade_column(position.data + at, p.nextreturn.data + at, p.settle.data + at, p.prevsettle.data + at,
                 p.matching.data + at, rows, commission, keep_returns ? t.returns.col(c).data() : scratch.data(),
                 t.daily_tr.data(), t.daily_return.data());
  }
  t.annualized_tr = nanmean(t.daily_tr) * kYearDays;
  return t;
}

Metrics performance(std::span<const double> daily_return, std::span<const std::int64_t> dates_ns, Interest interest) {
  Metrics m;
  const double count = static_cast<double>(nancount(daily_return));
  std::vector<double> peak;
  if (interest == Interest::simple) {
    m.total_return = pairwise_nansum(daily_return);
    m.ar = nanmean(daily_return) * kYearDays;
    m.cumulative_return = accumulate_skipna(daily_return, 0.0, [](double a, double v) { return a + v; });
    m.net_value.resize(daily_return.size());
    for (std::size_t i = 0; i < daily_return.size(); ++i) m.net_value[i] = m.cumulative_return[i] + 1;
    peak = accumulate_skipna(m.net_value, -INFINITY, running_max);
    m.drawdown.resize(daily_return.size());
    for (std::size_t i = 0; i < daily_return.size(); ++i) m.drawdown[i] = peak[i] - m.net_value[i];
  } else {
    std::vector<double> growth(daily_return.size());
    for (std::size_t i = 0; i < daily_return.size(); ++i) growth[i] = 1 + daily_return[i];
    double product = 1.0;
    for (double g : growth) product *= std::isnan(g) ? 1.0 : g;
    m.total_return = product - 1;
    m.ar = std::pow(m.total_return + 1, kYearDays / count) - 1;
    m.net_value = accumulate_skipna(growth, 1.0, [](double a, double v) { return a * v; });
    m.cumulative_return.resize(daily_return.size());
    for (std::size_t i = 0; i < daily_return.size(); ++i) m.cumulative_return[i] = m.net_value[i] - 1;
    peak = accumulate_skipna(m.net_value, -INFINITY, running_max);
    m.drawdown.resize(daily_return.size());
    for (std::size_t i = 0; i < daily_return.size(); ++i) m.drawdown[i] = 1 - m.net_value[i] / peak[i];
  }
  const double sd = nanstd(daily_return);
  m.std = sd * std::pow(kYearDays, 0.5);
  m.ir = nanmean(daily_return) / sd * std::pow(kYearDays, 0.5);

  if (const auto trough = first_nanargmax(m.drawdown)) {
    m.mdd = m.drawdown[*trough];
    m.mdd_t2 = *trough;
    m.mdd_t1 = *trough;
    for (std::size_t i = *trough + 1; i-- > 0;) {
      if (m.drawdown[i] == 0.0) {
        m.mdd_t1 = i;
        break;
      }
    }
    m.mdd_days = day_of_ns(dates_ns[m.mdd_t2] - dates_ns[m.mdd_t1]);
  }
  m.cr = m.ar / m.mdd;
  m.recovery = longest_recovery(m.drawdown, dates_ns);
  return m;
}

std::vector<double> corrwith_columns(const MatView& left, const MatView& right) {
  const auto [l, r] = masked_pair(left, right);
  std::vector<double> out(l.cols);
  std::vector<double> prod(l.rows);
  InterruptPacer pacer;
  for (std::size_t c = 0; c < l.cols; ++c) {
    pacer.step(l.rows);
    const auto lc = l.col(c);
    const auto rc = r.col(c);
    const double lmean = nanmean(lc);
    const double rmean = nanmean(rc);
    for (std::size_t i = 0; i < l.rows; ++i) prod[i] = (lc[i] - lmean) * (rc[i] - rmean);
    const double num = pairwise_nansum(prod);
    const double dom = (static_cast<double>(nancount(lc)) - 1) * nanstd(lc) * nanstd(rc);
    out[c] = num / dom;
  }
  return out;
}

namespace {

// corrwith_rows' passes over one symbol, each date's sums taking this symbol's masked values (masked_pair's,
// made where they are used). Out of line with unaliased pointers, so they vectorise; adding 0 for a missing
// value leaves a sum that starts at +0 exactly as it was.
[[gnu::noinline]] void add_row_sums(const double* __restrict a, const double* __restrict b, std::size_t rows,
                                    double* __restrict lsum, double* __restrict lcount, double* __restrict rsum,
                                    double* __restrict rcount) {
  for (std::size_t i = 0; i < rows; ++i) {
    const double l = a[i] + b[i] * 0.0;
    const double r = b[i] + l * 0.0;
    lsum[i] += nan_as_zero(l);
    lcount[i] += std::isnan(l) ? 0.0 : 1.0;
    rsum[i] += nan_as_zero(r);
    rcount[i] += std::isnan(r) ? 0.0 : 1.0;
  }
}

[[gnu::noinline]] void add_row_products(const double* __restrict a, const double* __restrict b, std::size_t rows,
                                        const double* __restrict lmean, const double* __restrict rmean,
                                        double* __restrict num, double* __restrict lss, double* __restrict rss) {
  for (std::size_t i = 0; i < rows; ++i) {
    const double l = a[i] + b[i] * 0.0;
    const double r = b[i] + l * 0.0;
    const double dl = l - lmean[i], dr = r - rmean[i];
    num[i] += nan_as_zero(dl * dr);
    // bottleneck's two-pass standard deviation of each side
    lss[i] += std::isnan(l) ? 0.0 : dl * dl;
    rss[i] += std::isnan(r) ? 0.0 : dr * dr;
  }
}

}  // namespace

std::vector<double> corrwith_rows(const MatView& left, const MatView& right) {
  // Sums run per date in column order, as they would over the masked frames.
  const std::size_t rows = left.rows, cols = left.cols;
  std::vector<double> lmean(rows, 0.0), rmean(rows, 0.0), lcount(rows, 0.0), rcount(rows, 0.0);
  std::vector<double> num(rows, 0.0), lss(rows, 0.0), rss(rows, 0.0);
  InterruptPacer pacer;
  for (std::size_t c = 0; c < cols; ++c) {
    pacer.step(rows);
    add_row_sums(left.data + c * rows, right.data + c * rows, rows, lmean.data(), lcount.data(), rmean.data(),
                 rcount.data());
  }
  for (std::size_t i = 0; i < rows; ++i) {
    lmean[i] = lcount[i] > 0 ? lmean[i] / lcount[i] : kNaN;
    rmean[i] = rcount[i] > 0 ? rmean[i] / rcount[i] : kNaN;
  }
  for (std::size_t c = 0; c < cols; ++c) {
    pacer.step(rows);
    add_row_products(left.data + c * rows, right.data + c * rows, rows, lmean.data(), rmean.data(), num.data(),
                     lss.data(), rss.data());
  }
  const auto row_std = [](double ss, double count) { return count > 1 ? std::sqrt(ss / (count - 1)) : kNaN; };
  std::vector<double> out(rows);
  for (std::size_t i = 0; i < rows; ++i) {
    out[i] = num[i] / ((lcount[i] - 1) * row_std(lss[i], lcount[i]) * row_std(rss[i], rcount[i]));
  }
  return out;
}

SymbolFigures symbol_figures(const MatView& returns) {
  SymbolFigures s{std::vector<double>(returns.cols), std::vector<double>(returns.cols)};
  InterruptPacer pacer;
  for (std::size_t c = 0; c < returns.cols; ++c) {
    pacer.step(returns.rows);
    s.total_return[c] = pairwise_nansum(returns.col(c));
    s.ar[c] = nanmean(returns.col(c)) * kYearDays;
  }
  return s;
}

Groups group_by(std::span<const std::int64_t> labels) {
  Groups g;
  g.keys.assign(labels.begin(), labels.end());
  std::sort(g.keys.begin(), g.keys.end());
  g.keys.erase(std::unique(g.keys.begin(), g.keys.end()), g.keys.end());
  g.of.resize(labels.size());
  for (std::size_t i = 0; i < labels.size(); ++i) {
    g.of[i] = static_cast<std::size_t>(std::lower_bound(g.keys.begin(), g.keys.end(), labels[i]) - g.keys.begin());
  }
  g.sorted = std::is_sorted(g.of.begin(), g.of.end());
  return g;
}

namespace {

struct GroupSums {
  std::vector<double> sum;
  std::vector<std::size_t> count;
};

// pandas sums sorted groups without missing values by np.add.reduceat (each group's first value plus
// the pairwise sum of the rest), any other grouping by its compensated Cython kernel.
GroupSums group_sums(std::span<const double> x, const Groups& g) {
  GroupSums k{std::vector<double>(g.keys.size(), 0.0), std::vector<std::size_t>(g.keys.size(), 0)};
  if (g.sorted && nancount(x) == x.size()) {
    for (std::size_t begin = 0, end = 0; begin < x.size(); begin = end) {
      const std::size_t j = g.of[begin];
      while (end < x.size() && g.of[end] == j) ++end;
      const std::size_t n = end - begin;
      k.sum[j] = n == 1 ? x[begin] : x[begin] + pairwise_sum(x.data() + begin + 1, n - 1);
      k.count[j] = n;
    }
    return k;
  }
  std::vector<double> comp(g.keys.size(), 0.0);
  for (std::size_t i = 0; i < x.size(); ++i) {
    const std::size_t j = g.of[i];
    if (kahan_add(x[i], k.sum[j], comp[j])) ++k.count[j];
  }
  return k;
}

}  // namespace

std::vector<double> group_sum(std::span<const double> x, const Groups& g) { return group_sums(x, g).sum; }

std::vector<double> group_mean(std::span<const double> x, const Groups& g) {
  GroupSums k = group_sums(x, g);
  for (std::size_t j = 0; j < k.sum.size(); ++j) k.sum[j] = k.count[j] ? k.sum[j] / static_cast<double>(k.count[j]) : kNaN;
  return std::move(k.sum);
}

Yearly yearly(std::span<const double> daily_return, std::span<const double> daily_tr, const Groups& g,
              Interest interest) {
  const std::size_t ng = g.keys.size();
  Yearly y;
  y.tr = group_sum(daily_tr, g);
  std::vector<std::vector<double>> members(ng);
  for (std::size_t i = 0; i < daily_return.size(); ++i) members[g.of[i]].push_back(daily_return[i]);
  y.ir.resize(ng);
  for (std::size_t j = 0; j < ng; ++j) y.ir[j] = year_ir(members[j]);
  if (interest == Interest::simple) {
    y.ar = group_sum(daily_return, g);
  } else {
    y.ar.assign(ng, 1.0);
    for (std::size_t i = 0; i < daily_return.size(); ++i) {
      const double growth = 1 + daily_return[i];
      if (!std::isnan(growth)) y.ar[g.of[i]] *= growth;
    }
    for (double& v : y.ar) v -= 1;
  }
  return y;
}

}  // namespace varlo
