// Cell centres and edge lengths of the search graph.
#pragma once

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

// The haversine metres from their terms: s_phi = sin(Δφ/2), cos_product =
// cos φ1 · cos φ2, s_theta = sin(Δθ/2) (radians), in the order cell_distance_m
// combines them, so terms computed ahead give the same bits.
double haversine_m(double s_phi, double cos_product, double s_theta);

}  // namespace velkan
