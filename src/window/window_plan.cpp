#include "window/window_plan.h"

#include <algorithm>
#include <string>

#include "common/errors.h"

namespace velkan {
namespace {

const Raster<float>* find_level(const LevelMap& map, std::int32_t level) {
  const auto it = map.find(level);
  return it == map.end() ? nullptr : &it->second;
}

const Raster<float>& require_level(const LevelMap& map, std::int32_t level, const char* message) {
  const Raster<float>* raster = find_level(map, level);
  if (raster == nullptr) throw InternalError(message);
  return *raster;
}

// Every value raster of a level is read at the condition's indices.
void check_same_shape(const Raster<float>* raster, const Raster<float>& condition, std::int32_t level,
                      const char* name) {
  if (raster != nullptr && (raster->rows() != condition.rows() || raster->cols() != condition.cols())) {
    throw InternalError(std::string(name) + " raster at level " + std::to_string(level) +
                        " does not match the condition raster's shape.");
  }
}

bool is_even(std::int32_t width) { return (width & 1) == 0; }

// An outer width below the inner one is ignored, not rejected.
std::int32_t outer_width(const ConnectivityParams& params) {
  return params.outer_window >= params.window_size ? params.outer_window : params.window_size;
}

void check_window_widths(const ConnectivityParams& params) {
  if (is_even(params.window_size)) throw InternalError("Window size must be odd-numbered");
  if (params.outer_window >= params.window_size && is_even(params.outer_window)) {
    throw InternalError("Outer window size must be odd-numbered");
  }
}

// Room for the largest window a level can gather, so a reused buffer never
// grows after the first focal cell: a width-W window spans at most 2W + 1
// level cells per side, and never more cells than the level raster holds.
std::size_t window_capacity(std::int32_t width, const Raster<float>& level_condition) {
  const std::int64_t side = 2 * static_cast<std::int64_t>(std::max(width, 0)) + 1;
  const auto raster_cells = static_cast<std::int64_t>(level_condition.rows() * level_condition.cols());
  // side * side overflows for the widest windows; compare without forming it.
  if (side > raster_cells / side) return static_cast<std::size_t>(raster_cells);
  return static_cast<std::size_t>(side * side);
}

}  // namespace

LevelPlan plan_level(const PreparedEngine& prepared, const ConnectivityParams& params, std::int32_t level) {
  LevelPlan plan;
  plan.level = level;
  plan.weights = &require_level(prepared.weights, level, "Weights level not found!");
  plan.condition = &require_level(prepared.condition, level, "Condition level not found!");
  if (prepared.pa_membership) {
    plan.pa = &require_level(*prepared.pa_membership, level, "PA-membership level not found!");
  }
  if (prepared.traversal) plan.traversal = &require_level(*prepared.traversal, level, "Traversal level not found!");
  check_same_shape(plan.weights, *plan.condition, level, "Weights");
  check_same_shape(plan.pa, *plan.condition, level, "PA-membership");
  check_same_shape(plan.traversal, *plan.condition, level, "Traversal");
  check_window_widths(params);
  if (level <= 0) throw InternalError("Level key " + std::to_string(level) + " is not positive.");
  const std::int32_t outer = outer_width(params);
  plan.width = level == prepared.coarsest ? outer : params.window_size;
  plan.capacity = window_capacity(plan.width, *plan.condition);
  if (find_level(prepared.condition, kBaseLevel) == nullptr) throw InternalError("Base condition level not found!");
  for (const LevelMap& grid : prepared.transition) plan.transition.push_back(find_level(grid, level));
  return plan;
}

WindowPlan plan_windows(const PreparedEngine& prepared, const ConnectivityParams& params) {
  WindowPlan plan;
  plan.prepared = &prepared;
  plan.params = &params;
  plan.base = find_level(prepared.condition, kBaseLevel);
  for (const std::int32_t level : prepared.sorted_levels) {
    try {
      plan.levels.push_back(plan_level(prepared, params, level));
    } catch (const InternalError& error) {
      plan.failure = error.what();
      break;
    }
  }
  return plan;
}

}  // namespace velkan
