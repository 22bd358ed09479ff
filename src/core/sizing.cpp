// Whole-contract sizing of sizing.hpp.
#include "sizing.hpp"

#include <cmath>

#include "interrupt.hpp"

namespace varlo {

Positions size_positions(const MatView& position_alpha, const MatView& prevclose, const MatView& matching,
                         std::span<const double> contract_multiplier, double money, double capital) {
  const std::size_t rows = position_alpha.rows;
  const std::size_t cols = position_alpha.cols;
  Positions out{Matrix(rows, cols), Matrix(rows, cols)};
  InterruptPacer pacer;
  for (std::size_t c = 0; c < cols; ++c) {
    pacer.step(rows);
    const double cm = contract_multiplier[c];
    const auto pa = position_alpha.col(c);
    const auto pc = prevclose.col(c);
    const auto mp = matching.col(c);
    auto vp = out.volume_position.col(c);
    auto pos = out.position.col(c);
    for (std::size_t r = 0; r < rows; ++r) {
      // nearbyint under the default rounding mode rounds halves to even, as numpy's round does.
      vp[r] = std::nearbyint((pa[r] * money) / (pc[r] * cm));
      pos[r] = (vp[r] * (mp[r] * cm)) / capital;
    }
  }
  return out;
}

}  // namespace varlo
