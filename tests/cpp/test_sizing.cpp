#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "sizing.hpp"

using varlo::kNaN;
using varlo::MatView;

TEST(Sizing, HalvesRoundToEvenAndPricesScale) {
  // one date, five symbols; money 10,000, prevclose 1,000, multiplier 10 -> count = alpha
  const std::vector<double> pa{0.5, 1.5, 2.5, -2.5, 3.5};
  const std::vector<double> pc(5, 1000.0), mp(5, 1100.0), cm(5, 10.0);
  const auto out = varlo::size_positions({pa.data(), 1, 5}, {pc.data(), 1, 5}, {mp.data(), 1, 5}, cm, 10'000.0, 5'000.0);
  const std::vector<double> expected{0, 2, 2, -2, 4};
  for (std::size_t c = 0; c < 5; ++c) {
    EXPECT_EQ(out.volume_position(0, c), expected[c]);
    EXPECT_DOUBLE_EQ(out.position(0, c), expected[c] * 1100.0 * 10.0 / 5'000.0);
  }
}

TEST(Sizing, MissingAndZeroPrices) {
  const std::vector<double> pa{0.1, kNaN, 0.1, 0.1};  // column-major: 2 dates x 2 symbols
  const std::vector<double> pc{0.0, 100.0, kNaN, 100.0};
  const std::vector<double> mp{100.0, 100.0, 100.0, kNaN};
  const std::vector<double> cm{1.0, 1.0};
  const auto out = varlo::size_positions({pa.data(), 2, 2}, {pc.data(), 2, 2}, {mp.data(), 2, 2}, cm, 1000.0, 1000.0);
  EXPECT_TRUE(std::isinf(out.volume_position(0, 0)));  // zero close: infinite count
  EXPECT_TRUE(std::isnan(out.volume_position(1, 0)));  // missing alpha
  EXPECT_TRUE(std::isnan(out.volume_position(0, 1)));  // missing close
  EXPECT_EQ(out.volume_position(1, 1), 1.0);
  EXPECT_TRUE(std::isnan(out.position(1, 1)));          // missing execution price
}

TEST(Sizing, CountsRoundAsNearbyint) {
  // Counts themselves (money = prevclose = multiplier = 1): ties, signed zeros, the edge of 2^52, huge.
  std::vector<double> pa{-0.3, -0.5, 0.49999999999999994, 4503599627370495.5, 4503599627370497.0, -7.5,
                         1e300, 2.5e-308, -1e-300, 4503599627370496.0 - 0.5};
  for (int k = 0; k < 200; ++k) pa.push_back(std::ldexp(1.0 + k / 199.0, k % 60 - 8) * (k % 2 ? -1 : 1));
  const std::vector<double> ones(pa.size(), 1.0);
  const auto out = varlo::size_positions({pa.data(), pa.size(), 1}, {ones.data(), pa.size(), 1},
                                         {ones.data(), pa.size(), 1}, std::vector<double>{1.0}, 1.0, 1.0);
  for (std::size_t r = 0; r < pa.size(); ++r) {
    const double want = std::nearbyint(pa[r]);
    EXPECT_EQ(out.volume_position(r, 0), want) << pa[r];
    EXPECT_EQ(std::signbit(out.volume_position(r, 0)), std::signbit(want)) << pa[r];
  }
}
