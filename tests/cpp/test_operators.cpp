#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <vector>

#include "operators.hpp"
#include "reduce.hpp"

using varlo::kNaN;
using varlo::Matrix;
using varlo::MatView;
namespace ops = varlo::ops;

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();

// A matrix from its rows (the way one reads a frame), stored column-major.
Matrix from_rows(const std::vector<std::vector<double>>& rows) {
  Matrix m(rows.size(), rows.empty() ? 0 : rows[0].size());
  for (std::size_t r = 0; r < m.rows; ++r) {
    for (std::size_t c = 0; c < m.cols; ++c) m(r, c) = rows[r][c];
  }
  return m;
}

std::vector<double> row_of(const Matrix& m, std::size_t r) {
  std::vector<double> v(m.cols);
  for (std::size_t c = 0; c < m.cols; ++c) v[c] = m(r, c);
  return v;
}

void expect_row(const Matrix& m, std::size_t r, const std::vector<double>& want) {
  const auto got = row_of(m, r);
  ASSERT_EQ(got.size(), want.size());
  for (std::size_t c = 0; c < want.size(); ++c) {
    if (std::isnan(want[c])) {
      EXPECT_TRUE(std::isnan(got[c])) << "column " << c;
    } else {
      EXPECT_DOUBLE_EQ(got[c], want[c]) << "column " << c;
    }
  }
}

// Average ranks by definition: places below plus the mean place among equals.
std::vector<double> naive_ranks(const std::vector<double>& v) {
  std::vector<double> out(v.size(), kNaN);
  double n = 0;
  for (double x : v) n += std::isnan(x) ? 0 : 1;
  for (std::size_t i = 0; i < v.size(); ++i) {
    if (std::isnan(v[i])) continue;
    double less = 0, equal = 0;
    for (double y : v) {
      less += y < v[i] ? 1 : 0;
      equal += y == v[i] ? 1 : 0;
    }
    out[i] = (less + (equal + 1) / 2) / n;
  }
  return out;
}

}  // namespace

TEST(Rank, TiesNanAndInfinities) {
  const Matrix x = from_rows({{3, 1, kNaN, 3, -kInf, kInf, 1, 3},
                              {kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN, kNaN},
                              {0.0, -0.0, 0.0, 2, 2, 2, 2, 2}});
  const Matrix p = ops::rank_pct(x.view());
  expect_row(p, 0, {5.0 / 7, 2.5 / 7, kNaN, 5.0 / 7, 1.0 / 7, 7.0 / 7, 2.5 / 7, 5.0 / 7});
  expect_row(p, 1, std::vector<double>(8, kNaN));
  expect_row(p, 2, {2.0 / 8, 2.0 / 8, 2.0 / 8, 6.0 / 8, 6.0 / 8, 6.0 / 8, 6.0 / 8, 6.0 / 8});
}

TEST(Rank, MatchesTheDefinitionOnSkewedAndCrowdedRows) {
  // Outliers and many equal values push the ranker through its crowded-bucket paths.
  std::mt19937_64 gen(7);
  std::lognormal_distribution<double> heavy(0.0, 4.0);
  std::uniform_int_distribution<int> small(0, 5);
  for (std::size_t cols : {1, 2, 5, 40, 300}) {
    Matrix x(20, cols);
    for (std::size_t r = 0; r < x.rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) {
        const int pick = small(gen);
        x(r, c) = pick == 0 ? kNaN : pick == 1 ? static_cast<double>(small(gen)) : pick == 2 ? 1e300 : heavy(gen);
        if (r % 4 == 3) x(r, c) = r % 8 == 3 ? 42.0 : -heavy(gen);
      }
    }
    const Matrix p = ops::rank_pct(x.view());
    for (std::size_t r = 0; r < x.rows; ++r) expect_row(p, r, naive_ranks(row_of(x, r)));
  }
}

TEST(Rank, InfinitiesAndExtremeSpansMatchTheDefinition) {
  // Infinities sit below and above every bucket; spans near the overflow limit or made only of subnormals
  // push the bucket scale to its limits; constant finite parts leave no span at all.
  const double special[] = {kInf, -kInf, kNaN, 1.7976931348623157e308, -1.7976931348623157e308,
                            4.9e-324, -4.9e-324, 0.0, -0.0, 1.0, 1.0000000000000002};
  std::mt19937_64 gen(5);
  std::uniform_int_distribution<int> pick(0, 10);
  std::exponential_distribution<double> expo(1.0);
  std::uniform_real_distribution<double> unit;
  for (std::size_t cols : {1, 3, 17, 150, 1200}) {
    Matrix x(24, cols);
    for (std::size_t r = 0; r < x.rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) {
        const int k = pick(gen);
        const double s = special[static_cast<std::size_t>(k)];
        switch (r % 6) {
          case 0: x(r, c) = s; break;
          case 1: x(r, c) = k < 3 ? s : expo(gen); break;
          case 2: x(r, c) = k < 3 ? s : (k == 3 ? 1e12 * expo(gen) : unit(gen)); break;
          case 3: x(r, c) = k < 3 ? s : 5.0; break;
          case 4: x(r, c) = k < 3 ? s : std::ldexp(unit(gen), -1060); break;
          default: x(r, c) = k < 2 ? s : std::round(expo(gen) * 3) * (k == 2 ? 1e200 : 1.0); break;
        }
      }
    }
    const Matrix p = ops::rank_pct(x.view());
    for (std::size_t r = 0; r < x.rows; ++r) expect_row(p, r, naive_ranks(row_of(x, r)));
  }
}

TEST(RankCenter, CentresThePercentileRanks) {
  const Matrix x = from_rows({{10, 20, 30, 40}, {10, kNaN, 30, 40}});
  const Matrix y = ops::rank_center(x.view());
  expect_row(y, 0, {-0.375, -0.125, 0.125, 0.375});
  expect_row(y, 1, {-1.0 / 3, kNaN, 0.0, 1.0 / 3});
}

TEST(ScaleCenterSign, RowWise) {
  const Matrix x = from_rows({{1, -3, kNaN}, {0, 0, 0}, {kNaN, kNaN, kNaN}});
  const Matrix s = ops::scale(x.view());
  expect_row(s, 0, {0.25, -0.75, kNaN});
  expect_row(s, 1, {0, 0, 0});
  expect_row(s, 2, {kNaN, kNaN, kNaN});
  const Matrix c = ops::center(x.view(), 0.5);
  expect_row(c, 0, {2.5, -1.5, kNaN});
  expect_row(c, 2, {kNaN, kNaN, kNaN});
  const Matrix g = ops::sign(from_rows({{0.5, -2, 0, kNaN}}).view());
  expect_row(g, 0, {1, -1, 0, kNaN});
}

TEST(Smooth, SimpleWindowsNeedEveryValue) {
  const Matrix x = from_rows({{1}, {2}, {kNaN}, {4}, {5}, {6}, {kInf}, {8}});
  const Matrix y = ops::smooth_simple(x.view(), 2);
  for (std::size_t r = 0; r < x.rows; ++r) {
    const double want[] = {kNaN, 1.5, kNaN, kNaN, 4.5, 5.5, kNaN, kNaN};
    if (std::isnan(want[r])) {
      EXPECT_TRUE(std::isnan(y(r, 0))) << r;
    } else {
      EXPECT_DOUBLE_EQ(y(r, 0), want[r]) << r;
    }
  }
  // A window of equal values returns the value itself, not the rounded running sum over the count.
  const Matrix z = ops::smooth_simple(from_rows({{0.1}, {0.1}, {0.1}}).view(), 3);
  EXPECT_EQ(z(2, 0), 0.1);
  // Window 0 has no observations.
  EXPECT_TRUE(std::isnan(ops::smooth_simple(x.view(), 0)(1, 0)));
}

TEST(Smooth, WeightedAveragesOldestToNewest) {
  const Matrix x = from_rows({{1}, {2}, {3}, {4}});
  const auto lin = ops::linear_weights(3);
  const Matrix y = ops::smooth_weighted(x.view(), lin);
  EXPECT_TRUE(std::isnan(y(1, 0)));
  EXPECT_DOUBLE_EQ(y(2, 0), 14.0 / 6);
  EXPECT_DOUBLE_EQ(y(3, 0), 20.0 / 6);
  const auto ew = ops::exponential_weights(2);
  EXPECT_EQ(ew, (std::vector<double>{0.5, 1.0}));
  EXPECT_DOUBLE_EQ(ops::smooth_weighted(x.view(), ew)(1, 0), 5.0 / 3);
  EXPECT_EQ(ops::exponential_weights(1), std::vector<double>{1.0});
}

TEST(Smooth, PairwiseSumFollowsNumpysOrder) {
  // Above 2^53 a lone +1 is lost; numpy's eight partial sums add the ones among themselves first.
  const double big = 9007199254740992.0;  // 2^53
  std::vector<double> a(16, 1.0);
  a[0] = big;
  double sequential = 0;
  for (double v : a) sequential += v;
  EXPECT_EQ(sequential, big);
  EXPECT_EQ(varlo::pairwise_sum(a.data(), a.size()), big + 14);  // lane 0 loses its +1, the others keep 2 each
  EXPECT_EQ(varlo::pairwise_sum(a.data(), 3), big);                // below eight values numpy adds in order
}

TEST(LongShort, CountAndFractionForms) {
  const Matrix x = from_rows({{1, 2, 3, 4, 5}});
  expect_row(ops::longshort(x.view(), 1, ops::LongShortMode::same), 0, {-1, 0, 0, 0, 1});
  expect_row(ops::longshort(x.view(), 2, ops::LongShortMode::same), 0, {-1, -1, 0, 1, 1});
  expect_row(ops::longshort(from_rows({{1, 2, 3}}).view(), 2, ops::LongShortMode::same), 0, {-1, 1, 1});
  expect_row(ops::longshort(x.view(), 1, ops::LongShortMode::keep_rank), 0, {-0.4, 0, 0, 0, 0.4});
  expect_row(ops::longshort(x.view(), 1, ops::LongShortMode::keep_distance), 0, {-2, 0, 0, 0, 2});
  expect_row(ops::longshort(from_rows({{1, 2, 3, 4}}).view(), 1, ops::LongShortMode::keep_sign), 0, {0, 0, 0, 1});
  const Matrix ten = from_rows({{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}});
  expect_row(ops::longshort(ten.view(), 0.2, ops::LongShortMode::same), 0, {-1, -1, 0, 0, 0, 0, 0, 0, 1, 1});
  expect_row(ops::longshort(ten.view(), 0.2, ops::LongShortMode::keep_rank), 0,
             {-0.45, -0.35, 0, 0, 0, 0, 0, 0, 0.35, 0.45});
  // Tied values share a side; NaN belongs to none.
  expect_row(ops::longshort(from_rows({{1, 1, 2, kNaN, 3}}).view(), 1, ops::LongShortMode::same), 0,
             {0, 0, 0, kNaN, 1});
  expect_row(ops::abs_rank(from_rows({{-4, 1, 2, -3, kNaN, 0}}).view()), 0, {-1, 0.4, 0.6, -0.8, kNaN, 0});
}

TEST(LongShort, SuppliedScoreAndBase) {
  const Matrix x = from_rows({{1, 2, 3, 4, 5}});
  const Matrix score = from_rows({{0.9, 0.5, 0.5, 0.5, 0.1}});
  const Matrix base = from_rows({{10, 20, 30, 40, 50}});
  const varlo::MatView sv = score.view(), bv = base.view();
  expect_row(ops::longshort(x.view(), 0.2, ops::LongShortMode::keep_rank, &sv), 0, {0.4, 0, 0, 0, -0.4});
  expect_row(ops::longshort(x.view(), 1, ops::LongShortMode::keep_distance, nullptr, &bv), 0, {10, 0, 0, 0, 50});
}

// op_longshort of one row by the rank definitions, in pandas' arithmetic (sums in column order).
std::vector<double> naive_longshort(const std::vector<double>& v, double ls, ops::LongShortMode mode) {
  const std::vector<double> pct = naive_ranks(v);
  double m = 0, lowest = kInf, pct_sum = 0, sum = 0;
  for (std::size_t c = 0; c < v.size(); ++c) {
    const bool ok = !std::isnan(v[c]);
    m += ok ? 1 : 0;
    lowest = ok && pct[c] < lowest ? pct[c] : lowest;
    pct_sum = c == 0 ? (ok ? pct[c] : 0.0) : pct_sum + (ok ? pct[c] : 0.0);
    sum = c == 0 ? (ok ? v[c] : 0.0) : sum + (ok ? v[c] : 0.0);
  }
  const bool centred = mode == ops::LongShortMode::keep_distance;
  const double shift = centred ? pct_sum / m - 0.5 : lowest / 2;
  std::vector<double> out(v.size());
  for (std::size_t c = 0; c < v.size(); ++c) {
    double less = 0, equal = 0;
    for (double y : v) {
      less += y < v[c] ? 1 : 0;
      equal += y == v[c] ? 1 : 0;
    }
    const double rank = less + (equal + 1) / 2;
    const double score = pct[c] - shift;
    const bool is_short = ls >= 1 ? rank <= ls : score <= ls;
    const bool is_long = ls >= 1 ? m + 1 - rank <= ls : score >= 1 - ls;
    double res = is_long ? 1.0 : (is_short ? -1.0 : 0.0);
    if (mode == ops::LongShortMode::keep_sign && ((res == -1 && v[c] > 0) || (res == 1 && v[c] < 0))) res = 0;
    if (centred) res = is_short || is_long ? v[c] - sum / m : 0.0;
    out[c] = std::isnan(v[c]) ? kNaN : res;
  }
  return out;
}

TEST(LongShort, SidesMatchTheRankDefinitionsToTheBit) {
  // Few distinct values give tied groups whose average rank sits exactly on a side's limit (for 0.2 and
  // ten valid values the centred score of rank 2.5 is 0.2 up to roundoff), infinities rank as values.
  std::mt19937_64 gen(5);
  std::uniform_int_distribution<int> small(-4, 4);
  for (std::size_t cols : {1, 3, 10, 11, 20, 25, 64, 130}) {
    Matrix x(24, cols);
    for (std::size_t r = 0; r < x.rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) {
        const int k = small(gen);
        x(r, c) = k == 4 ? (r % 3 == 0 ? kInf : kNaN) : k == -4 && r % 2 ? -kInf : r % 4 == 1 ? k * 0.37 : k;
      }
    }
    for (const auto mode : {ops::LongShortMode::same, ops::LongShortMode::keep_sign, ops::LongShortMode::keep_distance}) {
      for (const double ls : {1.0, 2.0, 2.5, 7.0, 0.05, 0.2, 0.25, 0.3, 0.5, 0.7}) {
        const Matrix y = ops::longshort(x.view(), ls, mode);
        for (std::size_t r = 0; r < x.rows; ++r) {
          const auto want = naive_longshort(row_of(x, r), ls, mode);
          const auto got = row_of(y, r);
          for (std::size_t c = 0; c < cols; ++c) {
            if (std::isnan(want[c])) {
              EXPECT_TRUE(std::isnan(got[c]));
            } else {
              EXPECT_EQ(got[c], want[c]) << "cols " << cols << " ls " << ls << " row " << r << " col " << c;
            }
          }
        }
      }
    }
  }
}

TEST(Neutral, IndustryMeansWithAtLeastEnoughMembers) {
  const Matrix x = from_rows({{1, kNaN, 5, 1}, {1, 3, 7, 2}, {kInf, 1, 1, 1}});
  const std::vector<std::int32_t> group = {0, 0, 1, -1};
  const Matrix y = ops::neutral(x.view(), group, 2, 2);
  expect_row(y, 0, {1, kNaN, 5, kNaN});  // one valid member: unchanged
  expect_row(y, 1, {-1, 1, 7, kNaN});
  expect_row(y, 2, {kNaN, -kInf, 1, kNaN});  // an infinite member makes the mean infinite
  const Matrix z = ops::neutral(x.view(), group, 2, 1);
  expect_row(z, 0, {0, kNaN, 0, kNaN});
}

TEST(IndexFutures, NegativeDroppedPositiveMultiplied) {
  const Matrix y = ops::index_futures(from_rows({{-1, 0, 2, kNaN}}).view(), 2);
  expect_row(y, 0, {kNaN, 0, 4, kNaN});
}

TEST(Operators, EmptyMatrices) {
  const Matrix none(0, 3), no_cols(4, 0);
  EXPECT_EQ(ops::rank_center(none.view()).size(), 0u);
  EXPECT_EQ(ops::longshort(no_cols.view(), 1, ops::LongShortMode::same).size(), 0u);
  EXPECT_EQ(ops::smooth_weighted(none.view(), ops::linear_weights(3)).size(), 0u);
  EXPECT_EQ(ops::neutral(no_cols.view(), {}, 0, 2).size(), 0u);
}

TEST(Rank, LargeMatricesSplitAcrossThreadsGiveTheSameRanks) {
  std::mt19937_64 gen(11);
  std::normal_distribution<double> normal;
  Matrix x(700, 150);
  for (auto& v : x.data) v = std::round(normal(gen) * 20) / 4;  // plenty of ties
  const Matrix p = ops::rank_pct(x.view());
  for (std::size_t r = 0; r < x.rows; r += 7) expect_row(p, r, naive_ranks(row_of(x, r)));
  const Matrix y = ops::smooth_simple(x.view(), 3);
  EXPECT_DOUBLE_EQ(y(2, 149), (x(0, 149) + x(1, 149) + x(2, 149)) / 3);
}

TEST(RowWise, WideFewDatesGiveTheSameRowsAsTallFrames) {
  // A few dates of many symbols take the lean paths (ranking by sorting, sides without selection); the
  // same row inside a taller matrix takes the bucketed ones. Rows are independent: results must agree.
  std::mt19937_64 gen(3);
  std::normal_distribution<double> normal;
  const std::size_t n = 3000;
  Matrix wide(2, n), tall(40, n);
  for (std::size_t c = 0; c < n; ++c) {
    for (std::size_t r = 0; r < tall.rows; ++r) {
      const double v = c % 97 == 0 ? kNaN : c % 89 == 0 ? kInf : std::round(normal(gen) * 50) / 8;
      tall(r, c) = v;
      if (r < wide.rows) wide(r, c) = v;
    }
  }
  const auto same = [&](const Matrix& a, const Matrix& b) {
    for (std::size_t r = 0; r < a.rows; ++r) {
      for (std::size_t c = 0; c < n; ++c) {
        const double x = a(r, c), y = b(r, c);
        ASSERT_TRUE((std::isnan(x) && std::isnan(y)) || x == y || std::fabs(x - y) <= 1e-13 * std::max(1.0, std::fabs(y)))
            << r << " " << c << " " << x << " " << y;
      }
    }
  };
  same(ops::rank_pct(wide.view()), ops::rank_pct(tall.view()));
  same(ops::rank_center(wide.view()), ops::rank_center(tall.view()));
  same(ops::abs_rank(wide.view()), ops::abs_rank(tall.view()));
  for (const auto mode : {ops::LongShortMode::same, ops::LongShortMode::keep_rank, ops::LongShortMode::keep_distance,
                          ops::LongShortMode::keep_sign}) {
    for (const double ls : {40.0, 0.2}) same(ops::longshort(wide.view(), ls, mode), ops::longshort(tall.view(), ls, mode));
  }
}

TEST(RowWise, RowMajorInputGivesTheColumnMajorResultsToTheBit) {
  // One date, one tile, several tiles across threads, and few dates of many symbols (the lean paths).
  std::mt19937_64 gen(5);
  std::normal_distribution<double> normal;
  for (const auto& [rows, cols] : {std::pair<std::size_t, std::size_t>{1, 9}, {7, 13}, {300, 41}, {2, 1500}}) {
    Matrix x(rows, cols);
    std::vector<double> by_rows(rows * cols);
    for (std::size_t r = 0; r < rows; ++r) {
      for (std::size_t c = 0; c < cols; ++c) {
        const std::size_t k = r * cols + c;
        const double v = k % 17 == 0 ? kNaN : k % 29 == 0 ? -kInf : k % 31 == 0 ? -0.0 : std::round(normal(gen) * 30) / 4;
        x(r, c) = r == 3 ? kNaN : v;  // an all-NaN date
        by_rows[k] = x(r, c);
      }
    }
    const varlo::RowView rv{by_rows.data(), rows, cols};
    const auto bits = [&](const Matrix& a, const Matrix& b, const char* what) {
      ASSERT_EQ(a.size(), b.size());
      for (std::size_t i = 0; i < a.size(); ++i) {
        ASSERT_TRUE(std::memcmp(&a.data[i], &b.data[i], sizeof(double)) == 0 || (std::isnan(a.data[i]) && std::isnan(b.data[i])))
            << what << " " << rows << "x" << cols << " at " << i << ": " << a.data[i] << " " << b.data[i];
      }
    };
    bits(ops::scale(rv), ops::scale(x.view()), "scale");
    bits(ops::sign(rv), ops::sign(x.view()), "sign");
    bits(ops::center(rv, 0.5), ops::center(x.view(), 0.5), "center");
    bits(ops::rank_pct(rv), ops::rank_pct(x.view()), "rank_pct");
    bits(ops::rank_center(rv), ops::rank_center(x.view()), "rank_center");
    bits(ops::abs_rank(rv), ops::abs_rank(x.view()), "abs_rank");
    bits(ops::index_futures(rv, 2), ops::index_futures(x.view(), 2), "index_futures");
    const std::vector<double> back = varlo::rows_of(x);  // tiles of 32 and their ragged edges
    ASSERT_EQ(std::memcmp(back.data(), by_rows.data(), back.size() * sizeof(double)), 0) << rows << "x" << cols;
    std::vector<std::int32_t> group(cols);
    for (std::size_t c = 0; c < cols; ++c) group[c] = static_cast<std::int32_t>(c % 4) - 1;
    bits(ops::neutral(rv, group, 3, 2), ops::neutral(x.view(), group, 3, 2), "neutral");
    const Matrix score = ops::rank_center(x.view());
    const MatView sv = score.view();
    for (const auto mode : {ops::LongShortMode::same, ops::LongShortMode::keep_rank, ops::LongShortMode::keep_distance,
                            ops::LongShortMode::keep_sign}) {
      for (const double ls : {3.0, 0.2}) bits(ops::longshort(rv, ls, mode), ops::longshort(x.view(), ls, mode), "longshort");
      bits(ops::longshort(rv, 0.3, mode, &sv, &sv), ops::longshort(x.view(), 0.3, mode, &sv, &sv), "longshort given");
      // one date of the result alone, as within the whole, from either layout
      const auto date = [&](const Matrix& m, std::size_t r) {
        Matrix one(1, cols);
        for (std::size_t c = 0; c < cols; ++c) one(0, c) = m(r, c);
        return one;
      };
      const Matrix given = ops::longshort(x.view(), 0.2, mode, &sv), plain = ops::longshort(x.view(), 0.2, mode);
      for (const std::size_t r : {std::size_t{0}, rows / 2, rows - 1}) {
        bits(ops::longshort(x.view(), 0.2, mode, &sv, nullptr, varlo::Rows{r}), date(given, r), "longshort date");
        bits(ops::longshort(rv, 0.2, mode, nullptr, nullptr, varlo::Rows{r}), date(plain, r), "longshort date by rows");
      }
    }
  }
}
