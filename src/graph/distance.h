// Cell centres and edge lengths of the search graph.
#pragma once

#include <array>
#include <bit>
#include <cmath>
#include <cstdint>

#include "common/affine.h"

namespace velkan {

inline constexpr double kEarthRadiusM = 6371000.0;
inline constexpr double kDegToRad = 0.017453292519943295;

struct Point {
  double x = 0.0, y = 0.0;
};

// World position of the centre of local cell (row, col) under the level's transform.
inline Point cell_centre(const Affine& t, std::int64_t row, std::int64_t col) {
  const double x = static_cast<double>(col) + 0.5, y = static_cast<double>(row) + 0.5;
  return {t.a * x + t.b * y + t.c, t.d * x + t.e * y + t.f};
}

// Metres between two centres: planar in projected mode, haversine on (lon, lat) degrees otherwise.
double cell_distance_m(Point p1, Point p2, bool is_geo);

// Planar lengths remembered by their exact offsets: the links of a regular
// projected grid take only a few distinct (dx, dy), and hypot costs more than
// looking one up. An offset pair is matched bit for bit, so every length is
// exactly the one hypot gives.
class PlanarLengths {
 public:
  double metres(double dx, double dy) {
    const std::uint64_t x = std::bit_cast<std::uint64_t>(dx), y = std::bit_cast<std::uint64_t>(dy);
    Entry& e = entries_[((x * 0x9E3779B97F4A7C15ull) ^ (y * 0xC2B2AE3D27D4EB4Full)) >> (64 - kSlotBits)];
    if (!(e.filled && e.dx == x && e.dy == y)) e = Entry{x, y, std::hypot(dx, dy), true};
    return e.metres;
  }

 private:
  static constexpr int kSlotBits = 6;
  struct Entry {
    std::uint64_t dx = 0, dy = 0;
    double metres = 0.0;
    bool filled = false;
  };
  std::array<Entry, std::size_t{1} << kSlotBits> entries_{};
};

// The haversine metres from their terms: s_phi = sin(Δφ/2), cos_product =
// cos φ1 · cos φ2, s_theta = sin(Δθ/2) (radians), in the order cell_distance_m
// combines them, so terms computed ahead give the same bits.
double haversine_m(double s_phi, double cos_product, double s_theta);

}  // namespace velkan
