// Edge lengths of the search graph that are known before any focal cell.
//
// A projected step's length does not depend on where it starts, and on a
// north-up geographic grid it depends only on the row it starts from, so the
// graph of each focal cell reads its same-level edge lengths from here
// instead of measuring every edge again. Any other grid is measured edge by
// edge. The values are those of measuring the first column's step: the same
// as measuring in place up to the float64 rounding of the cell centres.
//
// On north-up grids the links from a cell to the coarser level take their
// lengths from here as well: there a centre's y follows its row and its x its
// column, bit for bit, so a link's length is a function of one term of the
// fine row and one of the fine column (the offsets of a projected grid, the
// haversine terms of a geographic one). Each takes few distinct values, and a
// table over the distinct pairs holds exactly the measured lengths.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <vector>

#include "common/affine.h"
#include "common/grid_math.h"
#include "graph/distance.h"

namespace velkan {

// One step's length in float32 km and in integer cost units.
struct StepLength {
  float km = 0.0f;
  std::uint32_t units = 0;
};

using StepRow = std::array<StepLength, 8>;

// Along one axis, the local index at level 2·level of the coarse cell that
// holds the fine cell `step` rows (or columns) from local fine index `fine`;
// `offset` is the raster's global row (or column) offset. Coarse cells align
// to the global grid.
class CoarseLinkAxis {
 public:
  CoarseLinkAxis(std::int32_t offset, std::int32_t level)
      : fine_first_(floor_div(offset, level)),
        coarse_first_(std::int64_t{2} * level > INT32_MAX ? 0 : floor_div(offset, 2 * level)) {}

  std::int64_t coarse_of(std::int64_t fine, int step) const {
    const std::int64_t v = fine_first_ + fine + step;
    return (v >= 0 ? v / 2 : -((-v + 1) / 2)) - coarse_first_;
  }

  // The step (-1 or 1) whose neighbour lies in the other coarse cell: an even
  // global fine index starts its coarse cell, an odd one ends it.
  int other_step(std::int64_t fine) const { return (fine_first_ + fine) % 2 == 0 ? -1 : 1; }

 private:
  std::int64_t fine_first_, coarse_first_;  // global index of local index 0 at each level
};

// The lengths of a level's links to the next coarser level. A fine cell links
// to the coarse cells of its own coarse row or the other one its neighbours
// reach (see CoarseLinkAxis), and likewise by column: each of its rows and
// columns has one term class per choice. Two rows of one class link with the
// same km and units to every column class, and the same for columns, so
// matching classes mean matching links.
struct LinkLengths {
  std::vector<std::uint16_t> row_class;  // [2 * row + other row]
  std::vector<std::uint16_t> col_class;  // [2 * col + other column]
  std::size_t col_classes = 0;
  std::vector<EdgeLength> lengths;  // [row class * col_classes + col class]

  // The link of local (row, col) into its own or the other coarse row and
  // column, or nullptr when not known.
  const EdgeLength* find(std::int64_t row, std::int64_t col, bool other_row, bool other_col) const {
    const std::size_t r = 2 * static_cast<std::size_t>(row) + (other_row ? 1 : 0);
    const std::size_t c = 2 * static_cast<std::size_t>(col) + (other_col ? 1 : 0);
    if (row < 0 || col < 0 || r >= row_class.size() || c >= col_class.size()) return nullptr;
    return &lengths[row_class[r] * col_classes + col_class[c]];
  }
};

// One level's steps: a single row when they do not depend on where they start.
struct LevelSteps {
  bool per_row = false;
  std::vector<StepRow> rows;  // one row, or one per level row
  LinkLengths links;          // empty when links are measured

  // The steps leaving local row `row`, or nullptr outside the level's rows.
  const StepRow* from_row(std::int64_t row) const {
    if (!per_row) return &rows[0];
    if (row < 0 || static_cast<std::size_t>(row) >= rows.size()) return nullptr;
    return &rows[static_cast<std::size_t>(row)];
  }
};

// A level raster's size.
struct LevelShape {
  std::size_t rows = 0, cols = 0;
};

class StepLengths {
 public:
  StepLengths() = default;

  // `shapes` is each level raster's size; the steps are those of `steps`
  // (row step, column step), in that order; the offsets are the raster's global
  // ones, which place the coarse cells of the links.
  StepLengths(const std::map<std::int32_t, Affine>& transforms, const std::map<std::int32_t, LevelShape>& shapes,
              bool is_geo, const int (&steps)[8][2], std::int32_t row_offset = 0, std::int32_t col_offset = 0);

  // The steps of `level`, or nullptr when that level's edges are measured one by one.
  const LevelSteps* for_level(std::int32_t level) const {
    const auto it = levels_.find(level);
    return it == levels_.end() ? nullptr : &it->second;
  }

  // Bytes held by the tables.
  std::size_t memory_bytes() const;

 private:
  std::map<std::int32_t, LevelSteps> levels_;
};

}  // namespace velkan
