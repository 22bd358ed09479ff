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

TEST(Stratify, TiesKeepColumnOrderAndOneSidedSymbolsDropOut) {
  // Two dates, five symbols. Date 0: equal alphas, the last symbol without a return. Date 1: no alpha.
  const std::vector<double> alpha{1, kNaN, 1, kNaN, 1, kNaN, 1, kNaN, 1, kNaN};
  const std::vector<double> next{1, 0, 2, 0, 30, 0, 40, 0, kNaN, 0};
  const auto out = varlo::stratify({alpha.data(), 2, 5}, {next.data(), 2, 5}, 2);
  EXPECT_DOUBLE_EQ(out.cumulative(0, 0), 1.5);
  EXPECT_DOUBLE_EQ(out.cumulative(0, 1), 35.0);
  EXPECT_EQ(out.mean_alpha, (std::vector<double>{1.0, 1.0}));  // the empty date adds nothing
  EXPECT_DOUBLE_EQ(out.cumulative(1, 0), 1.5);
  EXPECT_DOUBLE_EQ(out.cumulative(1, 3), 35.0 - 1.5);  // flat over the empty date
}

TEST(Stratify, LayersBeyondTheSymbolsStayEmpty) {
  // One date, three symbols, five layers: bounds 0, 0, 1, 1, 2, 3, so layers 2, 4 and 5 hold one each.
  const std::vector<double> alpha{3, 1, 2};
  const std::vector<double> next{30, 10, 20};
  const auto out = varlo::stratify({alpha.data(), 1, 3}, {next.data(), 1, 3}, 5);
  EXPECT_EQ(out.sum_return, (std::vector<double>{0, 10, 0, 20, 30}));
  EXPECT_TRUE(std::isnan(out.mean_alpha[0]) && std::isnan(out.mean_alpha[2]) && out.mean_alpha[4] == 3);
  EXPECT_DOUBLE_EQ(out.cumulative(0, 5), 12.0);  // "all": the mean over all five layers
}
