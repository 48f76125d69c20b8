#include "core/engine.h"

#include <limits>
#include <string>
#include <vector>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "core/prepared.h"
#include "core/search.h"

namespace velkan {
namespace {

void check_mask_covers(const Raster<std::uint8_t>& mask, std::size_t rows, std::size_t cols) {
  if (mask.rows() < rows || mask.cols() < cols) {
    throw OrdinaryError("Mask of shape (" + std::to_string(mask.rows()) + ", " + std::to_string(mask.cols()) +
                        ") does not cover the condition raster of shape (" + std::to_string(rows) + ", " +
                        std::to_string(cols) + ")");
  }
}

}  // namespace

Raster<float> run_connectivity_engine(const EngineInputs& inputs, WorkerPool& pool) {
  const PreparedEngine prepared = prepare_engine(inputs, pool);
  const Raster<float>& condition = *inputs.condition;  // prepare_engine rejects its absence
  const std::size_t rows = condition.rows(), cols = condition.cols();
  check_mask_covers(inputs.mask, rows, cols);
  Raster<float> result(rows, cols, std::numeric_limits<float>::quiet_NaN());
  const bool olvi = inputs.transition_grids.has_value() && !inputs.transition_grids->empty();
  const SearchContext ctx{prepared, inputs.params, inputs.transforms, inputs.mask, olvi};
  // One scratch per worker: steady state reuses its buffers for every focal cell.
  std::vector<SearchScratch> scratch(pool.size());
  pool.parallel_for(0, rows, [&](std::size_t r, std::size_t worker) {
    search_row(static_cast<std::int32_t>(r), cols, ctx, result.row_ptr(r), scratch[worker]);
  });
  return result;
}

}  // namespace velkan
