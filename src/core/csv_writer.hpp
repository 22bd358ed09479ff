// CSV text of a float table indexed by dates, byte for byte as pandas' to_csv writes it with its defaults:
// floats as Python's repr (shortest round-trip digits), NaN as an empty field, dates as pandas renders a
// DatetimeIndex.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "matrix.hpp"

namespace varlo::csv {

// Python's repr of a double ("0.1", "1e-05", "1e+16", "-0.0", "inf"); NaN appends nothing.
void append_double(std::string& out, double v);

// Whether every time lies on a whole second (what append_date can render) and whether any is not midnight.
bool whole_seconds(std::span<const std::int64_t> ns);
bool any_time_of_day(std::span<const std::int64_t> ns);

// "2024-01-01", or "2024-01-01 10:30:00" when with_time; ns since the epoch on a whole second.
void append_date(std::string& out, std::int64_t ns, bool with_time);

// Header (index label, then column labels) and one line per date. Labels are written as given: the caller
// passes only labels that need no quoting. Dates must satisfy whole_seconds.
std::string table_text(std::string_view index_label, std::span<const std::string> columns,
                       std::span<const std::int64_t> dates_ns, const MatView& values, std::string_view line_end);

}  // namespace varlo::csv
