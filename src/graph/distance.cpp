#include "graph/distance.h"

#include <cmath>

namespace velkan {

double cell_distance_m(Point p1, Point p2, bool is_geo) {
  if (!is_geo) return std::hypot(p2.x - p1.x, p2.y - p1.y);
  const double phi1 = p1.y * kDegreesToRadians, phi2 = p2.y * kDegreesToRadians;
  const double theta1 = p1.x * kDegreesToRadians, theta2 = p2.x * kDegreesToRadians;
  const double s_phi = std::sin((phi2 - phi1) / 2.0), s_theta = std::sin((theta2 - theta1) / 2.0);
  return haversine_m(s_phi, std::cos(phi1) * std::cos(phi2), s_theta);
}

double haversine_m(double s_phi, double cos_product, double s_theta) {
  const double h = s_phi * s_phi + cos_product * s_theta * s_theta;
  return 2.0 * std::atan2(std::sqrt(h), std::sqrt(1.0 - h)) * kEarthRadiusM;
}

}  // namespace velkan
