// Whole-contract sizing of sizing.hpp.
#include "sizing.hpp"

#include <cmath>

#include "interrupt.hpp"

namespace varlo {

namespace {

// nearbyint under the default rounding mode (halves to even, as numpy's round does), without the library
// call, so the loop vectorises: below 2^52, adding 2^52 leaves no fraction bits and the addition itself
// rounds half to even; from 2^52 on (and inf, NaN) a double is its own rounding. The sign goes back on
// last, so -0.3 gives -0.0 as nearbyint does.
double round_half_even(double x) {
  const double a = std::fabs(x);
  const double r = a < 0x1p52 ? (a + 0x1p52) - 0x1p52 : a;
  return std::copysign(r, x);
}

// One symbol's dates (out of line, so the no-alias promise survives and the loop vectorises).
[[gnu::noinline]] void size_column(const double* __restrict pa, const double* __restrict pc,
                                   const double* __restrict mp, std::size_t rows, double cm, double money,
                                   double capital, double* __restrict vp, double* __restrict pos) {
  for (std::size_t r = 0; r < rows; ++r) {
    vp[r] = round_half_even((pa[r] * money) / (pc[r] * cm));
    pos[r] = (vp[r] * (mp[r] * cm)) / capital;
  }
}

}  // namespace

Positions size_positions(const MatView& position_alpha, const MatView& prevclose, const MatView& matching,
                         std::span<const double> contract_multiplier, double money, double capital) {
  const std::size_t rows = position_alpha.rows;
  const std::size_t cols = position_alpha.cols;
  Positions out{Matrix(rows, cols), Matrix(rows, cols)};
  InterruptPacer pacer;
  for (std::size_t c = 0; c < cols; ++c) {
    pacer.step(rows);
    const double cm = contract_multiplier[c];
    size_column(position_alpha.col(c).data(), prevclose.col(c).data(), matching.col(c).data(), rows, cm, money,
                capital, out.volume_position.col(c).data(), out.position.col(c).data());
  }
  return out;
}

}  // namespace varlo
