// Cell centres and edge lengths of the search graph.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "common/affine.h"
#include "common/grid_math.h"

namespace velkan {

inline constexpr double kEarthRadiusM = 6371000.0;

struct Point {
  double x = 0.0, y = 0.0;
};

// World position of the centre of local cell (row, col) under the level's transform.
inline Point cell_centre(const Affine& t, std::int64_t row, std::int64_t col) {
  const double x = static_cast<double>(col) + 0.5, y = static_cast<double>(row) + 0.5;
  return {t.world_x(x, y), t.world_y(x, y)};
}

// Metres between two centres: planar in projected mode, haversine on (lon, lat) degrees otherwise.
double cell_distance_m(Point p1, Point p2, bool is_geo);

// Cost in 1/100 km units: x*100 rounded half away from zero, saturated to uint32.
// Below 2^23 adding one half and truncating rounds exactly so (the sum's own
// rounding never crosses a whole number there); from 2^23 on, floats are whole.
inline std::uint32_t cost_units(float cost) {
  const float scaled = cost * 100.0f;
  if (!(scaled >= 0.5f)) return 0;                // rounds to zero or below, or NaN
  if (scaled > 4294967040.0f) return UINT32_MAX;  // largest float32 below 2^32
  const float biased = scaled < 8388608.0f ? scaled + 0.5f : scaled;
  // Through int64, which x86-64 converts in one instruction.
  return static_cast<std::uint32_t>(static_cast<std::int64_t>(biased));
}

// cost_units without branches or 64-bit conversions, for loops that
// vectorise: the same value for every float. From 2^31 on, a float is a whole
// multiple of 256, so taking 2^31 off first is exact.
inline std::uint32_t cost_units_lanes(float cost) {
  const float scaled = cost * 100.0f;
  const float biased = scaled < 8388608.0f ? scaled + 0.5f : scaled;
  const bool high = biased >= 2147483648.0f;
  float low_part = high ? biased - 2147483648.0f : biased;
  // Every lane is converted, so each is held within int32 first (NaN, negative
  // and too large lanes are replaced below; valid ones are not moved).
  low_part = low_part > 0.0f ? low_part : 0.0f;
  low_part = low_part < 2147483520.0f ? low_part : 2147483520.0f;  // the largest float below 2^31
  const std::uint32_t whole =
      static_cast<std::uint32_t>(static_cast<std::int32_t>(low_part)) + (high ? 2147483648u : 0u);
  const std::uint32_t in_range = scaled >= 0.5f ? whole : 0u;  // NaN fails the test too
  return scaled > 4294967040.0f ? UINT32_MAX : in_range;
}

// A length in metres, and as an edge carries it: float32 km and cost units.
struct EdgeLength {
  double metres = 0.0;
  float km = 0.0f;
  std::uint32_t units = 0;
};

inline EdgeLength edge_length(double metres) {
  const float km = static_cast<float>(metres / 1000.0);
  return EdgeLength{metres, km, cost_units(km)};
}

// Planar lengths remembered by their exact offsets: the links of a regular
// projected grid take only a few distinct (dx, dy), and hypot costs more than
// looking one up. An offset pair is matched bit for bit, so every length is
// exactly the one hypot gives.
class PlanarLengths {
 public:
  const EdgeLength& length(double dx, double dy) {
    const std::uint64_t x = std::bit_cast<std::uint64_t>(dx), y = std::bit_cast<std::uint64_t>(dy);
    Entry& e = entries_[mix(mix(x) ^ y) >> (64 - kSlotBits)];
    if (!(e.filled && e.dx == x && e.dy == y)) e = Entry{x, y, edge_length(std::hypot(dx, dy)), true};
    return e.length;
  }

 private:
  // A full avalanche of the bits (splitmix64's finaliser). The offsets of a
  // grid's links come in sign pairs, and a sign is a float's top bit: a plain
  // multiply would keep it in the product's top bit alone, where (dx, dy) and
  // (-dx, -dy) cancel out and would evict each other from one slot in turn.
  static std::uint64_t mix(std::uint64_t z) {
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  }
  static constexpr int kSlotBits = 8;
  struct Entry {
    std::uint64_t dx = 0, dy = 0;
    EdgeLength length;
    bool filled = false;
  };
  std::array<Entry, std::size_t{1} << kSlotBits> entries_{};
};

// The haversine metres from their terms: s_phi = sin(Δφ/2), cos_product =
// cos φ1 · cos φ2, s_theta = sin(Δθ/2) (radians), in the order cell_distance_m
// combines them, so terms computed ahead give the same bits.
double haversine_m(double s_phi, double cos_product, double s_theta);

}  // namespace velkan
