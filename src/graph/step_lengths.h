// Lengths of the eight same-level steps, computed once per call.
//
// A projected step's length does not depend on where it starts, and on a
// north-up geographic grid it depends only on the row it starts from, so the
// graph of each focal cell reads its same-level edge lengths from here
// instead of measuring every edge again. Any other grid is measured edge by
// edge. The values are those of measuring the first column's step: the same
// as measuring in place up to the float64 rounding of the cell centres.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "common/affine.h"

namespace velkan {

// One step's length in float32 km and in integer cost units.
struct StepLength {
  float km = 0.0f;
  std::uint32_t units = 0;
};

using StepRow = std::array<StepLength, 8>;

// One level's steps: a single row when they do not depend on where they start.
struct LevelSteps {
  bool per_row = false;
  std::vector<StepRow> rows;  // one row, or one per level row

  // The steps leaving local row `row`, or nullptr outside the level's rows.
  const StepRow* from_row(std::int64_t row) const {
    if (!per_row) return &rows[0];
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size()) return nullptr;
    return &rows[static_cast<std::size_t>(row)];
  }
};

class StepLengths {
 public:
  StepLengths() = default;

  // `level_rows` is each level raster's row count; the steps are those of
  // `steps` (row step, column step), in that order.
  StepLengths(const std::map<std::int32_t, Affine>& transforms, const std::map<std::int32_t, std::size_t>& level_rows,
              bool is_geo, const int (&steps)[8][2]);

  // The steps of `level`, or nullptr when that level's edges are measured one by one.
  const LevelSteps* for_level(std::int32_t level) const {
    const auto it = levels_.find(level);
    return it == levels_.end() ? nullptr : &it->second;
  }

 private:
  std::map<std::int32_t, LevelSteps> levels_;
};

}  // namespace velkan
