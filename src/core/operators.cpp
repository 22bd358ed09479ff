#include "operators.hpp"
#include "thread_budget.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <thread>
#include <utility>

namespace varlo::ops {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// Smallest and largest finite value (lo > hi when there is none).
std::pair<double, double> finite_range(const double* x, std::size_t m) {
  double lo = kInf, hi = -kInf;
  for (std::size_t i = 0; i < m; ++i) {
    const double a = x[i];
    const bool finite = a - a == 0.0;
    lo = finite && a < lo ? a : lo;
    hi = finite && a > hi ? a : hi;
  }
  return {lo, hi};
}

bool is_nan(double v) { return v != v; }

// Runs fn(begin, end) over [0, n) in contiguous chunks, on several threads when there is enough work
// (`work` elements in all) to pay for starting them, and at most `max_threads`. The first exception is
// rethrown here.
template <class Fn>
void parallel_for(std::size_t n, std::size_t work, Fn&& fn, std::size_t max_threads = SIZE_MAX) {
  constexpr std::size_t kMinWork = 1 << 16;
  const std::size_t hw = thread_budget();
  const std::size_t t = std::min({hw, std::size_t{8}, n, work / kMinWork, max_threads});
  if (t <= 1) {
    if (n > 0) fn(std::size_t{0}, n);
    return;
  }
  std::vector<std::exception_ptr> errors(t);
  std::vector<std::thread> threads;
  threads.reserve(t - 1);
  auto chunk = [&](std::size_t k) {
    try {
      fn(n * k / t, n * (k + 1) / t);
    } catch (...) {
      errors[k] = std::current_exception();
    }
  };
  for (std::size_t k = 1; k < t; ++k) threads.emplace_back(chunk, k);
  chunk(0);
  for (auto& th : threads) th.join();
  for (const auto& e : errors) {
    if (e) std::rethrow_exception(e);
  }
}

// numpy's pairwise summation over get(0) .. get(n - 1).
template <class Get>
double pairwise_sum_by(std::size_t n, Get&& get, std::size_t off = 0) {
  if (n < 8) {
    double res = -0.0;
    for (std::size_t i = 0; i < n; ++i) res += get(off + i);
    return res;
  }
  if (n <= 128) {
    double r[8];
    for (std::size_t j = 0; j < 8; ++j) r[j] = get(off + j);
    std::size_t i = 8;
    for (; i < n - (n % 8); i += 8) {
      for (std::size_t j = 0; j < 8; ++j) r[j] += get(off + i + j);
    }
    double res = ((r[0] + r[1]) + (r[2] + r[3])) + ((r[4] + r[5]) + (r[6] + r[7]));
    for (; i < n; ++i) res += get(off + i);
    return res;
  }
  std::size_t n2 = n / 2;
  n2 -= n2 % 8;
  return pairwise_sum_by(n2, get, off) + pairwise_sum_by(n - n2, get, off + n2);
}

// Per-row NaN-skipping sums of nr rows of n columns, get(r, c) the value, the way pandas adds them for a
// row mean: NaN as 0, in column order, starting from the first column. A frame of a single date is one
// contiguous row to numpy, which then sums it pairwise (`single_row`).
template <class Get>
void row_sums_by(std::size_t nr, std::size_t n, Get&& get, double* sum, double* count, bool single_row) {
  for (std::size_t r = 0; r < nr; ++r) {
    sum[r] = 0.0;
    count[r] = 0.0;
  }
  if (single_row && nr == 1) {
    sum[0] = pairwise_sum_by(n, [&](std::size_t c) {
      const double v = get(0, c);
      return v == v ? v : 0.0;
    });
    for (std::size_t c = 0; c < n; ++c) count[0] += get(0, c) == get(0, c) ? 1.0 : 0.0;
    return;
  }
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t r = 0; r < nr; ++r) {
      const double v = get(r, c);
      const bool ok = v == v;
      const double z = ok ? v : 0.0;
      sum[r] = c == 0 ? z : sum[r] + z;
      count[r] += ok ? 1.0 : 0.0;
    }
  }
}

// row_sums_by over a column-major block (stride `ld` between columns), of the values or their magnitudes.
void block_row_sums(const double* x, std::size_t ld, std::size_t nr, std::size_t n, double* sum, double* count,
                    bool absolute, bool single_row = false) {
  if (absolute) {
    row_sums_by(nr, n, [&](std::size_t r, std::size_t c) { return std::fabs(x[c * ld + r]); }, sum, count, single_row);
  } else {
    row_sums_by(nr, n, [&](std::size_t r, std::size_t c) { return x[c * ld + r]; }, sum, count, single_row);
  }
}

// Average ranks (1 for the lowest) of a row's non-NaN values, ties sharing the mean of their places;
// NaN stays NaN. Values go into buckets by linear interpolation between the extremes (a counting sort),
// so a cross-section ranks in about linear time without data-dependent branches: a value in a bucket of
// at most four is ranked by counting against its bucket, a crowded bucket is bucketed again by its own
// extremes, and one that stays crowded is sorted. The buckets take some 48 bytes a value; `lean` ranks
// by sorting positions instead (4 bytes a value), for rows too wide for the frame to pay that.
class Ranker {
 public:
  // Reads v[j * stride] (its magnitude when `absolute`) and writes out[j * stride] for j < n; returns the
  // non-NaN count.
  std::size_t rank(const double* v, std::size_t stride, std::size_t n, double* out, bool absolute = false,
                   bool lean = false) {
    if (lean) return rank_lean(v, stride, n, out, absolute);
    vals_.resize(n);
    idx_.resize(n);
    std::size_t m = 0;
    for (std::size_t j = 0; j < n; ++j) {
      const double x = absolute ? std::fabs(v[j * stride]) : v[j * stride];
      out[j * stride] = kNaN;
      vals_[m] = x;
      idx_[m] = static_cast<std::uint32_t>(j);
      m += is_nan(x) ? 0 : 1;
    }
    if (m > 0) rank_range(vals_.data(), idx_.data(), m, 0, 0, stride, out);
    return m;
  }

 private:
  static constexpr std::size_t kSmall = 4;
  static constexpr int kMaxDepth = 3;

  struct Level {
    std::vector<double> sv;
    std::vector<std::uint32_t> si, sb, sp, start;
  };

  std::size_t rank_lean(const double* v, std::size_t stride, std::size_t n, double* out, bool absolute) {
    idx_.clear();
    for (std::size_t j = 0; j < n; ++j) {
      const double x = v[j * stride];
      out[j * stride] = kNaN;
      if (!is_nan(x)) idx_.push_back(static_cast<std::uint32_t>(j));
    }
    const auto value = [&](std::uint32_t j) { return absolute ? std::fabs(v[j * stride]) : v[j * stride]; };
    std::sort(idx_.begin(), idx_.end(), [&](std::uint32_t a, std::uint32_t b) { return value(a) < value(b); });
    const std::size_t m = idx_.size();
    std::size_t i0 = 0;
    while (i0 < m) {
      std::size_t i1 = i0;
      while (i1 + 1 < m && value(idx_[i1 + 1]) == value(idx_[i0])) ++i1;
      const double avg = static_cast<double>(i0 + i1 + 2) * 0.5;
      for (std::size_t i = i0; i <= i1; ++i) out[idx_[i] * stride] = avg;
      i0 = i1 + 1;
    }
    return m;
  }

  // Ranks the m values x (original positions ix) as places base+1 .. base+m.
  void rank_range(const double* x, const std::uint32_t* ix, std::size_t m, std::size_t base, int depth,
                  std::size_t stride, double* out) {
    if (m <= kSmall || depth >= kMaxDepth) {
      if (m <= kSmall) {
        for (std::size_t i = 0; i < m; ++i) {
          std::size_t less = 0, equal = 0;
          for (std::size_t q = 0; q < m; ++q) {
            less += x[q] < x[i] ? 1 : 0;
            equal += x[q] == x[i] ? 1 : 0;
          }
          out[ix[i] * stride] = static_cast<double>(base + less) + static_cast<double>(equal + 1) * 0.5;
        }
      } else {
        sort_range(x, ix, m, base, stride, out);
      }
      return;
    }
    const auto [lo, hi] = finite_range(x, m);
    if (!(hi > lo)) {
      // one finite value at most, with infinities: all ties but for the infinities' sides
      sort_range(x, ix, m, base, stride, out);
      return;
    }
    Level& L = levels_[static_cast<std::size_t>(depth)];
    const std::size_t nb = 2 * m;
    // Halves keep the span finite; every step is monotone in the value, so bucket order is value order.
    const double scale = static_cast<double>(nb) / (hi * 0.5 - lo * 0.5);
    const double half_lo = lo * 0.5;
    const auto top = static_cast<double>(nb - 1);
    L.sb.resize(m);
    L.start.assign(nb + 1, 0);
    for (std::size_t i = 0; i < m; ++i) {
      double t = (x[i] * 0.5 - half_lo) * scale;
      t = t > 0 ? t : 0.0;  // -inf and lo
      t = t < top ? t : top;  // +inf and hi
      const auto b = static_cast<std::uint32_t>(t);
      L.sb[i] = b;
      ++L.start[b + 1];
    }
    for (std::size_t b = 0; b < nb; ++b) L.start[b + 1] += L.start[b];
    L.sv.resize(m + kSmall);
    L.si.resize(m);
    L.sp.resize(m);
    fill_.assign(L.start.begin(), L.start.end() - 1);
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t b = L.sb[i];
      const std::uint32_t pos = fill_[b]++;
      L.sv[pos] = x[i];
      L.si[pos] = ix[i];
      L.sp[pos] = b;  // the bucket of each sorted place
    }
    for (std::size_t k = m; k < m + kSmall; ++k) L.sv[k] = kNaN;
    std::size_t p = 0;
    while (p < m) {
      const std::uint32_t b = L.sp[p];
      const std::size_t s = L.start[b], e = L.start[b + 1];
      if (e - s > kSmall) {
        rank_range(L.sv.data() + s, L.si.data() + s, e - s, base + s, depth + 1, stride, out);
        p = e;
        continue;
      }
      // Counting against the (at most four) members of the bucket, a fixed number of slots.
      const double a = L.sv[p];
      const double* q = L.sv.data() + s;
      const std::size_t size = e - s;
      double less_in = 0, equal_in = 0;
      for (std::size_t k = 0; k < kSmall; ++k) {
        const bool in = k < size;
        less_in += (in && q[k] < a) ? 1.0 : 0.0;
        equal_in += (in && q[k] == a) ? 1.0 : 0.0;
      }
      out[L.si[p] * stride] = static_cast<double>(base + s) + less_in + (equal_in + 1) * 0.5;
      ++p;
    }
  }

  void sort_range(const double* x, const std::uint32_t* ix, std::size_t m, std::size_t base, std::size_t stride,
                  double* out) {
    pairs_.clear();
    for (std::size_t i = 0; i < m; ++i) pairs_.emplace_back(x[i], ix[i]);
    std::sort(pairs_.begin(), pairs_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::size_t i0 = 0;
    while (i0 < m) {
      std::size_t i1 = i0;
      while (i1 + 1 < m && pairs_[i1 + 1].first == pairs_[i0].first) ++i1;
      const double avg = static_cast<double>(base) + static_cast<double>(i0 + i1 + 2) * 0.5;
      for (std::size_t i = i0; i <= i1; ++i) out[pairs_[i].second * stride] = avg;
      i0 = i1 + 1;
    }
  }

  std::vector<double> vals_;
  std::vector<std::uint32_t> idx_, fill_;
  std::vector<Level> levels_ = std::vector<Level>(kMaxDepth);
  std::vector<std::pair<double, std::uint32_t>> pairs_;
};

// Row-wise kernels work on tiles of consecutive dates: within a tile a date's cross-section is close
// together, and per-element steps run down contiguous columns.
constexpr std::size_t kTile = 32;
// Below this many dates the bucket ranker's scratch would outweigh the frame; see Ranker.
constexpr std::size_t kLeanRows = 12;
constexpr std::size_t kLeanCols = 1024;

// A tile's input and results, `ld` apart from one column to the next.
struct Tile {
  std::size_t r0 = 0, nr = 0, n = 0, ld = 0;
  const double* x = nullptr;
  double* res = nullptr;
};

// Calls fn(tile, worker) for every tile of x, results into out; Worker holds the scratch space of one
// thread and is built from the column count. A matrix of one tile is read and written where it lies;
// larger ones are copied tile by tile into two buffers per thread, tiles of at most a quarter of the
// dates, each thread taking at least four: scratch stays within half a frame whatever the shape.
template <class Worker, class Fn>
void by_tiles(const MatView& x, Matrix& out, Fn&& fn) {
  if (x.rows == 0 || x.cols == 0) return;
  const bool lean = x.rows < kLeanRows && x.cols >= kLeanCols;
  if (x.rows <= kTile) {
    Worker worker(x.cols);
    worker.single_row = x.rows == 1;
    worker.lean = lean;
    Tile t{0, x.rows, x.cols, x.rows, x.data, out.data.data()};
    fn(t, worker);
    return;
  }
  const std::size_t height = std::min(kTile, x.rows / 4);
  const std::size_t tiles = (x.rows + height - 1) / height;
  parallel_for(tiles, x.size() * 4, [&](std::size_t t0, std::size_t t1) {
    std::vector<double> in(height * x.cols), res(height * x.cols);
    Worker worker(x.cols);
    for (std::size_t k = t0; k < t1; ++k) {
      Tile t{k * height, std::min(height, x.rows - k * height), x.cols, height, in.data(), res.data()};
      for (std::size_t c = 0; c < x.cols; ++c) {
        std::memcpy(in.data() + c * height, x.data + c * x.rows + t.r0, t.nr * sizeof(double));
      }
      fn(t, worker);
      for (std::size_t c = 0; c < x.cols; ++c) {
        std::memcpy(out.data.data() + c * x.rows + t.r0, res.data() + c * height, t.nr * sizeof(double));
      }
    }
  }, tiles / 4);
}

// Scratch and steps of the rank-based kernels: per-row figures of a tile.
struct RankWork {
  Ranker ranker;
  double cnt[kTile], sum[kTile], shift[kTile], shift2[kTile], unused[kTile];
  bool single_row = false;  // the whole matrix is one date
  bool lean = false;
  explicit RankWork(std::size_t) {}

  // Average ranks of each row of the tile's input (of its magnitudes when `absolute`) into t.res, counts
  // into cnt.
  void rank_rows(const Tile& t, bool absolute = false) {
    for (std::size_t r = 0; r < t.nr; ++r) {
      cnt[r] = static_cast<double>(ranker.rank(t.x + r, t.ld, t.n, t.res + r, absolute, lean));
    }
  }
  // res / cnt in place: rank(pct=True).
  void pct(const Tile& t) const {
    for (std::size_t c = 0; c < t.n; ++c) {
      double* d = t.res + c * t.ld;
      for (std::size_t r = 0; r < t.nr; ++r) d[r] = d[r] / cnt[r];
    }
  }
  // to[r] = row mean of the block buf - c (pandas' mean(axis=1) - center), the row's count being cnt.
  void mean_shift(const Tile& t, const double* buf, double c, double* to) {
    block_row_sums(buf, t.ld, t.nr, t.n, sum, unused, false, single_row);
    for (std::size_t r = 0; r < t.nr; ++r) to[r] = sum[r] / cnt[r] - c;
  }
  // The same over the percentile ranks res / cnt while res still holds the ranks.
  void pct_mean_shift(const Tile& t, double c, double* to) {
    const auto pct_at = [&](std::size_t r, std::size_t k) { return t.res[k * t.ld + r] / cnt[r]; };
    row_sums_by(t.nr, t.n, pct_at, sum, unused, single_row);
    for (std::size_t r = 0; r < t.nr; ++r) to[r] = sum[r] / cnt[r] - c;
  }
  // res -= shift per row, in place.
  void subtract_shift(const Tile& t) const {
    for (std::size_t c = 0; c < t.n; ++c) {
      double* d = t.res + c * t.ld;
      for (std::size_t r = 0; r < t.nr; ++r) d[r] = d[r] - shift[r];
    }
  }
};

}  // namespace


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

// Sides of one row from average-rank thresholds, without ranking every value: a value is short when its
// ascending average rank (less + (equal + 1) / 2) is at most `a`, long when its descending one is at most
// `b`. Both are monotone in the value, so each side is the values beyond the k-th smallest (largest) one,
// found by selection, plus that value's ties when their shared rank passes.
struct SideCut {
  double lo = -kInf, hi = kInf;   // short: v < lo, or v == lo when lo_ties; long: v > hi, or v == hi when hi_ties
  bool lo_ties = false, hi_ties = false;
  std::size_t shorts = 0, longs = 0;  // sizes of the sides
};

// A value of a row with the number of the row's values below it and equal to it.
struct Pick {
  double value = kNaN;
  std::size_t less = 0, equal = 0;
};

// The j1-th and j2-th smallest of the m values in buf (1-based places, 0 for none wanted), without sorting:
// a counting pass over buckets spread linearly between the finite extremes (the mapping is monotone, so
// bucket order is value order and equal values share a bucket) finds the bucket holding each place, and
// only that bucket's few members are ordered and counted.
class Selector {
 public:
  void select(const double* buf, std::size_t m, std::size_t j1, std::size_t j2, Pick& p1, Pick& p2) {
    const auto [lo, hi] = finite_range(buf, m);
    if (!(hi > lo)) {
      // at most one finite value: the row itself is the one bucket
      bucket_.assign(m, 0);
      count_.assign(1, static_cast<std::uint32_t>(m));
    } else {
      const std::size_t nb = 2 * m;
      const double scale = static_cast<double>(nb) / (hi * 0.5 - lo * 0.5);
      const double half_lo = lo * 0.5;
      const auto top = static_cast<double>(nb - 1);
      bucket_.resize(m);
      count_.assign(nb, 0);
      for (std::size_t i = 0; i < m; ++i) {
        double t = (buf[i] * 0.5 - half_lo) * scale;
        t = t > 0 ? t : 0.0;  // -inf and lo
        t = t < top ? t : top;  // +inf and hi
        const auto b = static_cast<std::uint32_t>(t);
        bucket_[i] = b;
        ++count_[b];
      }
    }
    std::size_t before1 = 0, before2 = 0;
    const std::size_t b1 = j1 > 0 ? bucket_of(m, j1, before1) : count_.size();
    const std::size_t b2 = j2 > 0 ? bucket_of(m, j2, before2) : count_.size();
    part1_.resize(m + 1);
    part2_.resize(m + 1);
    std::size_t n1 = 0, n2 = 0;
    for (std::size_t i = 0; i < m; ++i) {
      const double v = buf[i];
      part1_[n1] = v;
      n1 += bucket_[i] == b1 ? 1 : 0;
      part2_[n2] = v;
      n2 += bucket_[i] == b2 ? 1 : 0;
    }
    if (j1 > 0) p1 = pick(part1_.data(), n1, j1 - before1, before1);
    if (j2 > 0) p2 = pick(part2_.data(), n2, j2 - before2, before2);
  }

 private:
  // The bucket holding place j, and the number of values in the buckets below it.
  std::size_t bucket_of(std::size_t m, std::size_t j, std::size_t& before) const {
    std::size_t b = 0;
    before = 0;
    if (2 * j <= m) {
      while (before + count_[b] < j) before += count_[b++];
    } else {
      std::size_t after = 0;  // values in the buckets above b
      b = count_.size() - 1;
      while (m - after - count_[b] >= j) after += count_[b--];
      before = m - after - count_[b];
    }
    return b;
  }

  // The k-th smallest (1-based) of a bucket's n members, `before` values lying below the bucket.
  static Pick pick(double* part, std::size_t n, std::size_t k, std::size_t before) {
    std::nth_element(part, part + (k - 1), part + n);
    Pick p;
    p.value = part[k - 1];
    p.less = before;
    for (std::size_t i = 0; i < n; ++i) {
      p.less += part[i] < p.value ? 1 : 0;
      p.equal += part[i] == p.value ? 1 : 0;
    }
    return p;
  }

  std::vector<std::uint32_t> bucket_, count_;
  std::vector<double> part1_, part2_;
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
Matrix longshort_by_selection(const MatView& x, double ls, LongShortMode mode) {
  const bool count_form = ls >= 1;
  const bool centred = mode == LongShortMode::keep_distance;
  Matrix out(x.rows, x.cols);
  struct Work {
    Selector sel;
    Ranker ranker;
    std::vector<double> buf, row, rank;
    double shift[kTile], sum[kTile], count[kTile];
    double lo[kTile], hi[kTile];  // a row's SideCut as inclusive bounds; NaN: no side
    bool single_row = false, lean = false;
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
  });
  return out;
}

}  // namespace
Matrix longshort(const MatView& x, double longshort, LongShortMode mode, const MatView* score,
                 const MatView* base) {
  const bool lean = x.rows < kLeanRows && x.cols >= kLeanCols;  // the selector's scratch is the ranker's
  if (score == nullptr && base == nullptr && std::isfinite(longshort) && mode != LongShortMode::keep_rank && !lean) {
    return longshort_by_selection(x, longshort, mode);
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
  Matrix out(x.rows, x.cols);
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
  });
  return out;
}

Matrix smooth_simple(const MatView& x, std::size_t window) {
  Matrix out(x.rows, x.cols);
  if (window == 0) return out;
  const auto nobs_needed = static_cast<std::ptrdiff_t>(window);
  parallel_for(x.cols, x.size() * 2, [&](std::size_t c0, std::size_t c1) {
  for (std::size_t c = c0; c < c1; ++c) {
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

double pairwise_sum(const double* a, std::size_t n) {
  return pairwise_sum_by(n, [a](std::size_t i) { return a[i]; });
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
  for (std::size_t c = c0; c < c1; ++c) {
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
  });
  return out;
}

namespace {

// One member column added into its industry's running sums. Two dates at a time through the compiler's
// vector types: it does not turn the NaN tests of the plain loop into selects by itself.
using Double2 = double __attribute__((vector_size(16)));

void kahan_add(const double* __restrict v, double* __restrict gs, double* __restrict gc, double* __restrict gn,
               std::size_t nr) {
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
    const double a = v[r];
    const bool ok = a == a;
    const double y = a - gc[r];
    const double t = gs[r] + y;
    const double cp = t - gs[r] - y;
    gn[r] += ok ? 1.0 : 0.0;
    gc[r] = ok ? (cp == cp ? cp : 0.0) : gc[r];
    gs[r] = ok ? t : gs[r];
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
      kahan_add(x.data + c * x.rows + r0, sum.data() + g, comp.data() + g, nobs.data() + g, nr);
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
