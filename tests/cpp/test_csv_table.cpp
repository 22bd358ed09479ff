#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "csv_table.hpp"

TEST(CsvTable, DaysOfDates) {
  EXPECT_EQ(varlo::day_of_date(1970, 1, 1), 0);
  EXPECT_EQ(varlo::day_of_date(2000, 3, 1), 11017);
  EXPECT_EQ(varlo::day_of_date(1969, 12, 31), -1);
  EXPECT_TRUE(varlo::day_of_date(2024, 2, 29));
  EXPECT_FALSE(varlo::day_of_date(2023, 2, 29));
  EXPECT_FALSE(varlo::day_of_date(1900, 2, 29));
  EXPECT_FALSE(varlo::day_of_date(2024, 13, 1));
}

TEST(CsvTable, ThePlainFormParses) {
  const auto t = varlo::parse_date_table(",A,B\r\n2024-01-02,1.5,\r\n\r\n2024-01-03,inf,-2e-05\r\n");
  ASSERT_TRUE(t);
  EXPECT_EQ(t->index_label, "");
  EXPECT_EQ(t->columns, 2u);
  EXPECT_EQ(t->dates, (std::vector<varlo::Day>{19724, 19725}));
  EXPECT_EQ(t->values(0, 0), 1.5);
  EXPECT_TRUE(std::isnan(t->values(0, 1)));
  EXPECT_EQ(t->values(1, 0), std::numeric_limits<double>::infinity());
  EXPECT_EQ(t->values(1, 1), -2e-05);
}

TEST(CsvTable, AnythingElseIsLeftToTheGeneralReader) {
  for (const char* text : {"", ",A\n", "\"\",A\n2024-01-02,1\n", ",A\n2024-01-02 09:00:00,1\n", ",A\n2024-01-02,NA\n",
                           ",A\n2024-01-02,1,2\n", ",A,B\n2024-01-02,1\n", ",A\n2024-02-30,1\n", ",A\n2024-01-02,-nan\n",
                           ",A\n2024-01-02,+1\n", ",A\n2024-01-02, 1\n", ",A\n2024-01-02,True\n"}) {
    EXPECT_FALSE(varlo::parse_date_table(text)) << text;
  }
}
