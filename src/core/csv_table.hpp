// The plain CSV form in which the analysis writes its date-indexed tables, parsed without a general CSV
// reader: a header row, then one row per date "YYYY-MM-DD,v1,...,vn" with empty fields for missing values.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "calendar.hpp"
#include "matrix.hpp"

namespace varlo {

struct DateTable {
  std::string index_label;  // the header's first field
  std::size_t columns = 0;  // number of value columns
  std::vector<Day> dates;
  Matrix values;            // dates x columns, column-major
};

// Nothing for any text outside that form (quotes, times of day, words or NA spellings other than "nan",
// ragged rows, a header alone, impossible dates): the caller then reads the file with a general reader.
// Blank lines are skipped; "\r\n" line ends are accepted.
std::optional<DateTable> parse_date_table(std::string_view text);

// Days since 1970-01-01 of a proleptic Gregorian date; nothing for an impossible date.
std::optional<Day> day_of_date(int year, int month, int day);

}  // namespace varlo
