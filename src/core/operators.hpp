// Alpha operators over dates x symbols matrices, defined in cross_section.cpp, longshort.cpp and
// rolling.cpp. Row-wise kernels work on one date's cross-section, the smoothing ones down each history.
// The arithmetic follows pandas' own order of operations (sequential NaN-skipping row sums, Kahan running
// sums, numpy's pairwise sums), so that results agree with the pandas formulation to the last bit on
// single-block frames. The row-wise kernels also take row-major input (RowView) as it lies, with results
// identical to the bit to those of the same values column-major.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "matrix.hpp"

namespace varlo::ops {

// op_scale: each row over the NaN-skipping sum of its absolute values; rows summing to 0 unchanged.
Matrix scale(const MatView& x);
Matrix scale(const RowView& x);

// op_sign: positive values to 1, negative to -1; zeros and NaN kept.
Matrix sign(const MatView& x);
Matrix sign(const RowView& x);

// rank(axis=1, pct=True): average rank of ties over the row's non-NaN count; NaN stays NaN.
Matrix rank_pct(const MatView& x);
Matrix rank_pct(const RowView& x);

// Each row minus (its NaN-skipping mean - c).
Matrix center(const MatView& x, double c);
Matrix center(const RowView& x, double c);

// op_rank: center(rank_pct(x), 0) without the intermediate frame.
Matrix rank_center(const MatView& x);
Matrix rank_center(const RowView& x);

// rolling(window, min_periods=window).mean() down each column, pandas' running-sum arithmetic included.
// Infinities count as missing, as in pandas' rolling windows.
Matrix smooth_simple(const MatView& x, std::size_t window);

// np.average over each full window with `weights` from the oldest to the newest date; windows holding a
// NaN or an infinity give NaN. weights.size() >= 1.
Matrix smooth_weighted(const MatView& x, std::span<const double> weights);
std::vector<double> linear_weights(std::size_t window);       // 1, 2, ..., window
std::vector<double> exponential_weights(std::size_t window);  // decay^(window-1), ..., decay, 1

enum class LongShortMode { same, keep_rank, keep_distance, keep_sign };

// op_longshort in the four modes that select sides. Count form (longshort >= 1): sides from the average
// ranks of x. Fraction form: sides from a percentile score, the shifted one for same/keep_sign, the one
// centred at 0.5 for keep_rank/keep_distance. `score` (fraction form) and `base` (keep_rank count form:
// op_rank of x; keep_distance: x demeaned) may be supplied; when null they are computed here. `rows`:
// the whole result or one date's row of it.
Matrix longshort(const MatView& x, double longshort, LongShortMode mode, const MatView* score = nullptr,
                 const MatView* base = nullptr, Rows rows = {});
Matrix longshort(const RowView& x, double longshort, LongShortMode mode, const MatView* score = nullptr,
                 const MatView* base = nullptr, Rows rows = {});

// op_longshort "abs_rank": sign of x times the percentile rank of |x|.
Matrix abs_rank(const MatView& x);
Matrix abs_rank(const RowView& x);

// op_neutral: group[c] is column c's industry in [0, n_groups) or -1 for none. Each member minus its
// industry's mean on the date (0 when fewer than least_number members are valid); non-members NaN.
Matrix neutral(const MatView& x, std::span<const std::int32_t> group, std::size_t n_groups,
               double least_number);
Matrix neutral(const RowView& x, std::span<const std::int32_t> group, std::size_t n_groups,
               double least_number);

// op_index_futures on the index-futures columns: negative to NaN, positive times the multiplier.
Matrix index_futures(const MatView& x, double positive_multiplier);
Matrix index_futures(const RowView& x, double positive_multiplier);

}  // namespace varlo::ops
