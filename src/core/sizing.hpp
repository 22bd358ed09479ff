// Whole-contract sizing of position alpha.
#pragma once

#include <span>

#include "matrix.hpp"

namespace varlo {

struct Positions {
  Matrix position;         // contract value at the execution price over the capital
  Matrix volume_position;  // whole contracts, halves rounded to even
};

// Contracts sized at the previous close from money = capital x leverage, valued at the execution price.
// The order of operations follows the pandas formulation so results agree to the bit.
Positions size_positions(const MatView& position_alpha, const MatView& prevclose, const MatView& matching,
                         std::span<const double> contract_multiplier, double money, double capital);

}  // namespace varlo
