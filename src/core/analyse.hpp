// Backtest analysis: trade simulation against settlement prices, performance figures and information
// coefficients. Every figure follows pandas' own order of floating-point operations (numpy's pairwise
// sums along contiguous data, sequential sums across columns, bottleneck's two-pass standard deviation,
// the compensated sums of groupby), so results match the pandas formulation to the last bit or nearly.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "matrix.hpp"
#include "reduce.hpp"  // nanmean, nanstd and the other reductions the figures use

namespace varlo {

inline constexpr double kYearDays = 250.0;

// --- trade simulation -------------------------------------------------------------------------------

struct PriceTables {  // each conformed to the position table
  MatView nextreturn;
  MatView settle;
  MatView prevsettle;
  MatView matching;
};

struct Trades {
  Matrix returns;  // net return per date and symbol, after commission (empty when not kept)
  std::vector<double> daily_return;
  std::vector<double> daily_tr;
  double annualized_tr = kNaN;
};

// Positions are fractions of the capital held from the end of each date; NaN is flat. Without
// `keep_returns` only the per-date sums are kept.
Trades simulate_trades(const MatView& position, const PriceTables& prices, double commission,
                       bool keep_returns = true);

// --- performance ------------------------------------------------------------------------------------

enum class Interest { simple, compound };

struct Recovery {
  std::size_t t1 = 0;  // zero-drawdown date that opens the longest stretch
  std::size_t t2 = 0;  // the next zero-drawdown date, where it closes
  std::int64_t days = 0;
};

struct Metrics {
  double total_return = kNaN;
  double ar = kNaN;
  double std = kNaN;
  double ir = kNaN;
  double mdd = kNaN;
  double cr = kNaN;
  std::vector<double> cumulative_return;
  std::vector<double> net_value;
  std::vector<double> drawdown;
  std::size_t mdd_t1 = 0;  // last peak before the trough
  std::size_t mdd_t2 = 0;  // first date of the largest drawdown
  std::int64_t mdd_days = 0;  // whole calendar days from mdd_t1 to mdd_t2
  std::optional<Recovery> recovery;  // empty while the drawdown has not come back to zero after the first date
};

// dates_ns: the dates of daily_return as nanoseconds since the epoch (for the length of the recovery).
Metrics performance(std::span<const double> daily_return, std::span<const std::int64_t> dates_ns, Interest interest);

// DataFrame.corrwith(method="pearson") over already aligned frames: one coefficient per column pair
// (axis 0, sums along dates) or per row pair (axis 1, sums across symbols).
std::vector<double> corrwith_columns(const MatView& left, const MatView& right);
std::vector<double> corrwith_rows(const MatView& left, const MatView& right);

// Per symbol: the sum of its returns over dates and their mean times 250 (DataFrame.sum / mean, axis 0).
struct SymbolFigures {
  std::vector<double> total_return;
  std::vector<double> ar;
};
SymbolFigures symbol_figures(const MatView& returns);

// --- per-year figures -------------------------------------------------------------------------------

// Group labels in ascending order and each element's group, as groupby(key) sorts them.
struct Groups {
  std::vector<std::int64_t> keys;
  std::vector<std::size_t> of;
  bool sorted = true;  // every element's group at or after the previous one's
};
Groups group_by(std::span<const std::int64_t> labels);

// groupby().sum() and groupby().mean(), summed in the order pandas chooses for the data.
std::vector<double> group_sum(std::span<const double> x, const Groups& g);
std::vector<double> group_mean(std::span<const double> x, const Groups& g);

struct Yearly {
  std::vector<double> ar;  // summed, or compounded under Interest::compound
  std::vector<double> ir;
  std::vector<double> tr;
};
Yearly yearly(std::span<const double> daily_return, std::span<const double> daily_tr, const Groups& g,
              Interest interest);

}  // namespace varlo
