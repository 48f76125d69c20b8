// Node identity: one 64-bit name per (level key, global row, global column).
#pragma once

#include <cstdint>

namespace velkan {

using NodeId = std::uint64_t;

inline constexpr std::int64_t kMaxNodeLevel = 65535;
inline constexpr std::int64_t kNodeCoordLimit = std::int64_t{1} << 24;

// Throws the InternalError of a (level, row, col) that does not pack.
[[noreturn]] void fail_node_id(std::int32_t level, std::int32_t row, std::int32_t col);

// Packs (level << 48) | (row << 24) | col; throws InternalError when a value
// is negative or does not fit its 16/24/24-bit field. Inline: every gathered
// cell of every focal cell is packed.
inline NodeId pack_node_id(std::int32_t level, std::int32_t row, std::int32_t col) {
  if (level < 0 || row < 0 || col < 0 || level > kMaxNodeLevel || row >= kNodeCoordLimit || col >= kNodeCoordLimit)
      [[unlikely]] {
    fail_node_id(level, row, col);
  }
  return (static_cast<NodeId>(level) << 48) | (static_cast<NodeId>(row) << 24) | static_cast<NodeId>(col);
}

// Floor division by a positive divisor (offsets may be negative after truncation).
inline std::int32_t floor_div(std::int32_t value, std::int32_t divisor) {
  std::int32_t q = value / divisor;
  if ((value % divisor) != 0 && value < 0) --q;
  return q;
}

// Offsets wrap like the 32-bit arithmetic the global grid is defined in.
inline std::int32_t add_wrapping(std::int32_t a, std::int32_t b) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(a) + static_cast<std::uint32_t>(b));
}

}  // namespace velkan
