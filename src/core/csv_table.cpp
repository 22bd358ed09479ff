#include "csv_table.hpp"

#include <algorithm>
#include <charconv>
#include <limits>
#include <cstring>

#include "interrupt.hpp"

namespace varlo {

namespace {

// Numbers as to_csv writes them: optional minus, digits, fraction, exponent; "inf", "-inf", "nan".
bool parse_value(std::string_view f, double& out) {
  if (f.empty()) {
    out = kNaN;
    return true;
  }
  const char c = f[0];
  if (!(c == '-' || c == '.' || (c >= '0' && c <= '9'))) {
    if (f == "inf") {
      out = std::numeric_limits<double>::infinity();
      return true;
    }
    if (f == "nan") {
      out = kNaN;
      return true;
    }
    return false;
  }
  if (f == "-inf") {
    out = -std::numeric_limits<double>::infinity();
    return true;
  }
  const char* end = f.data() + f.size();
  const auto [ptr, ec] = std::from_chars(f.data(), end, out, std::chars_format::general);
  // from_chars also takes "-nan" and "-infinity", which the writer never produces: the general reader decides.
  return ec == std::errc() && ptr == end && (f.size() < 2 || (f[1] != 'n' && f[1] != 'i'));
}

int digits(std::string_view s) {
  int v = 0;
  for (char ch : s) {
    if (ch < '0' || ch > '9') return -1;
    v = v * 10 + (ch - '0');
  }
  return v;
}

bool parse_date(std::string_view f, Day& out) {
  if (f.size() != 10 || f[4] != '-' || f[7] != '-') return false;
  const int y = digits(f.substr(0, 4)), m = digits(f.substr(5, 2)), d = digits(f.substr(8, 2));
  if (y < 1 || m < 0 || d < 0) return false;
  const auto day = day_of_date(y, m, d);
  if (!day) return false;
  out = *day;
  return true;
}

std::string_view next_line(std::string_view& rest) {
  const std::size_t nl = rest.find('\n');
  std::string_view line = rest.substr(0, nl);
  rest = nl == std::string_view::npos ? std::string_view{} : rest.substr(nl + 1);
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

}  // namespace

std::optional<Day> day_of_date(int year, int month, int day) {
  static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1) return std::nullopt;
  const bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
  if (day > kDays[month - 1] + (month == 2 && leap ? 1 : 0)) return std::nullopt;
  // days_from_civil (H. Hinnant)
  const int y = year - (month <= 2 ? 1 : 0);
  const int era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * static_cast<unsigned>(month + (month > 2 ? -3 : 9)) + 2) / 5 + static_cast<unsigned>(day) - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return static_cast<Day>(era) * 146097 + static_cast<Day>(doe) - 719468;
}

std::optional<DateTable> parse_date_table(std::string_view text) {
  if (text.find('"') != std::string_view::npos) return std::nullopt;
  std::string_view rest = text;
  std::string_view header;
  while (!rest.empty() && header.empty()) header = next_line(rest);
  if (header.empty()) return std::nullopt;
  DateTable t;
  const std::size_t first_comma = header.find(',');
  if (first_comma == std::string_view::npos) return std::nullopt;
  t.index_label = std::string(header.substr(0, first_comma));
  t.columns = static_cast<std::size_t>(std::count(header.begin(), header.end(), ','));

  std::vector<double> rows;  // row-major while the row count is unknown
  rows.reserve(text.size() / 8);
  InterruptPacer pacer;
  while (!rest.empty()) {
    std::string_view line = next_line(rest);
    pacer.step(line.size());
    if (line.empty()) continue;
    std::size_t comma = line.find(',');
    if (comma == std::string_view::npos) return std::nullopt;
    Day day = 0;
    if (!parse_date(line.substr(0, comma), day)) return std::nullopt;
    t.dates.push_back(day);
    for (std::size_t c = 0; c < t.columns; ++c) {
      if (comma == std::string_view::npos) return std::nullopt;  // too few fields
      const std::size_t start = comma + 1;
      comma = line.find(',', start);
      const std::string_view field = line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
      double v = 0.0;
      if (!parse_value(field, v)) return std::nullopt;
      rows.push_back(v);
    }
    if (comma != std::string_view::npos) return std::nullopt;  // too many fields
  }
  if (t.dates.empty()) return std::nullopt;
  const std::size_t n = t.dates.size();
  t.values = Matrix(n, t.columns);
  for (std::size_t r = 0; r < n; ++r) {
    for (std::size_t c = 0; c < t.columns; ++c) t.values(r, c) = rows[r * t.columns + c];
  }
  return t;
}

}  // namespace varlo
