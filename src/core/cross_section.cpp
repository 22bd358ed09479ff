// Kernels across one date's symbols: scale, sign, centre, ranks, industry neutralisation, index futures.
#include <cmath>
#include <cstring>
#include <type_traits>

#include "interrupt.hpp"
#include "operators.hpp"
#include "parallel.hpp"
#include "rank.hpp"
#include "reduce.hpp"
#include "tiles.hpp"

namespace varlo::ops {

// Row sums and one division or subtraction per value: bound by memory, a second thread only pays on
// frames of millions of values (at 2,500 x 100 its start costs more than it saves).
constexpr std::size_t kStreamingWork = 8;

namespace {

// Runs fn(block, ld, r0, nr) over consecutive dates r0 .. r0 + nr, `block` holding them column-major with
// columns `ld` apart: a column-major matrix where it lies (one chunk per thread), a row-major one a tile
// of dates at a time through a column-major copy (a date at a time where it lies when there are few), so
// that both take the same arithmetic.
// A column-major chunk goes in pieces of at least 2^22 values (dates x symbols, some milliseconds of
// streaming), a check for Ctrl-C between them.
template <class Fn>
void by_row_blocks(const MatView& x, std::size_t work, Fn&& fn) {
  const std::size_t piece = std::max<std::size_t>(256, (std::size_t{1} << 22) / std::max<std::size_t>(x.cols, 1));
  parallel_for(x.rows, work, [&](std::size_t r0, std::size_t r1) {
    std::size_t p0 = r0;
    for (; r1 - p0 > piece; p0 += piece) {
      fn(x.data + p0, x.rows, p0, piece);
      interruption_point();
    }
    fn(x.data + p0, x.rows, p0, r1 - p0);
  });
}
template <class Fn>
void by_row_blocks(const RowView& x, std::size_t work, Fn&& fn) {
  if (x.rows <= kTile) {  // one tile would copy the whole frame: each date where it lies instead
    parallel_for(x.rows, work, [&](std::size_t r0, std::size_t r1) {
      InterruptPacer pacer;
      for (std::size_t r = r0; r < r1; ++r) {
        pacer.step(x.cols);
        fn(x.data + r * x.cols, 1, r, 1);
      }
    });
    return;
  }
  const std::size_t blocks = (x.rows + kTile - 1) / kTile;
  parallel_for(blocks, work, [&](std::size_t b0, std::size_t b1) {
    std::vector<double> buf(std::min(kTile, x.rows) * x.cols);
    InterruptPacer pacer;
    for (std::size_t b = b0; b < b1; ++b) {
      pacer.step(kTile * x.cols);
      const std::size_t r0 = b * kTile, nr = std::min(kTile, x.rows - r0);
      load_rows(x, r0, nr, buf.data(), nr);
      fn(buf.data(), nr, r0, nr);
    }
  });
}

// f of every value, in a column-major result.
template <class F>
Matrix map_values(const MatView& x, F&& f) {
  Matrix out(x.rows, x.cols);
  for (std::size_t i0 = 0; i0 < x.size(); i0 += InterruptPacer::kWork) {
    interruption_point();
    const std::size_t i1 = std::min(x.size(), i0 + InterruptPacer::kWork);
    for (std::size_t i = i0; i < i1; ++i) out.data[i] = f(x.data[i]);
  }
  return out;
}
template <class F>
Matrix map_values(const RowView& x, F&& f) {
  Matrix out(x.rows, x.cols);
  InterruptPacer pacer;
  for (std::size_t r0 = 0; r0 < x.rows; r0 += kTile) {
    pacer.step(kTile * x.cols);
    const std::size_t nr = std::min(kTile, x.rows - r0);
    const double* in = x.data + r0 * x.cols;
    for (std::size_t c = 0; c < x.cols; ++c) {
      double* o = out.data.data() + c * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) o[r] = f(in[r * x.cols + c]);
    }
  }
  return out;
}

double sign_of(double v) { return v > 0 ? 1.0 : (v < 0 ? -1.0 : v); }

template <class View>
Matrix scale_of(const View& x) {
  Matrix out(x.rows, x.cols);
  by_row_blocks(x, x.size() / kStreamingWork, [&](const double* in, std::size_t ld, std::size_t r0, std::size_t nr) {
    std::vector<double> sum(nr), count(nr);
    block_row_sums(in, ld, nr, x.cols, sum.data(), count.data(), true, x.rows == 1);
    for (double& s : sum) s = s == 0.0 ? 1.0 : s;
    for (std::size_t c = 0; c < x.cols; ++c) {
      const double* v = in + c * ld;
      double* o = out.data.data() + c * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) o[r] = v[r] / sum[r];
    }
  });
  return out;
}

template <class View>
Matrix center_of(const View& x, double c) {
  Matrix out(x.rows, x.cols);
  by_row_blocks(x, x.size() / kStreamingWork, [&](const double* in, std::size_t ld, std::size_t r0, std::size_t nr) {
    std::vector<double> sum(nr), count(nr);
    block_row_sums(in, ld, nr, x.cols, sum.data(), count.data(), false, x.rows == 1);
    for (std::size_t r = 0; r < nr; ++r) sum[r] = sum[r] / count[r] - c;
    for (std::size_t k = 0; k < x.cols; ++k) {
      const double* v = in + k * ld;
      double* o = out.data.data() + k * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) o[r] = v[r] - sum[r];
    }
  });
  return out;
}

template <class View>
Matrix rank_pct_of(const View& x) {
  Matrix out(x.rows, x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    w.rank_rows(t);
    w.pct(t);
  });
  return out;
}

template <class View>
Matrix rank_center_of(const View& x) {
  Matrix out(x.rows, x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    w.rank_rows(t);
    w.pct(t);
    w.mean_shift(t, t.res, 0.0, w.shift);
    w.subtract_shift(t);
  });
  return out;
}

template <class View>
Matrix abs_rank_of(const View& x) {
  Matrix out(x.rows, x.cols);
  by_tiles<RankWork>(x, out, [&](Tile& t, RankWork& w) {
    w.rank_rows(t, true);
    w.pct(t);
    for (std::size_t c = 0; c < t.n; ++c) {
      const double* v = t.x + c * t.ld;
      double* p = t.res + c * t.ld;
      for (std::size_t r = 0; r < t.nr; ++r) p[r] = sign_of(v[r]) * p[r];
    }
  });
  return out;
}

}  // namespace

Matrix scale(const MatView& x) { return scale_of(x); }
Matrix scale(const RowView& x) { return scale_of(x); }
Matrix sign(const MatView& x) { return map_values(x, sign_of); }
Matrix sign(const RowView& x) { return map_values(x, sign_of); }
Matrix center(const MatView& x, double c) { return center_of(x, c); }
Matrix center(const RowView& x, double c) { return center_of(x, c); }
Matrix rank_pct(const MatView& x) { return rank_pct_of(x); }
Matrix rank_pct(const RowView& x) { return rank_pct_of(x); }
Matrix rank_center(const MatView& x) { return rank_center_of(x); }
Matrix rank_center(const RowView& x) { return rank_center_of(x); }
Matrix abs_rank(const MatView& x) { return abs_rank_of(x); }
Matrix abs_rank(const RowView& x) { return abs_rank_of(x); }

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

namespace {

template <class View>
Matrix neutral_of(const View& x, std::span<const std::int32_t> group, std::size_t n_groups, double least_number) {
  constexpr bool row_major = std::is_same_v<View, RowView>;
  Matrix out(x.rows, x.cols);
  // Dates per pass: keeps the per-industry sums small and cached, and within the frame's own size; a
  // row-major frame's dates are copied column-major a tile at a time, or, when one tile would be the
  // whole frame, read a date at a time where they lie.
  const bool by_date = row_major && x.rows <= kTile;
  const std::size_t block = by_date ? 1 : std::min<std::size_t>(row_major ? kTile : 256, std::max<std::size_t>(x.rows, 1));
  const std::size_t blocks = (x.rows + block - 1) / block;
  parallel_for(blocks, x.size() * 2, [&](std::size_t b0, std::size_t b1) {
  std::vector<double> sum(n_groups * block), comp(n_groups * block), nobs(n_groups * block);
  std::vector<double> rows(row_major && !by_date ? block * x.cols : 0);
  InterruptPacer pacer;
  for (std::size_t r0 = b0 * block; r0 < std::min(x.rows, b1 * block); r0 += block) {
    pacer.step(block * x.cols);
    const std::size_t nr = std::min(block, x.rows - r0);
    const double* in = nullptr;  // the dates r0 .. r0 + nr, column-major, columns ld apart
    std::size_t ld = 0;
    if constexpr (row_major) {
      if (by_date) {
        in = x.data + r0 * x.cols;
        ld = 1;
      } else {
        load_rows(x, r0, nr, rows.data(), block);
        in = rows.data();
        ld = block;
      }
    } else {
      in = x.data + r0;
      ld = x.rows;
    }
    std::fill(sum.begin(), sum.end(), 0.0);
    std::fill(comp.begin(), comp.end(), 0.0);
    std::fill(nobs.begin(), nobs.end(), 0.0);
    // pandas' grouped mean: Kahan sum over the members in column order; an infinity resets the
    // compensation so the mean stays infinite.
    for (std::size_t c = 0; c < x.cols; ++c) {
      if (group[c] < 0) continue;
      const std::size_t g = static_cast<std::size_t>(group[c]) * block;
      kahan_add_column(in + c * ld, sum.data() + g, comp.data() + g, nobs.data() + g, nr);
    }
    for (std::size_t i = 0; i < n_groups * block; ++i) {
      const double mean = sum[i] / nobs[i];
      sum[i] = nobs[i] >= least_number ? mean : 0.0;
    }
    for (std::size_t c = 0; c < x.cols; ++c) {
      if (group[c] < 0) continue;  // no industry: left NaN
      const double* mean = sum.data() + static_cast<std::size_t>(group[c]) * block;
      const double* v = in + c * ld;
      double* o = out.data.data() + c * x.rows + r0;
      for (std::size_t r = 0; r < nr; ++r) o[r] = v[r] - mean[r];
    }
  }
  });
  return out;
}

double index_futures_of(double v, double positive_multiplier) {
  return v < 0 ? kNaN : (v > 0 ? v * positive_multiplier : v);
}

}  // namespace

Matrix neutral(const MatView& x, std::span<const std::int32_t> group, std::size_t n_groups, double least_number) {
  return neutral_of(x, group, n_groups, least_number);
}
Matrix neutral(const RowView& x, std::span<const std::int32_t> group, std::size_t n_groups, double least_number) {
  return neutral_of(x, group, n_groups, least_number);
}

Matrix index_futures(const MatView& x, double positive_multiplier) {
  return map_values(x, [=](double v) { return index_futures_of(v, positive_multiplier); });
}
Matrix index_futures(const RowView& x, double positive_multiplier) {
  return map_values(x, [=](double v) { return index_futures_of(v, positive_multiplier); });
}

}  // namespace varlo::ops
