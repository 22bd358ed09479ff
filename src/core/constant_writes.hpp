// A result that differs from its input only by a few constants, as masked writes of those constants:
// an in-place operator then hands pandas one small mask per constant instead of a whole frame of values.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "matrix.hpp"

namespace varlo {

// codes[i] = 0 where out[i] equals the input bit for bit (nothing to write), k + 1 where out[i] is
// constants[k] bit for bit (-0.0 is not +0.0). Empty when some entry is neither. `out` column-major in
// x's shape; codes in out's order.
std::vector<std::uint8_t> constant_writes(const MatView& x, const Matrix& out, std::span<const double> constants);
std::vector<std::uint8_t> constant_writes(const RowView& x, const Matrix& out, std::span<const double> constants);

}  // namespace varlo
