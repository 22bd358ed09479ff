#include "constant_writes.hpp"

#include <bit>

namespace varlo {

namespace {

template <class View>
std::vector<std::uint8_t> codes_of(const View& x, const Matrix& out, std::span<const double> constants) {
  std::vector<std::uint8_t> codes(out.size());
  std::vector<std::uint64_t> bits(constants.size());
  for (std::size_t k = 0; k < constants.size(); ++k) bits[k] = std::bit_cast<std::uint64_t>(constants[k]);
  for (std::size_t c = 0; c < out.cols; ++c) {
    for (std::size_t r = 0; r < out.rows; ++r) {
      const auto o = std::bit_cast<std::uint64_t>(out.data[c * out.rows + r]);
      if (o == std::bit_cast<std::uint64_t>(x(r, c))) continue;
      std::size_t k = 0;
      while (k < bits.size() && bits[k] != o) ++k;
      if (k == bits.size()) return {};
      codes[c * out.rows + r] = static_cast<std::uint8_t>(k + 1);
    }
  }
  return codes;
}

}  // namespace

std::vector<std::uint8_t> constant_writes(const MatView& x, const Matrix& out, std::span<const double> constants) {
  return codes_of(x, out, constants);
}
std::vector<std::uint8_t> constant_writes(const RowView& x, const Matrix& out, std::span<const double> constants) {
  return codes_of(x, out, constants);
}

}  // namespace varlo
