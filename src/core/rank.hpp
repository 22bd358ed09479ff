// Ranking within one cross-section: average ranks of a row (the ranker) and the k-th smallest values of a
// row (the selector), both over one mapping of values into buckets spread between the row's extremes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "matrix.hpp"

namespace varlo::ops {

inline constexpr double kInf = std::numeric_limits<double>::infinity();

inline bool is_nan(double v) { return v != v; }

// Smallest and largest finite value (lo > hi when there is none).
inline std::pair<double, double> finite_range(const double* x, std::size_t m) {
  double lo = kInf, hi = -kInf;
  for (std::size_t i = 0; i < m; ++i) {
    const double a = x[i];
    const bool finite = a - a == 0.0;
    lo = finite && a < lo ? a : lo;
    hi = finite && a > hi ? a : hi;
  }
  return {lo, hi};
}


// Buckets 0 .. n - 1 spread linearly over the finite span lo < hi: -inf and lo go to the first, +inf and
// hi to the last. Halves keep the span finite; every step is monotone in the value, so bucket order is
// value order and equal values share a bucket.
class BucketMap {
 public:
  BucketMap(double lo, double hi, std::size_t n)
      : scale_(static_cast<double>(n) / (hi * 0.5 - lo * 0.5)), half_lo_(lo * 0.5), top_(static_cast<double>(n - 1)) {}
  std::uint32_t operator()(double x) const {
    double t = (x * 0.5 - half_lo_) * scale_;
    t = t > 0 ? t : 0.0;
    t = t < top_ ? t : top_;
    return static_cast<std::uint32_t>(t);
  }

 private:
  double scale_, half_lo_, top_;
};

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
                   bool lean = false);

 private:
  static constexpr std::size_t kSmall = 4;
  static constexpr int kMaxDepth = 3;

  struct Level {
    std::vector<double> sv;
    std::vector<std::uint32_t> si, sb, sp, start;
  };

  std::size_t rank_lean(const double* v, std::size_t stride, std::size_t n, double* out, bool absolute);

  // Ranks the m values x (original positions ix) as places base+1 .. base+m.
  void rank_range(const double* x, const std::uint32_t* ix, std::size_t m, std::size_t base, int depth,
                  std::size_t stride, double* out);

  void sort_range(const double* x, const std::uint32_t* ix, std::size_t m, std::size_t base, std::size_t stride,
                  double* out);

  std::vector<double> vals_;
  std::vector<std::uint32_t> idx_, fill_;
  std::vector<Level> levels_ = std::vector<Level>(kMaxDepth);
  std::vector<std::pair<double, std::uint32_t>> pairs_;
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
  void select(const double* buf, std::size_t m, std::size_t j1, std::size_t j2, Pick& p1, Pick& p2);

 private:
  // The bucket holding place j, and the number of values in the buckets below it.
  std::size_t bucket_of(std::size_t m, std::size_t j, std::size_t& before) const;

  // The k-th smallest (1-based) of a bucket's n members, `before` values lying below the bucket.
  static Pick pick(double* part, std::size_t n, std::size_t k, std::size_t before);

  std::vector<std::uint32_t> bucket_, count_;
  std::vector<double> part1_, part2_;
};

}  // namespace varlo::ops
