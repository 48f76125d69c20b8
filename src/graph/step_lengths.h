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

class StepLengths {
 public:
  StepLengths() = default;

  // `level_rows` is each level raster's row count; the steps are those of
  // `steps` (row step, column step), in that order.
  StepLengths(const std::map<std::int32_t, Affine>& transforms, const std::map<std::int32_t, std::size_t>& level_rows,
              bool is_geo, const int (&steps)[8][2]);

  // The steps leaving local row `row` of `level`, or nullptr when that level's
  // edges are measured one by one.
  const StepRow* from_row(std::int32_t level, std::int64_t row) const {
    const auto it = levels_.find(level);
    if (it == levels_.end()) return nullptr;
    const Level& l = it->second;
    if (!l.per_row) return &l.rows[0];
    if (row < 0 || static_cast<std::size_t>(row) >= l.rows.size()) return nullptr;
    return &l.rows[static_cast<std::size_t>(row)];
  }

 private:
  struct Level {
    bool per_row = false;
    std::vector<StepRow> rows;  // one row, or one per level row
  };
  std::map<std::int32_t, Level> levels_;
};

}  // namespace velkan
