#include "coverage/row_clamp.h"

namespace velkan {

RowClamp::RowClamp(const std::vector<CellRange>& ranges) {
  std::uint64_t r0 = UINT64_MAX, r1 = 0, cells = 0;
  for (const CellRange& range : ranges) {
    if (range.empty()) continue;
    r0 = std::min(r0, range.r0);
    r1 = std::max(r1, range.r1);
    const std::uint64_t c = range.rows() * range.cols();
    cells = cells > UINT64_MAX - c ? UINT64_MAX : cells + c;
  }
  if (r1 <= r0 || (r1 - r0) * sizeof(Row) > cells) return;  // nothing, or too few cells per row
  r0_ = r0;
  rows_.resize(r1 - r0);
  for (std::size_t ring = 0; ring < ranges.size(); ++ring) {
    const CellRange& range = ranges[ring];
    if (range.empty()) continue;
    for (std::uint64_t r = range.r0; r < range.r1; ++r) {
      Row& row = rows_[r - r0_];
      row.last = ring;
      row.c0 = std::min(row.c0, range.c0);
      row.c1 = std::max(row.c1, range.c1);
    }
  }
}

}  // namespace velkan
