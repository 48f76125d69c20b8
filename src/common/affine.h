// Affine geotransform: the six coefficients a, b, c, d, e, f (float64).
// A position in cell units (column x, row y) maps to world coordinates
// X = a*x + b*y + c and Y = d*x + e*y + f.
#pragma once

namespace velkan {

struct Affine {
  double a = 1.0, b = 0.0, c = 0.0, d = 0.0, e = 1.0, f = 0.0;

  double world_x(double x, double y) const { return a * x + b * y + c; }
  double world_y(double x, double y) const { return d * x + e * y + f; }
};

}  // namespace velkan
