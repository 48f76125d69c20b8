#include "coverage/edge_accumulation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>

#include "common/worker_pool.h"
#include "coverage/ring_cells.h"

namespace velkan {

namespace {

struct RowSpan {
  std::uint64_t first = 0, last = 0;
};

// The rows whose strip an edge crosses over a positive height; a horizontal
// edge strictly inside a row belongs to that row, one on a row line to none.
RowSpan rows_of_edge(const PixelPoint& a, const PixelPoint& b, std::uint64_t nrows) {
  return {index_clamp(std::floor(std::min(a.v, b.v)), nrows), index_clamp(std::ceil(std::max(a.v, b.v)), nrows)};
}

std::uint64_t span_length(const RowSpan& span) { return span.last > span.first ? span.last - span.first : 0; }

// The whole number nearest to a running sum that is one up to rounding; the
// sums stay far below 2^62, so the integer round trip is exact. Every piece
// adds a finite amount; a sum that still were not finite would add nothing
// (as a NaN area adds nothing) rather than meet a conversion whose result is
// undefined.
double nearest_whole(double x) {
  if (!(std::fabs(x) < 0x1p62)) return 0.0;
  return static_cast<double>(static_cast<std::int64_t>(x + (x < 0.0 ? -0.5 : 0.5)));
}

// The point of the line through p and q at row coordinate v.
PixelPoint point_at_v(const PixelPoint& p, const PixelPoint& q, double v) {
  const double t = (v - p.v) / (q.v - p.v);
  return PixelPoint{(q.u - p.u) * t + p.u, v};
}

// One row's accumulators, indexed by column - c0. A piece of edge in column
// k adds its height times the share of the cell right of it to area[k], and
// its whole height to cover[k + 1], from where the running sum carries it to
// every cell further right. Pieces left of the grid add to the first cover.
// Every entry written is marked in the `touched` bits, so the row can visit
// and clear those alone, in column order.
class RowCells {
 public:
  // `width` entries from column c0 on, of a grid `ncols` wide.
  RowCells(EdgeRowScratch& s, std::uint64_t c0, std::size_t width, std::uint64_t ncols)
      : area_(s.area.data()),
        cover_(s.cover.data()),
        crossed_(s.crossed.data()),
        touched_(s.touched.data()),
        words_((width + 63) / 64),
        c0_(c0),
        ncols_(ncols) {}

  void add_vertical(double u, double dv) {
    if (u >= static_cast<double>(ncols_)) return;
    if (u <= 0.0) {
      add_cover(0, dv);
      return;
    }
    const double k = std::floor(u);
    const std::uint64_t i = static_cast<std::uint64_t>(k) - c0_;
    if (u == k) {  // on the column line: the whole height goes to the cell on its right
      add_cover(i, dv);
      return;
    }
    add_crossing(i, dv * (k + 1.0 - u), dv);
  }

  // A piece running from column position ul to ur > ul over the signed height dv.
  void add_sloped(double ul, double ur, double dv) {
    const double rate = dv / (ur - ul);
    if (!std::isfinite(rate)) {
      // Narrower than |dv| / DBL_MAX, as two positions can only be within
      // about 2.5e-293 of column 0: the piece is vertical but for that width,
      // and placed at its middle its areas change by less than |dv| times it.
      add_vertical((ul + ur) * 0.5, dv);
      return;
    }
    if (ul < 0.0) add_cover(0, (std::min(ur, 0.0) - ul) * rate);
    const std::uint64_t k0 = index_clamp(std::floor(ul), ncols_), k1 = index_clamp(std::ceil(ur), ncols_);
    for (std::uint64_t k = k0; k < k1; ++k) {
      const double left = static_cast<double>(k), a = std::max(ul, left), b = std::min(ur, left + 1.0);
      const double part = (b - a) * rate;
      add_crossing(k - c0_, part * (left + 1.0 - (a + b) * 0.5), part);
    }
  }

  // A horizontal edge inside the row adds no height, but the winding number
  // changes across it, so the cells it runs through are not whole.
  void mark_crossed(double ul, double ur) {
    const std::uint64_t k0 = index_clamp(std::floor(ul), ncols_), k1 = index_clamp(std::ceil(ur), ncols_);
    for (std::uint64_t k = k0; k < k1; ++k) {
      crossed_[k - c0_] = 1;
      touch(k - c0_);
    }
  }

  // Adds sign times every cell's area to row cells [c0, c1), once every piece
  // is in, and clears the entries written. Between crossed cells the running
  // sum only changes where a piece on a column line left its height, so its
  // whole value is rounded only there.
  void add_to_row(float* row, std::uint64_t c0, std::uint64_t c1, float sign, RowSweep sweep) {
    Sum sum;
    if (sweep == RowSweep::Every) {
      for (std::uint64_t k = c0; k < c1; ++k) add_cell(row, k, sign, sum);
      for_each_touched([](std::size_t) {});
      return;
    }
    // Untouched cells have no cover, area or crossing: each takes the whole value.
    std::uint64_t next = c0;
    for_each_touched([&](std::size_t i) {
      const std::uint64_t k = c0_ + i;
      if (k >= c1) return;
      add_whole(row, next, k, sign, sum.whole);
      add_cell(row, k, sign, sum);
      next = k + 1;
    });
    add_whole(row, next, c1, sign, sum.whole);
  }

 private:
  struct Sum {
    double run = 0.0, whole = 0.0;
  };

  void touch(std::uint64_t i) { touched_[i / 64] |= std::uint64_t{1} << (i % 64); }
  void add_cover(std::uint64_t i, double dv) {
    cover_[i] += dv;
    touch(i);
  }
  void add_crossing(std::uint64_t i, double area, double dv) {
    area_[i] += area;
    cover_[i + 1] += dv;
    crossed_[i] = 1;
    touch(i);
    touch(i + 1);
  }

  // Calls visit(i) for every touched entry in increasing order, then clears
  // the entry and its bit.
  template <class Visit>
  void for_each_touched(Visit visit) {
    for (std::size_t w = 0; w < words_; ++w) {
      for (std::uint64_t bits = touched_[w]; bits != 0; bits &= bits - 1) {
        const std::size_t i = w * 64 + static_cast<std::size_t>(std::countr_zero(bits));
        visit(i);
        area_[i] = 0.0;
        cover_[i] = 0.0;
        crossed_[i] = 0;
      }
      touched_[w] = 0;
    }
  }

  void add_cell(float* row, std::uint64_t k, float sign, Sum& sum) const {
    const std::uint64_t i = k - c0_;
    if (cover_[i] != 0.0) {
      sum.run += cover_[i];
      sum.whole = nearest_whole(sum.run);
    }
    if (crossed_[i])
      add_cell_area(row[k], area_[i] + sum.run, sign);
    else if (sum.whole != 0.0)
      row[k] = static_cast<float>(std::fabs(sum.whole)) * sign + row[k];
  }

  // Cells [from, to), none touched, all of the same whole value.
  static void add_whole(float* row, std::uint64_t from, std::uint64_t to, float sign, double whole) {
    if (whole == 0.0) return;
    const float value = static_cast<float>(std::fabs(whole)) * sign;
    for (std::uint64_t k = from; k < to; ++k) row[k] = value + row[k];
  }

  double* area_;
  double* cover_;
  std::uint8_t* crossed_;
  std::uint64_t* touched_;
  std::size_t words_;
  std::uint64_t c0_, ncols_;
};

// The part of edge p -> q inside the strip [g, g + 1], added to the row.
void add_edge_piece(const PixelPoint& p, const PixelPoint& q, double g, RowCells& cells) {
  if (p.v == q.v) {
    if (p.v > g && p.v < g + 1.0 && p.u != q.u) cells.mark_crossed(std::min(p.u, q.u), std::max(p.u, q.u));
    return;
  }
  const double top = g, bottom = g + 1.0;
  const PixelPoint s = p.v < top ? point_at_v(p, q, top) : p.v > bottom ? point_at_v(p, q, bottom) : p;
  const PixelPoint e = q.v < top ? point_at_v(p, q, top) : q.v > bottom ? point_at_v(p, q, bottom) : q;
  const double dv = e.v - s.v;
  if (s.u == e.u)
    cells.add_vertical(s.u, dv);
  else
    cells.add_sloped(std::min(s.u, e.u), std::max(s.u, e.u), dv);
}

struct RowJob {
  const std::vector<PixelPoint>& ring;
  float sign;
  CellRange range;
  RasterView<float> raster;
  RowFinish finish;
};

// The row buffers of `s`, `width` long, all zero.
void prepare_row_buffers(EdgeRowScratch& s, std::size_t width) {
  if (s.area.size() >= width) return;  // cleared by the previous row
  s.area.resize(width, 0.0);
  s.cover.resize(width, 0.0);
  s.crossed.resize(width, 0);
  s.touched.resize((width + 63) / 64, 0);
}

void accumulate_row(const RowJob& job, std::uint64_t r, const std::uint32_t* edges, const std::uint32_t* edges_end,
                    EdgeRowScratch& s, RowSweep sweep) {
  const std::size_t width = job.range.cols() + 1;
  prepare_row_buffers(s, width);
  RowCells cells(s, job.range.c0, width, job.raster.cols());
  const std::size_t n = job.ring.size();
  const double g = static_cast<double>(r);
  for (const std::uint32_t* e = edges; e != edges_end; ++e)
    add_edge_piece(job.ring[*e], job.ring[*e + 1 == n ? 0 : *e + 1], g, cells);
  cells.add_to_row(job.raster.row_ptr(r), job.range.c0, job.range.c1, job.sign, sweep);
  job.finish(r, job.raster);
}

}  // namespace

bool EdgeAccumulator::handles(const std::vector<PixelPoint>& ring) {
  if (ring.size() > std::numeric_limits<std::uint32_t>::max()) return false;
  for (const PixelPoint& p : ring)
    if (!(std::fabs(p.u) <= kLargestExactPixel && std::fabs(p.v) <= kLargestExactPixel)) return false;
  return true;
}

namespace {

// Edges by row of rows [row0, row1), in ring order: row_edges[row_start[i],
// row_start[i + 1]) are the edges meeting row row0 + i.
void bucket_edges(const std::vector<PixelPoint>& ring, std::uint64_t row0, std::uint64_t row1, std::uint64_t nrows,
                  std::vector<std::size_t>& row_start_, std::vector<std::uint32_t>& row_edges_) {
  // Counted into [i + 2] and filled through [i + 1], so that afterwards
  // row_start_[i] and row_start_[i + 1] bound row i.
  const std::size_t n = ring.size();
  row_start_.assign(row1 - row0 + 2, 0);
  auto for_each_row_of_edge = [&](auto&& visit) {
    for (std::size_t i = 0; i < n; ++i) {
      const RowSpan span = rows_of_edge(ring[i], ring[i + 1 == n ? 0 : i + 1], nrows);
      for (std::uint64_t r = std::max(span.first, row0); r < std::min(span.last, row1); ++r) visit(i, r - row0);
    }
  };
  for_each_row_of_edge([&](std::size_t, std::uint64_t row) { ++row_start_[row + 2]; });
  for (std::size_t i = 2; i < row_start_.size(); ++i) row_start_[i] += row_start_[i - 1];
  row_edges_.resize(row_start_.back());
  for_each_row_of_edge([&](std::size_t edge, std::uint64_t row) {
    row_edges_[row_start_[row + 1]++] = static_cast<std::uint32_t>(edge);
  });
}

std::uint64_t row_pairs(const std::vector<PixelPoint>& ring, std::uint64_t nrows) {
  std::uint64_t pairs = 0;
  for (std::size_t i = 0; i < ring.size(); ++i)
    pairs += span_length(rows_of_edge(ring[i], ring[i + 1 == ring.size() ? 0 : i + 1], nrows));
  return pairs;
}

// Rows of a batch go to the workers at least this many at a time.
constexpr std::uint64_t kBatchBandRows = 16;

}  // namespace

bool EdgeAccumulator::is_small(const std::vector<PixelPoint>& ring, RasterView<float> raster) {
  const CellRange range = cell_range(bounds_of(ring), raster.rows(), raster.cols());
  const std::uint64_t cells = range.rows() * (range.cols() + 1);
  return cells < kInlineWork && cells + row_pairs(ring, raster.rows()) < kInlineWork;
}

void EdgeAccumulator::add_batch(const std::vector<PendingRing>& rings, RasterView<float> raster, WorkerPool& pool) {
  std::vector<RowJob> jobs;
  jobs.reserve(rings.size());
  std::uint64_t r0 = UINT64_MAX, r1 = 0, work = 0;
  for (const PendingRing& p : rings) {
    if (p.ring.size() < 3) continue;
    const RowJob job{p.ring, p.sign, cell_range(bounds_of(p.ring), raster.rows(), raster.cols()), raster, p.finish};
    if (job.range.empty()) continue;
    r0 = std::min(r0, job.range.r0);
    r1 = std::max(r1, job.range.r1);
    work += job.range.rows() * (job.range.cols() + 1);
    jobs.push_back(job);
  }
  if (jobs.empty()) return;
  // The jobs meeting each band, in ring order: band_jobs[band_start[b], band_start[b + 1]).
  const std::uint64_t band_rows =
      std::max(kBatchBandRows, rows_per_block(raster.cols() * sizeof(float), r1 - r0, pool.size()));
  const std::uint64_t bands = (r1 - r0 + band_rows - 1) / band_rows;
  std::vector<std::size_t> band_start(bands + 2, 0);
  auto for_each_band_of_job = [&](auto&& visit) {
    for (std::size_t j = 0; j < jobs.size(); ++j) {
      const std::uint64_t first = (jobs[j].range.r0 - r0) / band_rows;
      const std::uint64_t last = (jobs[j].range.r1 - 1 - r0) / band_rows;
      for (std::uint64_t b = first; b <= last; ++b) visit(j, b);
    }
  };
  for_each_band_of_job([&](std::size_t, std::uint64_t b) { ++band_start[b + 2]; });
  for (std::size_t i = 2; i < band_start.size(); ++i) band_start[i] += band_start[i - 1];
  std::vector<std::size_t> band_jobs(band_start.back());
  for_each_band_of_job([&](std::size_t j, std::uint64_t b) { band_jobs[band_start[b + 1]++] = j; });

  auto run_band = [&](std::size_t band, std::size_t worker) {
    EdgeRowScratch& s = scratch_[worker];
    const std::uint64_t b0 = r0 + band * band_rows, b1 = std::min(r1, b0 + band_rows);
    for (std::size_t k = band_start[band]; k < band_start[band + 1]; ++k) {
      // A band can hold a great many rings: the caller running it stays
      // interruptible, and a worker leaves a failed loop early.
      pool.poll();
      if (pool.loop_cancelled()) return;
      const RowJob& job = jobs[band_jobs[k]];
      const std::uint64_t lo = std::max(b0, job.range.r0), hi = std::min(b1, job.range.r1);
      bucket_edges(job.ring, lo, hi, raster.rows(), s.row_start, s.row_edges);
      for (std::uint64_t r = lo; r < hi; ++r) {
        const std::uint32_t* edges = s.row_edges.data();
        accumulate_row(job, r, edges + s.row_start[r - lo], edges + s.row_start[r - lo + 1], s, sweep_);
      }
    }
  };
  if (bands == 1 || work < kInlineWork) {
    // The caller does these bands itself: waking the pool would cost more.
    for (std::size_t band = 0; band < bands; ++band) run_band(band, 0);
  } else {
    pool.parallel_for(0, bands, run_band);
  }
}

void EdgeAccumulator::add(const std::vector<PixelPoint>& ring, float sign, RasterView<float> raster, WorkerPool& pool,
                          RowFinish finish) {
  if (ring.size() < 3) return;
  const RowJob job{ring, sign, cell_range(bounds_of(ring), raster.rows(), raster.cols()), raster, finish};
  if (job.range.empty()) return;
  const std::uint64_t pairs = row_pairs(ring, raster.rows());
  const std::uint64_t band_rows =
      pairs <= band_entries_
          ? job.range.rows()
          : std::max<std::uint64_t>(1, static_cast<std::uint64_t>(static_cast<double>(job.range.rows()) *
                                                                  static_cast<double>(band_entries_) / pairs));
  for (std::uint64_t row0 = job.range.r0; row0 < job.range.r1; row0 += std::min(band_rows, job.range.r1 - row0)) {
    const std::uint64_t row1 = row0 + std::min(band_rows, job.range.r1 - row0);
    bucket_edges(ring, row0, row1, raster.rows(), row_start_, row_edges_);
    auto run_row = [&](std::size_t r, std::size_t worker) {
      const std::uint32_t* edges = row_edges_.data();
      accumulate_row(job, r, edges + row_start_[r - row0], edges + row_start_[r - row0 + 1], scratch_[worker], sweep_);
    };
    if ((row1 - row0) * (job.range.cols() + 1) + row_edges_.size() < kInlineWork) {
      for (std::uint64_t r = row0; r < row1; ++r) {
        pool.poll();  // the caller does these rows itself: stay interruptible
        run_row(r, 0);
      }
    } else {
      const std::uint64_t block_rows = rows_per_block(raster.cols() * sizeof(float), row1 - row0, pool.size());
      const std::uint64_t blocks = (row1 - row0 + block_rows - 1) / block_rows;
      pool.parallel_for(0, blocks, [&](std::size_t block, std::size_t worker) {
        const std::uint64_t first = row0 + block * block_rows;
        for (std::uint64_t r = first; r < std::min(row1, first + block_rows); ++r) run_row(r, worker);
      });
    }
  }
}

}  // namespace velkan
