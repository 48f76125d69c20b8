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

// Cells per task in the last rows: enough to make a task's overhead nothing,
// few enough that those rows' tasks outnumber the workers many times over.
constexpr std::size_t kSegmentCols = 64;

}  // namespace

std::vector<RowTask> plan_row_tasks(const Raster<std::uint8_t>& mask, std::size_t rows, std::size_t cols,
                                    std::size_t workers, std::size_t segment) {
  const auto holds_focal_cells = [&](std::size_t r) {
    const std::uint8_t* row = mask.row_ptr(r);
    return std::find(row, row + cols, std::uint8_t{0}) != row + cols;
  };
  // The first row of the segmented tail.
  std::size_t tail = rows;
  for (std::size_t focal_rows = 0; tail > 0 && focal_rows < 2 * workers;) {
    focal_rows += holds_focal_cells(--tail) ? 1 : 0;
  }
  std::vector<RowTask> tasks;
  for (std::size_t r = 0; r < rows; ++r) {
    const std::size_t step = r < tail ? cols : std::max<std::size_t>(segment, 1);
    for (std::size_t first = 0; first < cols; first += step)
      tasks.push_back(RowTask{r, first, std::min(cols, first + step)});
  }
  return tasks;
}

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
  const std::vector<RowTask> tasks = plan_row_tasks(inputs.mask, rows, cols, pool.size(), kSegmentCols);
  pool.parallel_for(0, tasks.size(), [&](std::size_t i, std::size_t worker) {
    const RowTask& task = tasks[i];
    search_row(static_cast<std::int32_t>(task.row), task.first, task.last, ctx, result.row_ptr(task.row),
               scratch[worker], &pool);
  });
  return result;
}

}  // namespace velkan
