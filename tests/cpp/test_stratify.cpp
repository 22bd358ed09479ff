#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "stratify.hpp"

using varlo::kNaN;

namespace {

std::vector<std::size_t> sizes(std::size_t l, std::size_t s) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < s; ++i) out.push_back(varlo::layer_bound(i + 1, l, s) - varlo::layer_bound(i, l, s));
  return out;
}

}  // namespace

TEST(Stratify, LayerBoundsAreFloorDivisions) {
  EXPECT_EQ(sizes(25, 10), (std::vector<std::size_t>{2, 3, 2, 3, 2, 3, 2, 3, 2, 3}));
  EXPECT_EQ(sizes(10, 3), (std::vector<std::size_t>{3, 3, 4}));
  EXPECT_EQ(sizes(3, 5), (std::vector<std::size_t>{0, 1, 0, 1, 1}));
}

TEST(Stratify, OnlyPairsCountAndEmptyRowsAddNothing) {
  // 3 dates x 4 symbols, column-major. Date 1 has no valid pair; on date 0 symbol 3 lacks a return.
  const std::vector<double> alpha{4, kNaN, 1, 3, 5, 2, 2, kNaN, 3, 1, kNaN, 4};
  const std::vector<double> next{0.4, 1, 0.1, 0.3, kNaN, 0.2, 0.2, 2, 0.3, kNaN, 3, 0.4};
  const auto out = varlo::stratify({alpha.data(), 3, 4}, {next.data(), 3, 4}, 2);
  // date 0: valid symbols 0,1,2 with alphas 4,3,2 -> layers {2} and {3,4}
  EXPECT_DOUBLE_EQ(out.alpha(0, 0), 2.0);
  EXPECT_DOUBLE_EQ(out.alpha(0, 1), 3.5);
  EXPECT_DOUBLE_EQ(out.nextreturn(0, 1), (0.3 + 0.4) / 2);
  EXPECT_TRUE(std::isnan(out.alpha(1, 0)) && std::isnan(out.nextreturn(1, 1)));
  EXPECT_DOUBLE_EQ(out.cumulative(1, 0), out.cumulative(0, 0));  // flat over the empty date
  EXPECT_DOUBLE_EQ(out.sum_return[1], out.cumulative(2, 1));
  EXPECT_DOUBLE_EQ(out.cumulative(2, 3), out.cumulative(2, 1) - out.cumulative(2, 0));
  EXPECT_DOUBLE_EQ(out.cumulative(2, 2), (out.cumulative(2, 0) + out.cumulative(2, 1)) / 2);
}

TEST(Stratify, TiesKeepColumnOrder) {
  // One date, four equal alphas: layer 0 takes the first two columns' returns.
  const std::vector<double> alpha(4, 1.0);
  const std::vector<double> next{1, 2, 30, 40};
  const auto out = varlo::stratify({alpha.data(), 1, 4}, {next.data(), 1, 4}, 2);
  EXPECT_DOUBLE_EQ(out.nextreturn(0, 0), 1.5);
  EXPECT_DOUBLE_EQ(out.nextreturn(0, 1), 35.0);
}
