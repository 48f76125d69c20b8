#include "overview/coarse_geometry.h"

#include <algorithm>

#include "common/errors.h"
#include "common/grid_math.h"

namespace velkan::overview_detail {

namespace {

bool is_power_of_two(std::uint64_t value) { return value != 0 && (value & (value - 1)) == 0; }

}  // namespace

BlockAxis::BlockAxis(std::int32_t offset, std::size_t extent, std::int64_t level)
    : offset_(offset), extent_(static_cast<std::int64_t>(extent)), level_(level) {
  first_ = floor_div(offset_, level_);
  const std::int64_t last = floor_div(offset_ + extent_ - 1, level_);
  count_ = std::max<std::int64_t>(0, last - first_ + 1);
}

Span BlockAxis::block(std::int64_t index) const {
  const std::int64_t start = (first_ + index) * level_;
  Span span;
  span.begin = std::max(start, offset_) - offset_;
  span.end = std::min(start + level_, offset_ + extent_) - offset_;
  return span;
}

void check_levels(const std::vector<std::uint64_t>& levels) {
  for (std::uint64_t level : levels) {
    if (!is_power_of_two(level)) throw InternalError("Level " + std::to_string(level) + " is not a power of 2");
  }
  for (std::uint64_t level : levels) {
    if (level > kMaxLevel) {
      throw InternalError("Level " + std::to_string(level) + " does not fit a signed 32-bit level key");
    }
  }
}

void require_splittable(std::uint64_t level, std::int64_t coarse_cols, std::size_t bands, std::int32_t col_offset) {
  if (coarse_cols == 0) {
    throw InternalError("Level " + std::to_string(level) + " has no coarse columns (column offset " +
                        std::to_string(col_offset) + ", 0 base columns); its rows cannot be split");
  }
  if (bands == 0) {
    throw InternalError("Level " + std::to_string(level) +
                        " of a transition grid without bands; its rows cannot be split");
  }
}

std::vector<Span> column_blocks(const BlockAxis& cols) {
  std::vector<Span> blocks(static_cast<std::size_t>(cols.count()));
  for (std::size_t j = 0; j < blocks.size(); ++j) blocks[j] = cols.block(static_cast<std::int64_t>(j));
  return blocks;
}

}  // namespace velkan::overview_detail
