#include "builder/node_mapping.h"

#include <algorithm>

#include "common/errors.h"
#include "common/grid_math.h"

namespace velkan {

namespace {

void size_box(const LevelCells& cells, std::size_t n, NodeMapping& out) {
  if (n == 0) return;
  std::int32_t r_lo = cells.rows[0], r_hi = cells.rows[0], c_lo = cells.cols[0], c_hi = cells.cols[0];
  for (std::size_t k = 1; k < n; ++k) {
    r_lo = std::min(r_lo, cells.rows[k]);
    r_hi = std::max(r_hi, cells.rows[k]);
    c_lo = std::min(c_lo, cells.cols[k]);
    c_hi = std::max(c_hi, cells.cols[k]);
  }
  // One empty slot all round, so that every neighbour of a mapped cell has a slot.
  out.row0 = r_lo - 1;
  out.col0 = c_lo - 1;
  out.rows = r_hi - r_lo + 3;
  out.cols = c_hi - c_lo + 3;
  out.slots.assign(static_cast<std::size_t>(out.rows) * static_cast<std::size_t>(out.cols), kNoCell);
}

// Whether local indices [first, first + extent] at `level` map to global ones
// that pack, base + local never leaving 32 bits.
bool box_packs_without_wrapping(std::int32_t level, std::int32_t base, std::int32_t first, std::int32_t extent) {
  const std::int64_t low = std::int64_t{base} + first, high = low + extent;
  return level >= 0 && level <= kMaxNodeLevel && low >= 0 && high < kNodeCoordLimit;
}

}  // namespace

void build_node_mapping(const LevelCells& cells, std::int32_t level, std::int32_t row_offset, std::int32_t col_offset,
                        NodeMapping& out) {
  out.clear();
  out.level = level;
  const std::size_t n = std::min(cells.rows.size(), cells.cols.size());
  size_box(cells, n, out);
  const std::int32_t level_row0 = floor_div(row_offset, level);
  const std::int32_t level_col0 = floor_div(col_offset, level);
  out.ids.resize(n);
  out.slot_of.resize(n);
  // The global coordinates grow with the local ones unless they wrap, so when
  // the box's corners pack without wrapping, every cell in it does.
  const bool box_packs = n == 0 || (box_packs_without_wrapping(level, level_row0, out.row0 + 1, out.rows - 3) &&
                                    box_packs_without_wrapping(level, level_col0, out.col0 + 1, out.cols - 3));
  for (std::size_t k = 0; k < n; ++k) {
    const std::int32_t i = cells.rows[k], j = cells.cols[k];
    const std::int32_t global_row = add_wrapping(level_row0, i), global_col = add_wrapping(level_col0, j);
    out.ids[k] =
        box_packs ? pack_checked_node_id(level, global_row, global_col) : pack_node_id(level, global_row, global_col);
    const std::int32_t position = (i - out.row0) * out.cols + (j - out.col0);
    out.slot_of[k] = position;
    std::int32_t& slot = out.slots[static_cast<std::size_t>(position)];
    if (slot == kNoCell) ++out.entries;
    slot = static_cast<std::int32_t>(k);
  }
}

}  // namespace velkan
