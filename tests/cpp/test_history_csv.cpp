#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "csv_writer.hpp"
#include "history.hpp"

namespace {

std::string repr(double v) {
  std::string s;
  varlo::csv::append_double(s, v);
  return s;
}

TEST(History, RowsThroughAndSliceStart) {
  const std::vector<std::int64_t> dates{10, 20, 20, 30};
  EXPECT_EQ(varlo::rows_through(dates, 5), 0u);
  EXPECT_EQ(varlo::rows_through(dates, 20), 3u);  // ties on the date are included
  EXPECT_EQ(varlo::rows_through(dates, 99), 4u);
  // rows[-n:] over 4 rows
  EXPECT_EQ(varlo::last_rows_start(4, 2), 2u);
  EXPECT_EQ(varlo::last_rows_start(4, 9), 0u);
  EXPECT_EQ(varlo::last_rows_start(4, 0), 0u);
  EXPECT_EQ(varlo::last_rows_start(4, -3), 3u);
  EXPECT_EQ(varlo::last_rows_start(4, -9), 4u);
  EXPECT_EQ(varlo::last_rows_start(4, std::numeric_limits<std::int64_t>::min()), 4u);
}

TEST(History, GatherFollowsStridesAndOrder) {
  // 3 rows x 2 cols, row-major: strides (2, 1)
  const std::vector<double> data{1, 2, 3, 4, 5, 6};
  const varlo::StridedView v{data.data(), 3, 2, 2, 1};
  const std::vector<std::size_t> pos{1, 0, 1};
  const varlo::Matrix m = varlo::gather_window(v, 1, 3, pos);
  EXPECT_EQ(m.data, (std::vector<double>{4, 6, 3, 5, 4, 6}));
  EXPECT_EQ(varlo::gather_window_rows(v, 1, 3, pos), (std::vector<double>{4, 3, 4, 6, 5, 6}));
}

TEST(Csv, FloatsAsPythonRepr) {
  EXPECT_EQ(repr(0.1), "0.1");
  EXPECT_EQ(repr(1e-5), "1e-05");
  EXPECT_EQ(repr(1e-4), "0.0001");
  EXPECT_EQ(repr(1e16), "1e+16");
  EXPECT_EQ(repr(9999999999999998.0), "9999999999999998.0");
  EXPECT_EQ(repr(100000.0), "100000.0");
  EXPECT_EQ(repr(5e-324), "5e-324");
  EXPECT_EQ(repr(1.2345678901234568e17), "1.2345678901234568e+17");
  EXPECT_EQ(repr(-0.0), "-0.0");
  EXPECT_EQ(repr(0.0), "0.0");
  EXPECT_EQ(repr(-1.5e-7), "-1.5e-07");
  EXPECT_EQ(repr(1e100), "1e+100");
  EXPECT_EQ(repr(std::numeric_limits<double>::infinity()), "inf");
  EXPECT_EQ(repr(-std::numeric_limits<double>::infinity()), "-inf");
  EXPECT_EQ(repr(std::nan("")), "");
}

TEST(Csv, DatesAndTable) {
  constexpr std::int64_t day = 86'400'000'000'000;
  const std::vector<std::int64_t> midnights{19723 * day, -1 * day};  // 2024-01-01, 1969-12-31
  const std::vector<double> col_major{1.0, std::nan(""), -2.5, 3e20};
  const varlo::MatView v{col_major.data(), 2, 2};
  const std::vector<std::string> cols{"CU", "al"};
  EXPECT_EQ(varlo::csv::table_text("", cols, midnights, v, "\n"),
            ",CU,al\n2024-01-01,1.0,-2.5\n1969-12-31,,3e+20\n");
  const std::vector<std::int64_t> timed{19723 * day + 37'800'000'000'000, 19723 * day};
  EXPECT_FALSE(varlo::csv::whole_seconds(std::vector<std::int64_t>{1}));
  EXPECT_EQ(varlo::csv::table_text("date", cols, timed, v, "\n"),
            "date,CU,al\n2024-01-01 10:30:00,1.0,-2.5\n2024-01-01 00:00:00,,3e+20\n");
}

}  // namespace
