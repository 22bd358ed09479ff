// Whole-frame alpha: a strategy's frame of alpha for all dates recorded as the daily loop would record it,
// and the comparison behind the look-ahead guard.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>

#include "matrix.hpp"

namespace varlo {

// The record of a dates x universe frame when on date r only the universe columns
// admitted[offsets[r] .. offsets[r + 1]) are taken: every other cell is NaN.
Matrix admitted_record(const MatView& frame, std::span<const std::size_t> offsets, std::span<const std::size_t> admitted);

// The admission scan of one date: symbols sorted by first tradable date (ns since the epoch, INT64_MIN
// for none), `admitted` of them admitted so far, at most `limit` admitted. Moves past each symbol whose date
// lies before `deadline`; a symbol without a date stops the scan for good. Returns the new count.
std::size_t admit_through(std::span<const std::int64_t> begin_ns, std::size_t admitted, std::size_t limit,
                          std::int64_t deadline);

// First cell, in row-major order over rows [0, rows), where the two frames differ (NaN equals NaN, -0.0
// equals 0.0).
std::optional<std::pair<std::size_t, std::size_t>> first_difference(const MatView& a, const MatView& b, std::size_t rows);

}  // namespace varlo
