// The cells one focal cell's search sees at one level, struct-of-arrays.
//
// The buffers are owned by per-thread scratch and reused from focal cell to
// focal cell: clear() keeps their capacity, so steady state allocates nothing.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "common/no_init_allocator.h"
#include "model/similarity.h"
#include "window/coverage_cache.h"

namespace velkan {

struct LevelCells {
  std::int32_t level = 0;

  // Box of local level cells that were visited; every gathered cell lies in
  // rows [box_row0, box_row0 + box_rows) and columns [box_col0, box_col0 + box_cols).
  // Lets the node lookup by local (row, column) be a flat array over the box.
  std::int32_t box_row0 = 0, box_col0 = 0, box_rows = 0, box_cols = 0;

  // One element per gathered cell, in gathering order (row-major).
  std::vector<std::int32_t> rows, cols;
  std::vector<float> condition;
  std::vector<float> weight;              // coverage fraction x cell weight
  std::vector<float> protected_fraction;  // 1.0 without a PA-membership pyramid
  std::vector<float> traversal;           // only filled when has_traversal
  bool has_traversal = false;
  std::vector<std::uint8_t> partial;  // circular: not wholly inside the outer circle
  std::vector<std::uint8_t> edge;     // member of the level's edge-index set

  // similarity[g * size() + k]: grid g, cell k; grid_count grids.
  std::vector<Similarity, NoInitAllocator<Similarity>> similarity;
  std::size_t grid_count = 0;

  std::size_t size() const { return rows.size(); }
  Similarity similarity_at(std::size_t grid, std::size_t k) const { return similarity[grid * size() + k]; }

  void clear() {
    box_row0 = box_col0 = box_rows = box_cols = 0;
    rows.clear();
    cols.clear();
    condition.clear();
    weight.clear();
    protected_fraction.clear();
    traversal.clear();
    partial.clear();
    edge.clear();
    similarity.clear();
  }
};

// Every level of one focal cell, ascending by level key (the sorted level list).
struct FocalWindows {
  std::vector<LevelCells> levels;
  std::vector<float> focal_bands;  // band vector F of the focal cell (first transition grid)
  CoverageCache coverage;          // windows' coverage by focal phase
};

}  // namespace velkan
