#include "core/engine.h"

#include <algorithm>
#include <limits>
#include <vector>

#include "common/errors.h"
#include "common/worker_pool.h"
#include "core/prepare.h"
#include "core/search.h"
#include "model/kernel_form.h"

namespace velkan {
namespace {

// Focal cells per task: enough to make a task's overhead nothing, few enough
// that a call's tasks outnumber its workers many times over.
constexpr std::size_t kSegmentCols = 64;

}  // namespace

Raster<float> run_connectivity_engine(const EngineInputs& inputs, WorkerPool& pool) {
  const PreparedEngine prepared = prepare_engine(inputs, pool);
  const Raster<float>& condition = *inputs.condition;  // prepare_engine rejects its absence
  // The preparation has also checked that the mask covers every condition cell.
  const std::size_t rows = condition.rows(), cols = condition.cols();
  Raster<float> result(rows, cols, std::numeric_limits<float>::quiet_NaN());
  const KernelForm form = kernel_form(inputs);
  const CallTables tables = make_call_tables(inputs, prepared, form);
  SharedTemplates shared_templates(tables.templates, tables.windows);
  const SearchContext ctx{prepared, inputs.params, inputs.transforms, inputs.mask, form, tables, &shared_templates};
  // One scratch per worker: steady state reuses its buffers for every focal cell.
  std::vector<SearchScratch> scratch(pool.size());
  // Rows go to the workers in segments of kSegmentCols cells, so that the last
  // tasks of a call are short and no worker waits long for another's row.
  const std::size_t segments = (cols + kSegmentCols - 1) / kSegmentCols;
  pool.parallel_for(0, rows * segments, [&](std::size_t task, std::size_t worker) {
    const std::size_t r = task / segments, first = (task % segments) * kSegmentCols;
    search_row(static_cast<std::int32_t>(r), first, std::min(cols, first + kSegmentCols), ctx, result.row_ptr(r),
               scratch[worker], &pool);
  });
  return result;
}

}  // namespace velkan
