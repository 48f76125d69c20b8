// Engine entry: preparation, then the focal cells, by rows and segments of rows, on the call's pool.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/raster.h"
#include "model/engine_inputs.h"

namespace velkan {

class WorkerPool;

// Focal cells [first, last) of one row, a task of the call's loop.
struct RowTask {
  std::size_t row, first, last;
};

// The tasks over the first `rows` × `cols` cells of `mask` (at least that
// large), rows ascending: whole rows, but for the last 2 × `workers` rows that
// hold focal cells (mask 0), which go in segments of `segment` cells. A whole
// row is one worker's, so no other builds that row's graph templates again
// (geographic grids have a set per row) or meets its phases at the same
// moment; the segments keep the last tasks short, so that no worker waits
// long for another's row.
std::vector<RowTask> plan_row_tasks(const Raster<std::uint8_t>& mask, std::size_t rows, std::size_t cols,
                                    std::size_t workers, std::size_t segment);

// Result raster of the condition's shape; cells that are not focal sources hold NaN.
// Throws OrdinaryError (bad input) or InternalError (broken invariant).
Raster<float> run_connectivity_engine(const EngineInputs& inputs, WorkerPool& pool);

}  // namespace velkan
