// op_longshort: long and short sides of each date by rank, by selection where only the sides matter.
#include <cmath>
#include <cstring>
#include <limits>
#include <utility>

#include "operators.hpp"
#include "rank.hpp"
#include "reduce.hpp"
#include "tiles.hpp"

namespace varlo::ops {

namespace {

// Sides of one row from average-rank thresholds, without ranking every value: a value is short when its
// ascending average rank (less + (equal + 1) / 2) is at most `a`, long when its descending one is at most
// `b`. Both are monotone in the value, so each side is the values beyond the k-th smallest (largest) one,
// found by selection, plus that value's ties when their shared rank passes.
struct SideCut {
  double lo = -kInf, hi = kInf;   // short: v < lo, or v == lo when lo_ties; long: v > hi, or v == hi when hi_ties
  bool lo_ties = false, hi_ties = false;
  std::size_t shorts = 0, longs = 0;  // sizes of the sides
};


// buf: the row's m non-NaN values.
SideCut side_cut(Selector& sel, const double* buf, std::size_t m, double a, double b) {
  SideCut cut;
  const auto md = static_cast<double>(m);
  std::size_t j_lo = 0, j_hi = 0;  // places of the thresholds among the sorted values, 1-based; 0: none
  if (a >= md) {
    cut.lo = kInf;
    cut.lo_ties = true;
    cut.shorts = m;
  } else if (a >= 1) {
    j_lo = static_cast<std::size_t>(a);
  }
  if (b >= md) {
    cut.hi = -kInf;
    cut.hi_ties = true;
    cut.longs = m;
  } else if (b >= 1) {
    j_hi = m - static_cast<std::size_t>(b) + 1;  // the floor(b)-th largest
  }
  if (j_lo == 0 && j_hi == 0) return cut;
  Pick p_lo, p_hi;
  sel.select(buf, m, j_lo, j_hi, p_lo, p_hi);
  const auto rank = [](std::size_t below, std::size_t equal) {
    return static_cast<double>(below) + static_cast<double>(equal + 1) * 0.5;
  };
  if (j_lo > 0) {
    cut.lo = p_lo.value;
    cut.lo_ties = rank(p_lo.less, p_lo.equal) <= a;
    cut.shorts = p_lo.less + (cut.lo_ties ? p_lo.equal : 0);
  }
  if (j_hi > 0) {
    cut.hi = p_hi.value;
    cut.hi_ties = rank(m - p_hi.less - p_hi.equal, p_hi.equal) <= b;
    cut.longs = m - p_hi.less - (cut.hi_ties ? 0 : p_hi.equal);
  }
  return cut;
}

// The fraction form's sides as average-rank thresholds for side_cut. `score(k)` is the percentile score
// of the average rank k / 2, k / (2 m) - shift in pandas' arithmetic, monotone in k: short when
// score <= ls, long when score >= 1 - ls. Returns the largest ascending rank that is short, and the
// largest descending rank that is long (0: none). The real-number solution is a guess within a step or
// two of the floating-point one, which the steps from it settle.
template <class Score>
std::pair<double, double> score_cut(std::size_t m, double ls, double shift, Score&& score) {
  const double upper = 1.0 - ls;
  const double top = 2.0 * static_cast<double>(m);
  const auto guess = [&](double k, double lo, double hi) {
    k = k > lo ? k : lo;  // NaN too
    return static_cast<std::size_t>(k < hi ? k : hi);
  };
  // largest k in [2, 2m] with score(k) <= ls; 0 when none
  std::size_t a = guess(std::floor(top * (ls + shift)), 1.0, top);
  while (a < 2 * m && score(a + 1) <= ls) ++a;
  while (a >= 2 && !(score(a) <= ls)) --a;
  if (a < 2) a = 0;
  // smallest k in [2, 2m] with score(k) >= upper; 2m + 1 when none
  std::size_t b = guess(std::ceil(top * (upper + shift)), 2.0, top + 1);
  while (b > 2 && score(b - 1) >= upper) --b;
  while (b <= 2 * m && !(score(b) >= upper)) ++b;
  // ascending rank >= b/2  <=>  descending rank (m + 1 - ascending) <= m + 1 - b/2
  const double desc = b > 2 * m ? 0.0 : static_cast<double>(m) + 1 - static_cast<double>(b) * 0.5;
  return {static_cast<double>(a) * 0.5, desc};
}

// Shifted score: rank / m minus half the lowest one (pandas' arithmetic).
std::pair<double, double> shifted_score_cut(const double* buf, std::size_t m, double ls) {
  const auto md = static_cast<double>(m);
  const double lowest = *std::min_element(buf, buf + m);
  double ties = 0;
  for (std::size_t i = 0; i < m; ++i) ties += buf[i] == lowest ? 1.0 : 0.0;
  const double shift = ((ties + 1) * 0.5 / md) / 2;
  return score_cut(m, ls, shift, [&](std::size_t k) { return static_cast<double>(k) * 0.5 / md - shift; });
}

// Centred score: rank / m - (row mean of rank / m - 0.5). The ranks of a row always sum to m (m + 1) / 2,
// so pandas' floating sum of the m percentile ranks lies within (m + 1)^2 units of roundoff of (m + 1) / 2;
// the thresholds for both ends of that range are returned. Where they differ, a score within roundoff of
// a side's limit could be decided by the exact sum, if some value has such a rank.
std::pair<std::pair<double, double>, std::pair<double, double>> centred_score_cuts(std::size_t m, double ls) {
  const auto md = static_cast<double>(m);
  const double err = (md + 1) * (md + 1) * std::numeric_limits<double>::epsilon();
  const double half = (md + 1) * 0.5;
  const double shift_lo = (half - err) / md - 0.5, shift_hi = (half + err) / md - 0.5;
  return {score_cut(m, ls, shift_lo, [&](std::size_t k) { return static_cast<double>(k) * 0.5 / md - shift_lo; }),
          score_cut(m, ls, shift_hi, [&](std::size_t k) { return static_cast<double>(k) * 0.5 / md - shift_hi; })};
}

// longshort() for the modes whose sides alone matter (same, keep_sign, keep_distance).
template <class View>
Matrix longshort_by_selection(const View& x, double ls, LongShortMode mode, Rows rows) {
  const bool count_form = ls >= 1;
  const bool centred = mode == LongShortMode::keep_distance;
  Matrix out(rows.count(x.rows), x.cols);
  struct Work {
    Selector sel;
    Ranker ranker;
    std::vector<double> buf, row, rank;
    double shift[kTile], sum[kTile], count[kTile];
    double lo[kTile], hi[kTile];  // a row's SideCut as inclusive bounds; NaN: no side
    bool single_row = false, lean = false;
    InterruptPacer pacer;
    explicit Work(std::size_t n) : buf(n) {}

    // Inclusive bounds of the sides of row r from the exact centred scores, pandas' arithmetic.
    void exact_centred(const Tile& t, std::size_t r, double ls, double& lo, double& hi) {
      row.resize(t.n);
      rank.resize(t.n);
      for (std::size_t c = 0; c < t.n; ++c) row[c] = t.x[c * t.ld + r];
      const auto m = static_cast<double>(ranker.rank(row.data(), 1, t.n, rank.data()));
      for (std::size_t c = 0; c < t.n; ++c) rank[c] = rank[c] / m;
      double total = 0, unused = 0;
      block_row_sums(rank.data(), 1, 1, t.n, &total, &unused, false, single_row);
      const double shift = total / m - 0.5;
      lo = kNaN;
      hi = kNaN;
      for (std::size_t c = 0; c < t.n; ++c) {
        const double score = rank[c] - shift;
        if (score <= ls && !(row[c] <= lo)) lo = row[c];
        if (score >= 1.0 - ls && !(row[c] >= hi)) hi = row[c];
      }
    }
  };
  by_tiles<Work>(x, out, [&](Tile& t, Work& w) {
    if (mode == LongShortMode::keep_distance) {
      // the demeaned alpha the sides keep: x - (row mean - 0)
      block_row_sums(t.x, t.ld, t.nr, t.n, w.sum, w.count, false, w.single_row);
      for (std::size_t r = 0; r < t.nr; ++r) w.shift[r] = w.sum[r] / w.count[r] - 0.0;
    }
    for (std::size_t r = 0; r < t.nr; ++r) {
      w.pacer.step(t.n);
      std::size_t m = 0;
      for (std::size_t c = 0; c < t.n; ++c) {
        const double v = t.x[c * t.ld + r];
        w.buf[m] = v;
        m += is_nan(v) ? 0 : 1;
      }
      SideCut cut;
      if (m > 0 && !count_form && centred) {
        const auto [one, other] = centred_score_cuts(m, ls);
        cut = side_cut(w.sel, w.buf.data(), m, one.first, one.second);
        if (one != other) {
          const SideCut alt = side_cut(w.sel, w.buf.data(), m, other.first, other.second);
          if (alt.shorts != cut.shorts || alt.longs != cut.longs) {
            w.exact_centred(t, r, ls, w.lo[r], w.hi[r]);
            continue;
          }
        }
      } else if (m > 0) {
        const auto [a, b] = count_form ? std::pair<double, double>{ls, ls} : shifted_score_cut(w.buf.data(), m, ls);
        cut = side_cut(w.sel, w.buf.data(), m, a, b);
      }
      w.lo[r] = cut.lo_ties ? cut.lo : (cut.lo == -kInf ? kNaN : std::nextafter(cut.lo, -kInf));
      w.hi[r] = cut.hi_ties ? cut.hi : (cut.hi == kInf ? kNaN : std::nextafter(cut.hi, kInf));
    }
    // One pass per column down the tile's rows, free of branches the data decides: short when v <= lo,
    // long when v >= hi (the inclusive bounds of the row's cut).
    const bool keep_sign = mode == LongShortMode::keep_sign;
    for (std::size_t c = 0; c < t.n; ++c) {
      const double* v = t.x + c * t.ld;
      double* o = t.res + c * t.ld;
      if (mode == LongShortMode::keep_distance) {
        for (std::size_t r = 0; r < t.nr; ++r) {
          const double e = v[r];
          const bool middle = !(e <= w.lo[r]) & !(e >= w.hi[r]) & (e == e);
          o[r] = middle ? 0.0 : e - w.shift[r];
        }
      } else if (keep_sign) {
        for (std::size_t r = 0; r < t.nr; ++r) {
          const double e = v[r];
          double res = e == e ? 0.0 : e;
          res = e <= w.lo[r] && !(e > 0) ? -1.0 : res;
          res = e >= w.hi[r] ? (e < 0 ? 0.0 : 1.0) : res;
          o[r] = res;
        }
      } else {
        for (std::size_t r = 0; r < t.nr; ++r) {
          const double e = v[r];
          double res = e == e ? 0.0 : e;
          res = e <= w.lo[r] ? -1.0 : res;
          res = e >= w.hi[r] ? 1.0 : res;
          o[r] = res;
        }
      }
    }
  }, rows);
  return out;
}

template <class View>
Matrix longshort_of(const View& x, double longshort, LongShortMode mode, const MatView* score,
                    const MatView* base, Rows rows) {
  const bool lean = x.rows < kLeanRows && x.cols >= kLeanCols;  // the selector's scratch is the ranker's
  if (score == nullptr && base == nullptr && std::isfinite(longshort) && mode != LongShortMode::keep_rank && !lean) {
    return longshort_by_selection(x, longshort, mode, rows);
  }
  const bool count_form = longshort >= 1;
  const bool centred = mode == LongShortMode::keep_rank || mode == LongShortMode::keep_distance;
  const bool constant_sides = !centred;
  const double upper = 1.0 - longshort;
  // The values the sides keep and the other entries start from.
  enum class Keep { value, base, rank, demeaned };
  const Keep keep_from = base != nullptr                                          ? Keep::base
                         : mode == LongShortMode::keep_rank && count_form         ? Keep::rank
                         : mode == LongShortMode::keep_distance                   ? Keep::demeaned
                                                                                  : Keep::value;
  Matrix out(rows.count(x.rows), x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    // res holds the ascending average ranks, then (fraction form) the percentile score, then the result.
    w.rank_rows(t);
    if (keep_from == Keep::rank) w.pct_mean_shift(t, 0.0, w.shift2);  // op_rank: pct - (its mean - 0)
    if (keep_from == Keep::demeaned) w.mean_shift(t, t.x, 0.0, w.shift2);
    if (!count_form) {
      if (score != nullptr) {
        for (std::size_t c = 0; c < t.n; ++c) {
          std::memcpy(t.res + c * t.ld, score->data + c * score->rows + t.r0, t.nr * sizeof(double));
        }
      } else {
        if (centred) {
          w.pct_mean_shift(t, 0.5, w.shift);
        } else {
          // shifted score: minus half the row's lowest percentile rank
          for (std::size_t r = 0; r < t.nr; ++r) w.shift[r] = kNaN;
          for (std::size_t c = 0; c < t.n; ++c) {
            const double* s = t.res + c * t.ld;
            for (std::size_t r = 0; r < t.nr; ++r) {
              const double p = s[r] / w.cnt[r];
              if (!is_nan(p) && !(p >= w.shift[r])) w.shift[r] = p;
            }
          }
          for (std::size_t r = 0; r < t.nr; ++r) w.shift[r] = w.shift[r] / 2;
        }
        w.pct(t);
        w.subtract_shift(t);
      }
    }
    // One loop per form and mode, free of branches the data decides. f(v, k, r1, top, s): the value, what
    // it keeps, its ascending rank (count form), one more than the count, its score (fraction form).
    const auto each = [&](auto&& f) {
      const auto run = [&](auto&& keep_at) {
        for (std::size_t c = 0; c < t.n; ++c) {
          const double* v = t.x + c * t.ld;
          double* o = t.res + c * t.ld;
          for (std::size_t r = 0; r < t.nr; ++r) o[r] = f(v[r], keep_at(v[r], o[r], r, c), o[r], w.cnt[r] + 1.0, o[r]);
        }
      };
      switch (keep_from) {
        case Keep::value: run([](double v, double, std::size_t, std::size_t) { return v; }); break;
        case Keep::base:
          run([&](double, double, std::size_t r, std::size_t c) { return base->data[c * base->rows + t.r0 + r]; });
          break;
        case Keep::rank:
          run([&](double, double r1, std::size_t r, std::size_t) { return r1 / w.cnt[r] - w.shift2[r]; });
          break;
        case Keep::demeaned:
          run([&](double v, double, std::size_t r, std::size_t) { return v - w.shift2[r]; });
          break;
      }
    };
    const double ls = longshort;
    const auto fix_sign = [](double res, double v) {
      res = (res == -1.0 && v > 0) ? 0.0 : res;
      return (res == 1.0 && v < 0) ? 0.0 : res;
    };
    if (count_form && constant_sides) {
      const bool keep_sign = mode == LongShortMode::keep_sign;
      each([&](double v, double k, double r1, double top, double) {
        const double r2 = top - r1;  // the descending average rank
        double res = r1 <= ls ? -1.0 : k;
        res = r2 <= ls ? 1.0 : res;  // a symbol on both sides ends long
        res = (r1 > ls && r2 > ls) ? 0.0 : res;
        return keep_sign ? fix_sign(res, v) : res;
      });
    } else if (count_form) {
      each([&](double, double k, double r1, double top, double) {
        const double r2 = top - r1;
        return (r1 > ls && r2 > ls) ? 0.0 : k;
      });
    } else if (constant_sides) {
      const bool keep_sign = mode == LongShortMode::keep_sign;
      each([&](double v, double k, double, double, double s) {
        double res = s <= ls ? -1.0 : k;
        res = (s > ls && s < upper) ? 0.0 : res;
        res = s >= upper ? 1.0 : res;
        return keep_sign ? fix_sign(res, v) : res;
      });
    } else if (mode == LongShortMode::keep_rank) {
      each([&](double, double k, double, double, double s) {
        double res = s <= ls ? s - 0.5 : k;
        res = (s > ls && s < upper) ? 0.0 : res;
        return s >= upper ? s - 0.5 : res;
      });
    } else {
      each([&](double, double k, double, double, double s) { return (s > ls && s < upper) ? 0.0 : k; });
    }
  }, rows);
  return out;
}

}  // namespace

Matrix longshort(const MatView& x, double longshort, LongShortMode mode, const MatView* score,
                 const MatView* base, Rows rows) {
  return longshort_of(x, longshort, mode, score, base, rows);
}
Matrix longshort(const RowView& x, double longshort, LongShortMode mode, const MatView* score,
                 const MatView* base, Rows rows) {
  return longshort_of(x, longshort, mode, score, base, rows);
}

}  // namespace varlo::ops
