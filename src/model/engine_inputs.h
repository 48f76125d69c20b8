// The record the Python boundary hands the connectivity engine: owned rasters
// and plain values only, no Python objects.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <vector>

#include "common/affine.h"
#include "common/raster.h"

namespace velkan {

enum class WindowMode : std::uint8_t { Circular = 0, Square = 1 };

struct ConnectivityParams {
  std::vector<float> lambdas;
  bool is_geo = false;
  float max_cost = 0.0f;
  std::int32_t window_size = 3;
  std::int32_t outer_window = 3;
  std::uint64_t row_offset = 0;  // global base row of local row 0
  std::uint64_t col_offset = 0;  // global base column of local column 0
  WindowMode window_mode = WindowMode::Circular;
  bool pa_to_pa = false;
};

// Transforms by level key; ordered so that every iteration is deterministic.
using TransformMap = std::map<std::int32_t, Affine>;

struct EngineInputs {
  std::optional<Raster<float>> condition;                      // rows x cols
  std::optional<Raster<float>> traversal;                      // path weights only
  std::optional<std::vector<Raster<float>>> transition_grids;  // rows x cols x bands each
  TransformMap transforms;
  Raster<std::uint8_t> mask;          // 1 = not a focal source; in KOVA 0 = protected
  std::vector<std::uint64_t> levels;  // caller's order, duplicates kept
  ConnectivityParams params;
};

}  // namespace velkan
