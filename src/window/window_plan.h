// What every focal cell's windows read, looked up and checked once per call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "model/engine_inputs.h"
#include "model/pyramids.h"

namespace velkan {

// One level's rasters and window width, checked to agree with each other.
struct LevelPlan {
  std::int32_t level = 0;
  std::int32_t width = 0;    // window width in level cells: the outer one at the coarsest level
  std::size_t capacity = 0;  // the most cells one window of `width` can gather
  const Raster<float>* condition = nullptr;
  const Raster<float>* weights = nullptr;
  const Raster<float>* pa = nullptr;             // only with a PA-membership pyramid
  const Raster<float>* traversal = nullptr;      // only with a traversal pyramid
  std::vector<const Raster<float>*> transition;  // per grid; nullptr where a grid has no such level
};

// The plans of the sorted level list's levels, in order. A level that fails
// its checks ends the list there: `failure` holds the InternalError's text,
// which gathering throws on reaching that level, after the levels before it,
// just where the checks would have failed had every focal cell made them.
struct WindowPlan {
  const PreparedEngine* prepared = nullptr;
  const ConnectivityParams* params = nullptr;
  const Raster<float>* base = nullptr;  // the level-1 condition raster
  std::vector<LevelPlan> levels;
  std::optional<std::string> failure;
};

// The plan of one level. Throws InternalError for a missing or mismatched
// level raster, an even window width, a level key that is not positive and a
// missing base level, in that order.
LevelPlan plan_level(const PreparedEngine& prepared, const ConnectivityParams& params, std::int32_t level);

// The plan of every level; `prepared` and `params` must outlive it.
WindowPlan plan_windows(const PreparedEngine& prepared, const ConnectivityParams& params);

}  // namespace velkan
