// Where the coarse cells of one level fall, for the builders in this folder.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace velkan::overview_detail {

// Largest level whose key survives the narrowing to a signed 32-bit value.
inline constexpr std::uint64_t kMaxLevel = std::uint64_t{1} << 30;

// Local base indices [begin, end) of one coarse block along one axis.
struct Span {
  std::int64_t begin = 0;
  std::int64_t end = 0;
  bool empty() const { return begin >= end; }
};

// Coarse cells of one axis. Arithmetic is 64-bit so that out-of-range inputs
// cannot overflow; for the offsets and extents the engine accepts it equals
// the signed 32-bit arithmetic the global grid is defined with.
class BlockAxis {
 public:
  BlockAxis(std::int32_t offset, std::size_t extent, std::int64_t level);
  std::int64_t count() const { return count_; }
  Span block(std::int64_t index) const;

 private:
  std::int64_t offset_, extent_, level_, first_, count_;
};

// Throws InternalError naming the first entry that is not a power of two, then
// the first power of two too large for a level key.
void check_levels(const std::vector<std::uint64_t>& levels);

// Throws InternalError: a coarse level with no values per row cannot be split.
void require_splittable(std::uint64_t level, std::int64_t coarse_cols, std::size_t bands, std::int32_t col_offset);

// The block span of every coarse column, computed once per level.
std::vector<Span> column_blocks(const BlockAxis& cols);

}  // namespace velkan::overview_detail
