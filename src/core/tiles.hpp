// Row-wise iteration of the cross-sectional kernels: tiles of consecutive dates, shared among threads,
// and the per-row steps (ranks, percentile ranks, row means) of the rank-based kernels.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <type_traits>
#include <vector>

#include "interrupt.hpp"
#include "matrix.hpp"
#include "parallel.hpp"
#include "rank.hpp"
#include "reduce.hpp"

namespace varlo::ops {

// Row-wise kernels work on tiles of consecutive dates: within a tile a date's cross-section is close
// together, and per-element steps run down contiguous columns.
constexpr std::size_t kTile = 32;
// Below this many dates the bucket ranker's scratch would outweigh the frame; see Ranker.
constexpr std::size_t kLeanRows = 12;
constexpr std::size_t kLeanCols = 1024;

// A tile's input and results, `ld` apart from one column to the next.
struct Tile {
  std::size_t r0 = 0, nr = 0, n = 0, ld = 0;
  const double* x = nullptr;
  double* res = nullptr;
};

// Calls fn(tile, worker) for every tile of x, results into out; Worker holds the scratch space of one
// thread and is built from the column count. A column-major matrix of one tile is read and written where
// it lies; otherwise tiles are copied into two buffers per thread (row-major input transposed on the
// way), tiles of at most a quarter of the dates, each thread taking at least four: scratch stays within
// half a frame whatever the shape (a row-major frame of one tile: one row).
template <class Worker, class View, class Fn>
void by_tiles(const View& x, Matrix& out, Fn&& fn, Rows rows = {}) {
  if (x.rows == 0 || x.cols == 0) return;
  const bool lean = x.rows < kLeanRows && x.cols >= kLeanCols;
  if (rows.only != Rows::all) {
    // One date as a one-row tile (ld 1), the whole's flags kept: its row gathered (column-major) or read
    // where it lies (row-major), its result in out.
    Worker worker(x.cols);
    worker.single_row = x.rows == 1;
    worker.lean = lean;
    std::vector<double> in;
    const double* date = nullptr;
    if constexpr (std::is_same_v<View, MatView>) {
      in.resize(x.cols);
      for (std::size_t c = 0; c < x.cols; ++c) in[c] = x(rows.only, c);
      date = in.data();
    } else {
      date = x.data + rows.only * x.cols;  // contiguous already
    }
    Tile t{rows.only, 1, x.cols, 1, date, out.data.data()};
    fn(t, worker);
    return;
  }
  if (x.rows <= kTile) {
    Worker worker(x.cols);
    worker.single_row = x.rows == 1;
    worker.lean = lean;
    if constexpr (std::is_same_v<View, MatView>) {
      Tile t{0, x.rows, x.cols, x.rows, x.data, out.data.data()};
      fn(t, worker);
    } else {
      // Each date's row read where it lies, as a one-row tile (ld 1): a copy of these few rows would
      // cost a whole frame. Results pass through one row's buffer.
      std::vector<double> res(x.cols);
      InterruptPacer pacer;
      for (std::size_t r = 0; r < x.rows; ++r) {
        pacer.step(x.cols);
        Tile t{r, 1, x.cols, 1, x.data + r * x.cols, res.data()};
        fn(t, worker);
        for (std::size_t c = 0; c < x.cols; ++c) out.data[c * x.rows + r] = res[c];
      }
    }
    return;
  }
  const std::size_t height = std::min(kTile, x.rows / 4);
  const std::size_t tiles = (x.rows + height - 1) / height;
  parallel_for(tiles, x.size() * 4, [&](std::size_t t0, std::size_t t1) {
    std::vector<double> in(height * x.cols), res(height * x.cols);
    Worker worker(x.cols);
    InterruptPacer pacer;
    for (std::size_t k = t0; k < t1; ++k) {
      pacer.step(height * x.cols);
      Tile t{k * height, std::min(height, x.rows - k * height), x.cols, height, in.data(), res.data()};
      load_rows(x, t.r0, t.nr, in.data(), height);
      fn(t, worker);
      for (std::size_t c = 0; c < x.cols; ++c) {
        std::memcpy(out.data.data() + c * x.rows + t.r0, res.data() + c * height, t.nr * sizeof(double));
      }
    }
  }, tiles / 4);
}

// Scratch and steps of the rank-based kernels: per-row figures of a tile.
struct RankWork {
  Ranker ranker;
  double cnt[kTile], sum[kTile], shift[kTile], shift2[kTile], unused[kTile];
  bool single_row = false;  // the whole matrix is one date
  bool lean = false;
  InterruptPacer pacer;  // a tile of few dates may still hold long rows
  explicit RankWork(std::size_t) {}

  // Average ranks of each row of the tile's input (of its magnitudes when `absolute`) into t.res, counts
  // into cnt.
  void rank_rows(const Tile& t, bool absolute = false) {
    for (std::size_t r = 0; r < t.nr; ++r) {
      pacer.step(t.n);
      cnt[r] = static_cast<double>(ranker.rank(t.x + r, t.ld, t.n, t.res + r, absolute, lean));
    }
  }
  // res / cnt in place: rank(pct=True).
  void pct(const Tile& t) const {
    for (std::size_t c = 0; c < t.n; ++c) {
      double* d = t.res + c * t.ld;
      for (std::size_t r = 0; r < t.nr; ++r) d[r] = d[r] / cnt[r];
    }
  }
  // to[r] = row mean of the block buf - c (pandas' mean(axis=1) - center), the row's count being cnt.
  void mean_shift(const Tile& t, const double* buf, double c, double* to) {
    block_row_sums(buf, t.ld, t.nr, t.n, sum, unused, false, single_row);
    for (std::size_t r = 0; r < t.nr; ++r) to[r] = sum[r] / cnt[r] - c;
  }
  // The same over the percentile ranks res / cnt while res still holds the ranks.
  void pct_mean_shift(const Tile& t, double c, double* to) {
    const auto pct_at = [&](std::size_t r, std::size_t k) { return t.res[k * t.ld + r] / cnt[r]; };
    row_sums_by(t.nr, t.n, pct_at, sum, unused, single_row);
    for (std::size_t r = 0; r < t.nr; ++r) to[r] = sum[r] / cnt[r] - c;
  }
  // res -= shift per row, in place.
  void subtract_shift(const Tile& t) const {
    for (std::size_t c = 0; c < t.n; ++c) {
      double* d = t.res + c * t.ld;
      for (std::size_t r = 0; r < t.nr; ++r) d[r] = d[r] - shift[r];
    }
  }
};

}  // namespace varlo::ops
