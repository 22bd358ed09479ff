#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstdint>
#include <vector>

#include "alpha_frame.hpp"

namespace {

TEST(AlphaFrame, RecordKeepsOnlyAdmittedCells) {
  // 2 dates x 3 symbols, column-major
  const std::vector<double> f{1, 2, 3, 4, 5, 6};
  const varlo::MatView v{f.data(), 2, 3};
  const std::vector<std::size_t> offsets{0, 1, 3}, admitted{2, 2, 0};
  const varlo::Matrix m = varlo::admitted_record(v, offsets, admitted);
  EXPECT_TRUE(std::isnan(m(0, 0)) && std::isnan(m(0, 1)) && std::isnan(m(1, 1)));
  EXPECT_EQ(m(0, 2), 5);
  EXPECT_EQ(m(1, 2), 6);
  EXPECT_EQ(m(1, 0), 2);
}

TEST(AlphaFrame, FirstDifferenceRowMajorNanEqual) {
  const double nan = std::nan("");
  const std::vector<double> a{nan, 1, 0.0, 2}, b{nan, 1, -0.0, 3};
  const varlo::MatView va{a.data(), 2, 2}, vb{b.data(), 2, 2};
  EXPECT_FALSE(varlo::first_difference(va, vb, 1).has_value());
  const auto d = varlo::first_difference(va, vb, 2);
  ASSERT_TRUE(d.has_value());
  EXPECT_EQ(d->first, 1u);
  EXPECT_EQ(d->second, 1u);
  // 3 dates x 3 symbols: column 0 differs on date 2, column 2 on date 1 (and 0 in a row not compared):
  // the earliest date wins over the leftmost column, and ties go to the left.
  const std::vector<double> x{1, 1, 1, 2, 2, 2, 3, 3, 3}, y{1, 1, 9, 2, 9, 2, 3, 9, 3};
  const varlo::MatView vx{x.data(), 3, 3}, vy{y.data(), 3, 3};
  EXPECT_EQ(varlo::first_difference(vx, vy, 3), std::make_pair(std::size_t{1}, std::size_t{1}));
  EXPECT_FALSE(varlo::first_difference(vx, vy, 1).has_value());
}

TEST(AlphaFrame, RecordFollowsStretchesOfTheSameSet) {
  // 4 dates x 3 symbols: {0}, {0}, {0, 2}, {2, 0} (same set, other order)
  const std::vector<double> f{1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
  const std::vector<std::size_t> offsets{0, 1, 2, 4, 6}, admitted{0, 0, 0, 2, 2, 0};
  const varlo::Matrix m = varlo::admitted_record({f.data(), 4, 3}, offsets, admitted);
  const double nan = std::nan("");
  const std::vector<double> want{1, 2, 3, 4, nan, nan, nan, nan, nan, nan, 11, 12};
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_TRUE(m.data[i] == want[i] || (std::isnan(m.data[i]) && std::isnan(want[i]))) << i;
  }
}

TEST(AlphaFrame, AdmissionStopsAtDeadlineLimitAndMissingDate) {
  const std::vector<std::int64_t> begin{10, 20, 20, INT64_MIN, 5};
  EXPECT_EQ(varlo::admit_through(begin, 0, 5, 10), 0u);  // strictly before the deadline
  EXPECT_EQ(varlo::admit_through(begin, 0, 5, 21), 3u);
  EXPECT_EQ(varlo::admit_through(begin, 0, 2, 100), 2u);  // the universe's size bounds the count
  EXPECT_EQ(varlo::admit_through(begin, 3, 5, 100), 3u);  // no date: nothing after it, ever
  EXPECT_EQ(varlo::admit_through(begin, 1, 5, 15), 1u);   // a count only grows from where it stands
}

TEST(Matrix, TakeByPositionsMissingAsNaNBitsKept) {
  const std::vector<double> f{1, 2, 3, -0.0, 5, 6, 7, 8};  // 4 dates x 2 symbols, column-major
  const varlo::MatView v{f.data(), 4, 2};
  // runs of consecutive rows broken by a gap, a missing row, a step back and a repeat
  const std::vector<std::int64_t> rows{1, 2, 3, -1, 0, 1, 3, 3}, cols{1, -1, 0};
  const varlo::Matrix m = varlo::take(v, rows, cols);
  ASSERT_EQ(m.rows, rows.size());
  ASSERT_EQ(m.cols, cols.size());
  for (std::size_t k = 0; k < cols.size(); ++k) {
    for (std::size_t r = 0; r < rows.size(); ++r) {
      if (rows[r] < 0 || cols[k] < 0) {
        EXPECT_TRUE(std::isnan(m(r, k)));
      } else {
        const double want = v(static_cast<std::size_t>(rows[r]), static_cast<std::size_t>(cols[k]));
        EXPECT_TRUE(m(r, k) == want && std::signbit(m(r, k)) == std::signbit(want)) << r << "," << k;
      }
    }
  }
  EXPECT_TRUE(std::signbit(m(2, 2)));  // -0.0 stays negative
}

}  // namespace
