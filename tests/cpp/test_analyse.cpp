#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "analyse.hpp"

using varlo::kNaN;
using varlo::Matrix;

namespace {

constexpr std::int64_t kDay = 86'400'000'000'000;

Matrix column_major(std::size_t rows, std::size_t cols, std::vector<double> by_column) {
  Matrix m(rows, cols);
  m.data = std::move(by_column);
  return m;
}

std::vector<std::int64_t> days(std::size_t n) {
  std::vector<std::int64_t> d(n);
  for (std::size_t i = 0; i < n; ++i) d[i] = static_cast<std::int64_t>(i) * kDay;
  return d;
}

// One symbol held at 1 throughout: the daily returns are the previous dates' next-day returns.
std::vector<double> daily_returns_of(const std::vector<double>& next) {
  const std::size_t n = next.size();
  const Matrix pos(n, 1, 1.0), flat_price(n, 1, 100.0), nr = column_major(n, 1, next);
  return varlo::simulate_trades(pos.view(), {nr.view(), flat_price.view(), flat_price.view(), flat_price.view()}, 0)
      .daily_return;
}

}  // namespace

TEST(Reductions, PairwiseOrderAndMissingValues) {
  // Below eight values a plain loop; from eight on, eight running sums joined as a tree.
  const std::vector<double> a = {1e16, 1, -1e16, 1, 1, 1, 1, 1, 1};
  const double tree = ((1e16 + 1.0) + (-1e16 + 1.0)) + ((1.0 + 1.0) + (1.0 + 1.0)) + 1.0;
  EXPECT_EQ(varlo::pairwise_nansum(a), tree);
  const std::vector<double> small = {1e16, 1, -1e16, kNaN, 1};
  EXPECT_EQ(varlo::pairwise_nansum(small), ((1e16 + 1.0) - 1e16) + 1.0);
  EXPECT_EQ(varlo::nanmean(small), varlo::pairwise_nansum(small) / 4);
  EXPECT_TRUE(std::isnan(varlo::nanmean(std::vector<double>{kNaN})));
  EXPECT_EQ(std::signbit(varlo::pairwise_nansum(std::vector<double>(20, -0.0))), false);
}

TEST(Reductions, SampleStandardDeviation) {
  EXPECT_DOUBLE_EQ(varlo::nanstd(std::vector<double>{1, kNaN, 2, 3, 4}), std::sqrt(5.0 / 3.0));
  EXPECT_TRUE(std::isnan(varlo::nanstd(std::vector<double>{kNaN, 2})));
  EXPECT_EQ(varlo::nanstd(std::vector<double>{0.5, 0.5}), 0.0);
}

TEST(Trades, MissingPositionsAndCommission) {
  // symbol a: 0.5 then missing then 0.5; symbol b: -0.2 held
  const Matrix position = column_major(3, 2, {0.5, kNaN, 0.5, -0.2, -0.2, -0.2});
  const Matrix next(3, 2, 0.01), price(3, 2, 100.0);
  const auto t = varlo::simulate_trades(position.view(), {next.view(), price.view(), price.view(), price.view()}, 0.0003);
  EXPECT_DOUBLE_EQ(t.daily_tr[0], 0.7);
  EXPECT_EQ(t.daily_return[0], 0.0);  // the first date's charge is not counted
  EXPECT_DOUBLE_EQ(t.returns(1, 0), 0.5 * 0.01 - 0.5 * 0.0003);  // carried, then closed flat
  EXPECT_TRUE(std::isnan(t.returns(2, 0)));  // nothing carried from the missing position
  EXPECT_DOUBLE_EQ(t.returns(2, 1), -0.2 * 0.01);
  EXPECT_DOUBLE_EQ(t.annualized_tr, (0.7 + 0.5 + 0.5) / 3 * 250);
}

TEST(Performance, TiesAndNoRecovery) {
  const auto tie = varlo::performance(daily_returns_of({0.01, -0.01, 0.01, 0, -0.01, 0.01, 0}), days(7),
                                      varlo::Interest::simple);
  EXPECT_EQ(tie.mdd_t2, 2u);
  EXPECT_EQ(tie.recovery->t1, 1u);
  EXPECT_EQ(tie.recovery->t2, 3u);

  const auto down = varlo::performance(std::vector<double>{0, -0.01, 0.005}, days(3), varlo::Interest::compound);
  EXPECT_FALSE(down.recovery);
  EXPECT_DOUBLE_EQ(down.total_return, 0.99 * 1.005 - 1);
  EXPECT_NEAR(down.mdd, 0.01, 1e-15);

  const auto flat = varlo::performance(std::vector<double>{0, 0, 0}, days(3), varlo::Interest::compound);
  EXPECT_EQ(flat.mdd, 0.0);
  EXPECT_TRUE(std::isnan(flat.cr));  // 0 / 0
  EXPECT_EQ(flat.mdd_t2, 0u);
}

TEST(Correlation, RowsAndColumnsMaskEachOther) {
  // rows: perfect, constant, a single pair; columns follow the same data
  const Matrix left = column_major(3, 3, {1, 1, 1, 2, 1, kNaN, 3, 1, 5});
  const Matrix right = column_major(3, 3, {2, 4, 7, 4, 5, 8, 6, 2, INFINITY});
  const auto rows = varlo::corrwith_rows(left.view(), right.view());
  EXPECT_DOUBLE_EQ(rows[0], 1.0);
  EXPECT_TRUE(std::isnan(rows[1]));
  EXPECT_TRUE(std::isnan(rows[2]));  // the infinite return masks the pair
  const auto cols = varlo::corrwith_columns(left.view(), right.view());
  EXPECT_TRUE(std::isnan(cols[0]));  // constant alpha
  EXPECT_DOUBLE_EQ(cols[1], -1.0);
  EXPECT_DOUBLE_EQ(cols[2], 1.0);
}

TEST(Groups, SortedWithoutGapsUsesReduceatOrder) {
  const std::vector<std::int64_t> years = {2020, 2020, 2021, 2021, 2021};
  const auto g = varlo::group_by(years);
  EXPECT_EQ(g.keys, (std::vector<std::int64_t>{2020, 2021}));
  EXPECT_TRUE(g.sorted);
  // 1e16 + (-1e16 + 1): the 1 is lost to rounding
  const std::vector<double> x = {1, 2, 1e16, -1e16, 1};
  EXPECT_EQ(varlo::group_sum(x, g), (std::vector<double>{3, 0}));
  // a missing value anywhere switches to the compensated sum, which keeps it
  const std::vector<double> gap = {1, kNaN, 1e16, -1e16, 1};
  EXPECT_EQ(varlo::group_sum(gap, g), (std::vector<double>{1, 1}));
  EXPECT_EQ(varlo::group_mean(gap, g), (std::vector<double>{1, 1.0 / 3}));

  const auto unsorted = varlo::group_by(std::vector<std::int64_t>{2021, 2020, 2021});
  EXPECT_FALSE(unsorted.sorted);
  EXPECT_EQ(unsorted.of, (std::vector<std::size_t>{1, 0, 1}));
}

TEST(Shapes, NoSymbolsAndNoDates) {
  const Matrix none(3, 0);
  const auto t = varlo::simulate_trades(none.view(), {none.view(), none.view(), none.view(), none.view()}, 0.1);
  EXPECT_EQ(t.daily_return, (std::vector<double>{0, 0, 0}));
  EXPECT_EQ(t.annualized_tr, 0.0);
  EXPECT_TRUE(std::isnan(varlo::corrwith_rows(none.view(), none.view())[2]));
  EXPECT_TRUE(varlo::corrwith_columns(none.view(), none.view()).empty());

  const auto m = varlo::performance(std::vector<double>{}, std::vector<std::int64_t>{}, varlo::Interest::simple);
  EXPECT_TRUE(std::isnan(m.mdd));
  EXPECT_FALSE(m.recovery);
  EXPECT_TRUE(varlo::group_by(std::vector<std::int64_t>{}).keys.empty());
}
