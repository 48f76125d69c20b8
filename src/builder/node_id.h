// Node identity: one 64-bit name per (level key, global row, global column).
#pragma once

#include <cstdint>

namespace velkan {

using NodeId = std::uint64_t;

inline constexpr std::int64_t kMaxNodeLevel = 65535;
inline constexpr std::int64_t kNodeCoordLimit = std::int64_t{1} << 24;

// Throws the InternalError of a (level, row, col) that does not pack.
[[noreturn]] void fail_node_id(std::int32_t level, std::int32_t row, std::int32_t col);

// The packing alone, for coordinates known to fit.
inline NodeId pack_checked_node_id(std::int32_t level, std::int32_t row, std::int32_t col) {
  return (static_cast<NodeId>(level) << 48) | (static_cast<NodeId>(row) << 24) | static_cast<NodeId>(col);
}

// Packs (level << 48) | (row << 24) | col; throws InternalError when a value
// is negative or does not fit its 16/24/24-bit field. Inline: every gathered
// cell of every focal cell is packed.
inline NodeId pack_node_id(std::int32_t level, std::int32_t row, std::int32_t col) {
  if (level < 0 || row < 0 || col < 0 || level > kMaxNodeLevel || row >= kNodeCoordLimit || col >= kNodeCoordLimit)
      [[unlikely]] {
    fail_node_id(level, row, col);
  }
  return pack_checked_node_id(level, row, col);
}

}  // namespace velkan
