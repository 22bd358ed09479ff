#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "alpha_frame.hpp"
#include "analyse.hpp"
#include "csv_table.hpp"
#include "csv_writer.hpp"
#include "interrupt.hpp"
#include "operators.hpp"
#include "parallel.hpp"
#include "sizing.hpp"
#include "thread_budget.hpp"

using varlo::Interrupt;
using varlo::Interrupted;
using varlo::InterruptScope;
using varlo::Matrix;
using varlo::MatView;
using varlo::RowView;
namespace ops = varlo::ops;

namespace {

Matrix random_matrix(std::size_t rows, std::size_t cols, unsigned seed) {
  std::mt19937 gen(seed);
  std::normal_distribution<double> d;
  Matrix m(rows, cols);
  for (double& v : m.data) v = gen() % 11 == 0 ? varlo::kNaN : d(gen);
  return m;
}

std::vector<double> row_major(const Matrix& m) {
  std::vector<double> out(m.size());
  for (std::size_t r = 0; r < m.rows; ++r) {
    for (std::size_t c = 0; c < m.cols; ++c) out[r * m.cols + c] = m(r, c);
  }
  return out;
}

bool same_bits(const Matrix& a, const Matrix& b) {
  return a.rows == b.rows && a.cols == b.cols && std::memcmp(a.data.data(), b.data.data(), a.size() * sizeof(double)) == 0;
}

}  // namespace

// A call whose interrupt has stopped leaves every long kernel at its first check, on every thread.
TEST(Interrupt, StoppedCallLeavesEveryKernel) {
  const Matrix x = random_matrix(700, 400, 1);
  const std::vector<double> xr = row_major(x);
  const MatView v = x.view();
  const RowView rv{xr.data(), x.rows, x.cols};
  std::vector<std::int32_t> group(x.cols);
  for (std::size_t c = 0; c < x.cols; ++c) group[c] = static_cast<std::int32_t>(c % 7);
  const std::vector<double> multiplier(x.cols, 10.0);
  const std::vector<double> weights = ops::linear_weights(20);
  std::vector<std::int64_t> dates(x.rows);
  for (std::size_t r = 0; r < x.rows; ++r) dates[r] = static_cast<std::int64_t>(r) * 86'400'000'000'000;
  const std::vector<std::string> labels(x.cols, "S");
  std::string csv = "date";
  for (std::size_t c = 0; c < 8; ++c) csv += ",S";
  for (std::size_t r = 0; r < 20'000; ++r) csv += "\n2020-01-02,1.5,,2,3,4,5,6,7";

  std::vector<std::int64_t> every_row(x.rows), every_col(x.cols);
  for (std::size_t r = 0; r < x.rows; ++r) every_row[r] = static_cast<std::int64_t>(r);
  for (std::size_t c = 0; c < x.cols; ++c) every_col[c] = static_cast<std::int64_t>(c);
  std::vector<std::size_t> offsets{0}, admitted;  // every symbol admitted on every date
  for (std::size_t r = 0; r < x.rows; ++r) {
    for (std::size_t c = 0; c < x.cols; ++c) admitted.push_back(c);
    offsets.push_back(admitted.size());
  }

  Interrupt interrupt;
  interrupt.stop();
  const InterruptScope scope(&interrupt);
  EXPECT_THROW(ops::scale(rv), Interrupted);
  EXPECT_THROW(ops::center(rv, 0.0), Interrupted);
  EXPECT_THROW(ops::sign(v), Interrupted);
  EXPECT_THROW(ops::sign(rv), Interrupted);
  EXPECT_THROW(ops::rank_center(v), Interrupted);
  EXPECT_THROW(ops::rank_pct(rv), Interrupted);
  EXPECT_THROW(ops::abs_rank(v), Interrupted);
  EXPECT_THROW(ops::longshort(v, 5, ops::LongShortMode::same), Interrupted);
  EXPECT_THROW(ops::longshort(v, 0.2, ops::LongShortMode::keep_rank), Interrupted);
  EXPECT_THROW(ops::neutral(v, group, 7, 1), Interrupted);
  EXPECT_THROW(ops::index_futures(rv, 2.0), Interrupted);
  EXPECT_THROW(ops::smooth_simple(v, 5), Interrupted);
  EXPECT_THROW(ops::smooth_weighted(v, weights), Interrupted);
  EXPECT_THROW(varlo::simulate_trades(v, {v, v, v, v}, 0.0), Interrupted);
  EXPECT_THROW(varlo::corrwith_rows(v, v), Interrupted);
  EXPECT_THROW(varlo::corrwith_columns(v, v), Interrupted);
  EXPECT_THROW(varlo::symbol_figures(v), Interrupted);
  EXPECT_THROW(varlo::size_positions(v, v, v, multiplier, 1e6, 1e6), Interrupted);
  EXPECT_THROW(varlo::csv::table_text("date", labels, dates, v, "\n"), Interrupted);
  EXPECT_THROW(varlo::parse_date_table(csv), Interrupted);
  EXPECT_THROW(varlo::take(v, every_row, every_col), Interrupted);
  EXPECT_THROW(varlo::rows_of(x), Interrupted);
  EXPECT_THROW(varlo::admitted_record(v, offsets, admitted), Interrupted);
}

// The streaming kernels take a long column-major frame in pieces of dates, with a check between them; each
// row's arithmetic stays that of the row-major path, which reads a tile at a time.
TEST(Interrupt, LongStreamsGoInPiecesOfDates) {
  const Matrix x = random_matrix(1100, 8000, 2);  // two pieces of dates per thread
  const std::vector<double> xr = row_major(x);
  const RowView rv{xr.data(), x.rows, x.cols};
  Interrupt live([] { return false; });
  {
    const InterruptScope scope(&live);
    EXPECT_TRUE(same_bits(ops::scale(x.view()), ops::scale(rv)));
    EXPECT_TRUE(same_bits(ops::center(x.view(), 0.25), ops::center(rv, 0.25)));
  }
  Interrupt stopped;
  stopped.stop();
  const InterruptScope scope(&stopped);
  EXPECT_THROW(ops::scale(x.view()), Interrupted);
  EXPECT_THROW(ops::center(x.view(), 0.0), Interrupted);
}

// Workers only see the stop; the calling thread, done with its own chunk, keeps polling until they are.
TEST(Interrupt, CallerPollsWhileWorkersRun) {
  if (varlo::thread_budget() < 2) GTEST_SKIP() << "one thread";
  const auto caller = std::this_thread::get_id();
  std::atomic<bool> polled_elsewhere{false};
  Interrupt interrupt([&] {
    if (std::this_thread::get_id() != caller) polled_elsewhere = true;
    return true;
  });
  const InterruptScope scope(&interrupt);
  std::atomic<std::size_t> workers_stopped{0};
  EXPECT_THROW(varlo::parallel_for(2, std::size_t{1} << 20,
                                   [&](std::size_t b, std::size_t) {
                                     if (b == 0) return;  // the caller's chunk: done at once
                                     for (int i = 0; i < 10'000; ++i) {
                                       try {
                                         varlo::interruption_point();
                                       } catch (const Interrupted&) {
                                         ++workers_stopped;
                                         throw;
                                       }
                                       std::this_thread::sleep_for(std::chrono::milliseconds(1));
                                     }
                                   }),
               Interrupted);
  EXPECT_EQ(workers_stopped, 1u);
  EXPECT_FALSE(polled_elsewhere);
}
