// The ranker and the selector (declared in rank.hpp).
#include "rank.hpp"

#include <algorithm>
#include <cmath>

namespace varlo::ops {

std::size_t Ranker::rank_lean(const double* v, std::size_t stride, std::size_t n, double* out, bool absolute) {
  idx_.clear();
  idx_.reserve(n);  // once, not by doublings: a wide row's positions are half its values
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

void Ranker::rank_range(const double* x, const std::uint32_t* ix, std::size_t m, std::size_t base, int depth,
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
  const BucketMap bucket(lo, hi, nb);
  L.sb.resize(m);
  L.start.assign(nb + 1, 0);
  for (std::size_t i = 0; i < m; ++i) {
    const std::uint32_t b = bucket(x[i]);
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

void Ranker::sort_range(const double* x, const std::uint32_t* ix, std::size_t m, std::size_t base,
                        std::size_t stride, double* out) {
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

std::size_t Ranker::rank(const double* v, std::size_t stride, std::size_t n, double* out, bool absolute, bool lean) {
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

void Selector::select(const double* buf, std::size_t m, std::size_t j1, std::size_t j2, Pick& p1, Pick& p2) {
  const auto [lo, hi] = finite_range(buf, m);
  if (!(hi > lo)) {
    // at most one finite value: the row itself is the one bucket
    bucket_.assign(m, 0);
    count_.assign(1, static_cast<std::uint32_t>(m));
  } else {
    const std::size_t nb = 2 * m;
    const BucketMap bucket(lo, hi, nb);
    bucket_.resize(m);
    count_.assign(nb, 0);
    for (std::size_t i = 0; i < m; ++i) {
      const std::uint32_t b = bucket(buf[i]);
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

Pick Selector::pick(double* part, std::size_t n, std::size_t k, std::size_t before) {
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

std::size_t Selector::bucket_of(std::size_t m, std::size_t j, std::size_t& before) const {
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

}  // namespace varlo::ops
