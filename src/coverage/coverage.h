// Exact per-pixel coverage of polygons with holes.
#pragma once

#include <cstdint>
#include <vector>

#include "common/affine.h"
#include "common/raster.h"

namespace velkan {

class WorkerPool;

struct Vertex {
  double x = 0.0, y = 0.0;
};

// Implicitly closed; a repeated closing vertex stays in the sequence.
using Ring = std::vector<Vertex>;

struct Polygon {
  Ring exterior;
  std::vector<Ring> holes;
};

// Fraction of each pixel of an nrows x ncols grid covered by the polygons,
// clamped to [0, 1]. Exteriors add their overlap area, holes subtract it, in
// ring order; the rows of one ring run in parallel on the pool. Rings with
// finite coordinates are accumulated from their edges, the others by clipping
// each row and cell (the same areas up to float64 rounding).
// Throws InternalError when nrows * ncols floats overflow a signed 64-bit
// size, std::bad_alloc when the raster does not fit in memory.
Raster<float> rasterise_coverage(const std::vector<Polygon>& polygons, const Affine& transform, std::uint64_t nrows,
                                 std::uint64_t ncols, WorkerPool& pool);

// When cells are clamped into [0, 1]: each row as soon as its last ring is in
// (while still in cache), or all of them after the last ring, the plain way
// (which rows too narrow to be worth the bookkeeping take anyway). The values
// are the same.
enum class ClampOrder { ByRows, AtEnd };

// The same into a caller's zeroed cells, which only need to be written where
// a ring reaches: a lazily zeroed buffer stays untouched elsewhere.
void rasterise_coverage_into(const std::vector<Polygon>& polygons, const Affine& transform, RasterView<float> cells,
                             WorkerPool& pool, ClampOrder order = ClampOrder::ByRows);

// Throws the InternalError above for a shape whose byte count overflows.
void check_coverage_shape(std::uint64_t nrows, std::uint64_t ncols);

}  // namespace velkan
