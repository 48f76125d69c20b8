// The fast way to accumulate a ring, from its edges alone.
//
// The signed area of a ring's piece in a cell is the integral of the ring's
// winding number over the cell. Within one row strip every edge piece adds,
// to the cells right of it, the strip height it spans (its "cover"), and to
// the cell it crosses only the part of that height right of the edge (its
// "area"). A running sum over the row then gives every cell's integral, so
// the work grows with the vertices plus the cells covered, not their product.
//
// Cells no edge passes through have a constant winding number, so their
// integral is a whole number: it is rounded, which keeps cells outside the
// ring exactly 0 and those inside exactly 1.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/raster.h"
#include "coverage/clip.h"
#include "coverage/row_clamp.h"

namespace velkan {

class WorkerPool;

// One worker's row buffers, indexed by column - c0, and its edge buckets for
// batched rings; they only grow. Between rows the buffers hold zeros: a row
// sets the bit of every entry it writes in `touched` (bit i % 64 of word
// i / 64) and clears only those.
struct EdgeRowScratch {
  std::vector<double> area, cover;
  std::vector<std::uint8_t> crossed;
  std::vector<std::uint64_t> touched;
  std::vector<std::size_t> row_start;
  std::vector<std::uint32_t> row_edges;
};

// How a row's sums are carried along it: visiting only the cells the edges
// touched and adding the whole cells between them in runs, or visiting every
// cell, the plain way. The values are the same.
enum class RowSweep { Touched, Every };

// A small ring kept to be added with others (EdgeAccumulator::add_batch).
struct PendingRing {
  std::vector<PixelPoint> ring;
  float sign = 1.0f;
  RowFinish finish;
};

class EdgeAccumulator {
 public:
  // A ring whose edges meet more than `band_entries` rows in all is swept in
  // bands of rows, so the row buckets stay bounded.
  static constexpr std::uint64_t kBandEntries = std::uint64_t{1} << 24;  // 64 MB of edge indices

  explicit EdgeAccumulator(std::size_t workers, std::uint64_t band_entries = kBandEntries,
                           RowSweep sweep = RowSweep::Touched)
      : scratch_(workers), band_entries_(band_entries), sweep_(sweep) {}

  // Rings the edge path handles: finite coordinates small enough that their
  // differences cannot overflow, and edge indices that fit 32 bits.
  static bool handles(const std::vector<PixelPoint>& ring);

  // Adds sign times the overlap area of `ring` with every cell of `raster`;
  // the same values as the clipping path up to float64 rounding.
  // `finish` runs after each of its rows.
  void add(const std::vector<PixelPoint>& ring, float sign, RasterView<float> raster, WorkerPool& pool,
           RowFinish finish = {});

  // True for a ring too small to be worth waking the pool for on its own.
  static bool is_small(const std::vector<PixelPoint>& ring, RasterView<float> raster);

  // Adds the rings as add() would one after another. The rows are shared out
  // in bands and each band applies the rings in their order, so every cell
  // gets the same sums; many small rings keep every worker busy.
  void add_batch(const std::vector<PendingRing>& rings, RasterView<float> raster, WorkerPool& pool);

 private:
  std::vector<EdgeRowScratch> scratch_;
  std::uint64_t band_entries_;
  RowSweep sweep_;
  // Edges by row of the current band of rows, in ring order: row_edges_
  // [row_start_[i], row_start_[i + 1]) are the edges meeting band row i.
  std::vector<std::size_t> row_start_;
  std::vector<std::uint32_t> row_edges_;
};

}  // namespace velkan
