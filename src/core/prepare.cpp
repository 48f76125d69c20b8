// The preparation sequence: every pyramid the search reads, built and checked
// before any focal cell is searched.
#include <string>

#include "common/errors.h"
#include "core/level_checks.h"
#include "core/prepare.h"
#include "core/prepare_checks.h"
#include "overview/overview.h"

namespace velkan {

namespace {

constexpr const char* kNoCondition = "No base level (key=1) in condition array";
constexpr const char* kNoBaseTransform = "Missing base-level transform (key=1).";
constexpr const char* kAverageFailed = "Failed average resampling.";
constexpr const char* kWeightsFailed = "Failed to build cell weights.";
constexpr const char* kMembershipFailed = "Failed to build PA-membership overview.";
constexpr const char* kTraversalFailed = "Failed average resampling for traversal.";

// A failed build is a broken step of the preparation: the builder's error,
// named after the step.
template <class Build>
LevelMap build_step(const char* step, Build&& build) {
  try {
    return build();
  } catch (const InternalError& failure) {
    throw InternalError(std::string(step) + ": " + failure.what());
  }
}

struct GridPlacement {
  std::int32_t row_offset;
  std::int32_t col_offset;
};

// Offsets already checked to fit; the builders work on their signed 32-bit values.
GridPlacement placement(const ConnectivityParams& params) {
  return {static_cast<std::int32_t>(params.row_offset), static_cast<std::int32_t>(params.col_offset)};
}

LevelMap average_pyramid_unwrapped(const Raster<float>& base, const EngineInputs& inputs, WorkerPool& pool) {
  const GridPlacement at = placement(inputs.params);
  return build_level_overviews(base, inputs.levels, at.row_offset, at.col_offset, ResampleMode::Average, nullptr, pool);
}

LevelMap average_pyramid(const char* step, const Raster<float>& base, const EngineInputs& inputs, WorkerPool& pool) {
  return build_step(step, [&] { return average_pyramid_unwrapped(base, inputs, pool); });
}

LevelMap weights_pyramid(const EngineInputs& inputs, const Affine& base_transform, WorkerPool& pool) {
  const GridPlacement at = placement(inputs.params);
  const ResampleMode mode = inputs.params.is_geo ? ResampleMode::Area : ResampleMode::ValidCount;
  return build_step(kWeightsFailed, [&] {
    return build_level_overviews(*inputs.condition, inputs.levels, at.row_offset, at.col_offset, mode, &base_transform,
                                 pool);
  });
}

std::vector<LevelMap> transition_pyramids(const EngineInputs& inputs, WorkerPool& pool) {
  std::vector<LevelMap> pyramids;
  if (!inputs.transition_grids) return pyramids;
  const GridPlacement at = placement(inputs.params);
  pyramids.reserve(inputs.transition_grids->size());
  for (const Raster<float>& grid : *inputs.transition_grids) {
    pyramids.push_back(build_step(kAverageFailed, [&] {
      return build_transition_overviews(grid, inputs.levels, at.row_offset, at.col_offset, pool);
    }));
  }
  return pyramids;
}

void derive_level_list(PreparedEngine& prepared) {
  prepared.sorted_levels.clear();
  for (const auto& entry : prepared.condition) prepared.sorted_levels.push_back(entry.first);
  prepared.coarsest = prepared.sorted_levels.empty() ? kBaseLevel : prepared.sorted_levels.back();
}

}  // namespace

PreparedEngine prepare_engine(const EngineInputs& inputs, WorkerPool& pool) {
  if (!inputs.condition) throw OrdinaryError(kNoCondition);
  const Raster<float>& condition = *inputs.condition;
  check_prepare_inputs(inputs);

  PreparedEngine prepared;
  prepared.condition = average_pyramid(kAverageFailed, condition, inputs, pool);

  const auto base_transform = inputs.transforms.find(kBaseLevel);
  if (base_transform == inputs.transforms.end()) throw InternalError(kNoBaseTransform);
  prepared.weights = weights_pyramid(inputs, base_transform->second, pool);
  check_level_maps_match(prepared.weights, prepared.condition);

  if (inputs.params.pa_to_pa) {
    prepared.pa_membership = build_step(kMembershipFailed, [&] {
      const Raster<float> membership = build_pa_membership(condition, inputs.mask);
      return average_pyramid_unwrapped(membership, inputs, pool);
    });
    check_level_maps_match(*prepared.pa_membership, prepared.condition);
  }
  if (inputs.traversal) {
    prepared.traversal = average_pyramid(kTraversalFailed, *inputs.traversal, inputs, pool);
    check_level_maps_match(*prepared.traversal, prepared.condition);
  }
  prepared.transition = transition_pyramids(inputs, pool);
  derive_level_list(prepared);
  return prepared;
}

}  // namespace velkan
