// Node mapping of one level of one focal cell: local (row, column) -> cell.
//
// A flat index array over the bounding box of the gathered cells, widened by
// one empty slot on every side, replaces a hash map; the entry of a position
// is the index of the LAST gathered cell there, so a repeated position keeps
// the later cell's values.
#pragma once

#include <cstdint>
#include <vector>

#include "builder/node_id.h"
#include "window/level_cells.h"

namespace velkan {

inline constexpr std::int32_t kNoCell = -1;

struct NodeMapping {
  std::int32_t level = 0;
  std::int32_t row0 = 0, col0 = 0, rows = 0, cols = 0;
  std::vector<std::int32_t> slots;    // rows x cols, cell index or kNoCell; the outermost ring is empty
  std::vector<NodeId> ids;            // per gathered cell
  std::vector<std::int32_t> slot_of;  // per gathered cell: its position in slots
  std::size_t entries = 0;            // distinct positions

  bool empty() const { return entries == 0; }

  // Position in slots of local (row, col), or -1 outside the box.
  std::int32_t position(std::int64_t row, std::int64_t col) const {
    const std::int64_t r = row - row0, c = col - col0;
    if (r < 0 || c < 0 || r >= rows || c >= cols) return -1;
    return static_cast<std::int32_t>(r * cols + c);
  }

  // Cell index at local (row, col), or kNoCell.
  std::int32_t find(std::int64_t row, std::int64_t col) const {
    const std::int32_t p = position(row, col);
    return p < 0 ? kNoCell : slots[static_cast<std::size_t>(p)];
  }

  void clear() {
    level = row0 = col0 = rows = cols = 0;
    slots.clear();
    ids.clear();
    slot_of.clear();
    entries = 0;
  }
};

// Builds the mapping of `cells` at `level` with 32-bit global offsets of the
// raster (it reads their rows and columns alone). Throws InternalError on a
// packing failure.
void build_node_mapping(const LevelCells& cells, std::int32_t level, std::int32_t row_offset, std::int32_t col_offset,
                        NodeMapping& out);

}  // namespace velkan
