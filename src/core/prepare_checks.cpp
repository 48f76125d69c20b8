#include "core/prepare_checks.h"

#include <string>

#include "common/errors.h"
#include "common/shape_text.h"

namespace velkan {

namespace {

// Global grid coordinates, level keys and extents are signed 32-bit values.
constexpr std::uint64_t kSigned32Limit = std::uint64_t{1} << 31;
constexpr const char* kLimitText = " (must stay below 2^31 = 2147483648)";

bool covers(std::size_t rows, std::size_t cols, const Raster<float>& condition) {
  return rows >= condition.rows() && cols >= condition.cols();
}

// The driver reads the mask at every condition cell, so it must cover them all.
void check_mask(const EngineInputs& inputs, const Raster<float>& condition) {
  if (covers(inputs.mask.rows(), inputs.mask.cols(), condition)) return;
  throw OrdinaryError("Mask shape " + shape_text(inputs.mask.rows(), inputs.mask.cols()) +
                      " is smaller than condition shape " + shape_text(condition.rows(), condition.cols()));
}

// Grids are read at the focal cells; a larger grid is fine.
void check_transition_grids(const EngineInputs& inputs, const Raster<float>& condition) {
  if (!inputs.transition_grids) return;
  const auto& grids = *inputs.transition_grids;
  for (std::size_t g = 0; g < grids.size(); ++g) {
    if (covers(grids[g].rows(), grids[g].cols(), condition)) continue;
    throw OrdinaryError("Transition grid " + std::to_string(g) + " shape " +
                        shape_text(grids[g].rows(), grids[g].cols()) + " is smaller than condition shape " +
                        shape_text(condition.rows(), condition.cols()));
  }
}

void check_levels_fit(const std::vector<std::uint64_t>& levels) {
  for (std::uint64_t level : levels) {
    if (level >= kSigned32Limit) {
      throw OrdinaryError("Level " + std::to_string(level) + " does not fit a signed 32-bit level key" + kLimitText);
    }
  }
}

void check_offset(const char* axis, std::uint64_t offset) {
  if (offset < kSigned32Limit) return;
  throw OrdinaryError(std::string(axis) + " offset " + std::to_string(offset) +
                      " does not fit signed 32-bit grid coordinates" + kLimitText);
}

void check_extent(const char* axis, std::uint64_t offset, const char* what, std::size_t extent) {
  const std::uint64_t end = offset + extent;
  if (end < kSigned32Limit) return;
  throw OrdinaryError(std::string(axis) + " offset " + std::to_string(offset) + " + " + what + " " +
                      std::to_string(extent) + " = " + std::to_string(end) +
                      " does not fit signed 32-bit grid coordinates" + kLimitText);
}

void check_raster_extent(const ConnectivityParams& p, const char* name, const Raster<float>& raster) {
  check_extent("Row", p.row_offset, (std::string(name) + " rows").c_str(), raster.rows());
  check_extent("Column", p.col_offset, (std::string(name) + " columns").c_str(), raster.cols());
}

void check_offsets_fit(const EngineInputs& inputs, const Raster<float>& condition) {
  const ConnectivityParams& p = inputs.params;
  check_offset("Row", p.row_offset);
  check_offset("Column", p.col_offset);
  check_raster_extent(p, "condition", condition);
  if (inputs.traversal) check_raster_extent(p, "traversal", *inputs.traversal);
  if (inputs.transition_grids) {
    for (const auto& grid : *inputs.transition_grids) check_raster_extent(p, "transition grid", grid);
  }
}

}  // namespace

void check_prepare_inputs(const EngineInputs& inputs) {
  const Raster<float>& condition = *inputs.condition;
  check_mask(inputs, condition);
  check_transition_grids(inputs, condition);
  check_levels_fit(inputs.levels);
  check_offsets_fit(inputs, condition);
}

}  // namespace velkan
