#include "core/engine.h"

#include <limits>
#include <vector>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "core/prepared.h"
#include "core/search.h"

namespace velkan {
Raster<float> run_connectivity_engine(const EngineInputs& inputs, WorkerPool& pool) {
  const PreparedEngine prepared = prepare_engine(inputs, pool);
  const Raster<float>& condition = *inputs.condition;  // prepare_engine rejects its absence
  // The preparation has also checked that the mask covers every condition cell.
  const std::size_t rows = condition.rows(), cols = condition.cols();
  Raster<float> result(rows, cols, std::numeric_limits<float>::quiet_NaN());
  const bool olvi = inputs.transition_grids.has_value() && !inputs.transition_grids->empty();
  const CallTables tables = make_call_tables(inputs, prepared, olvi);
  const SearchContext ctx{prepared, inputs.params, inputs.transforms, inputs.mask, olvi, &tables.step_lengths,
                          &tables.decay};
  // One scratch per worker: steady state reuses its buffers for every focal cell.
  std::vector<SearchScratch> scratch(pool.size());
  pool.parallel_for(0, rows, [&](std::size_t r, std::size_t worker) {
    search_row(static_cast<std::int32_t>(r), cols, ctx, result.row_ptr(r), scratch[worker]);
  });
  return result;
}

}  // namespace velkan
