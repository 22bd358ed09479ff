// Layer analysis of a stored alpha: each date's symbols split into s layers by ascending alpha, and the
// layers' mean alpha and mean next-day return compared over time. A layer empty on a date counts as NaN
// there; only the result itself grows with s, never the work per date.
#pragma once

#include <cstddef>
#include <vector>

#include "interrupt.hpp"
#include "matrix.hpp"

namespace varlo {

struct Layers {
  std::vector<double> mean_alpha;  // per kept layer, over dates, NaN skipped (np.nanmean, axis 0)
  std::vector<double> sum_return;  // per kept layer, over dates, NaN as 0 (np.nansum, axis 0)
  Matrix cumulative;  // dates x (k + 2): np.nancumsum per kept layer, then the row mean "all", then top - bottom
  std::vector<std::size_t> kept;  // the layers (0-based) whose running sums `cumulative` holds, ascending
};

// The layer bounds of a date with l valid symbols: layer i holds sorted positions [bound(i), bound(i + 1)).
inline std::size_t layer_bound(std::size_t i, std::size_t l, std::size_t s) { return i * l / s; }

// alpha and nextreturn are matched by position (dates x symbols, same shape). A symbol counts on a date
// only where both values are present. Ties in alpha keep column order, so reruns give the same layers.
// With s == 0 the "t-b" column is NaN; callers reject that case themselves. `interrupt` is checked between
// blocks of dates and of layers (it may throw Interrupted). With `only_filled`, every per-layer result keeps
// only the layers that hold a value on some date (`kept`; the others are NaN, 0 and 0 throughout); "all"
// still averages over all s.
Layers stratify(const MatView& alpha, const MatView& nextreturn, std::size_t s, Interrupt* interrupt = nullptr,
                bool only_filled = false);

}  // namespace varlo
