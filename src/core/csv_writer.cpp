#include "csv_writer.hpp"

#include <charconv>
#include <chrono>
#include <cmath>

#include "interrupt.hpp"

namespace varlo::csv {

namespace {

constexpr std::int64_t kNsPerSecond = 1'000'000'000;
constexpr std::int64_t kSecondsPerDay = 86'400;

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
  const std::int64_t q = a / b;
  return (a % b != 0 && (a < 0) != (b < 0)) ? q - 1 : q;
}

void append_padded(std::string& out, long long v, int width) {
  char buf[24];
  auto [p, ec] = std::to_chars(buf, buf + sizeof buf, v < 0 ? -v : v);
  (void)ec;
  if (v < 0) out.push_back('-');
  for (auto len = p - buf; len < width; ++len) out.push_back('0');
  out.append(buf, p);
}

}  // namespace

void append_double(std::string& out, double v) {
  if (std::isnan(v)) return;
  if (std::isinf(v)) {
    out += v > 0 ? "inf" : "-inf";
    return;
  }
  // Shortest round-trip digits in scientific form, d[.ddd]e±XX; repr picks the layout from the exponent.
  char buf[40];
  const auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  (void)ec;
  const char* p = buf;
  if (*p == '-') {
    out.push_back('-');
    ++p;
  }
  char digits[20];
  int nd = 0;
  for (; p < end && *p != 'e'; ++p) {
    if (*p != '.') digits[nd++] = *p;
  }
  // After 'e': a sign and at least two digits (the buffer is not terminated).
  int exp = 0;
  std::from_chars(p + 2, end, exp);
  if (p[1] == '-') exp = -exp;
  if (exp < -4 || exp >= 16) {
    out.push_back(digits[0]);
    if (nd > 1) {
      out.push_back('.');
      out.append(digits + 1, digits + nd);
    }
    out.push_back('e');
    out.push_back(exp < 0 ? '-' : '+');
    append_padded(out, exp < 0 ? -exp : exp, 2);
  } else if (exp >= 0) {
    const int int_digits = exp + 1;
    for (int i = 0; i < int_digits; ++i) out.push_back(i < nd ? digits[i] : '0');
    out.push_back('.');
    if (nd > int_digits) {
      out.append(digits + int_digits, digits + nd);
    } else {
      out.push_back('0');
    }
  } else {
    out += "0.";
    out.append(static_cast<std::size_t>(-exp - 1), '0');
    out.append(digits, digits + nd);
  }
}

bool whole_seconds(std::span<const std::int64_t> ns) {
  for (const auto t : ns) {
    if (t % kNsPerSecond != 0) return false;
  }
  return true;
}

bool any_time_of_day(std::span<const std::int64_t> ns) {
  for (const auto t : ns) {
    if (t % (kNsPerSecond * kSecondsPerDay) != 0) return true;
  }
  return false;
}

void append_date(std::string& out, std::int64_t ns, bool with_time) {
  const std::int64_t secs = floor_div(ns, kNsPerSecond);
  const std::int64_t days = floor_div(secs, kSecondsPerDay);
  const std::chrono::year_month_day ymd{std::chrono::sys_days{std::chrono::days{days}}};
  append_padded(out, static_cast<int>(ymd.year()), 4);
  out.push_back('-');
  append_padded(out, static_cast<unsigned>(ymd.month()), 2);
  out.push_back('-');
  append_padded(out, static_cast<unsigned>(ymd.day()), 2);
  if (!with_time) return;
  const std::int64_t s = secs - days * kSecondsPerDay;
  out.push_back(' ');
  append_padded(out, s / 3600, 2);
  out.push_back(':');
  append_padded(out, s / 60 % 60, 2);
  out.push_back(':');
  append_padded(out, s % 60, 2);
}

std::string table_text(std::string_view index_label, std::span<const std::string> columns,
                       std::span<const std::int64_t> dates_ns, const MatView& values, std::string_view line_end) {
  std::string out;
  out.reserve(64 + values.size() * 20 + dates_ns.size() * 12);
  out += index_label;
  for (const auto& c : columns) {
    out.push_back(',');
    out += c;
  }
  out += line_end;
  const bool with_time = any_time_of_day(dates_ns);
  InterruptPacer pacer;
  for (std::size_t r = 0; r < values.rows; ++r) {
    pacer.step(values.cols * 8);  // a value's text costs several times its addition
    append_date(out, dates_ns[r], with_time);
    for (std::size_t c = 0; c < values.cols; ++c) {
      out.push_back(',');
      append_double(out, values(r, c));
    }
    out += line_end;
  }
  return out;
}

}  // namespace varlo::csv
