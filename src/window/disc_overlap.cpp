#include "window/disc_overlap.h"

#include <algorithm>
#include <cmath>

namespace velkan {
namespace {

// Integral of sqrt(r^2 - X^2) over [0, u]. Both arguments are clamped so that
// rounding with u close to r never produces NaN.
double circle_primitive(double u, double r) {
  const double ratio = std::min(u / r, 1.0);
  const double root = std::sqrt(std::max(r * r - u * u, 0.0));
  return (r * r * std::asin(ratio) + u * root) / 2.0;
}

// An axis interval relative to the centre, split at 0 and folded onto the
// positive half-axis, so each piece lies in one quadrant's coordinates.
struct FoldedPieces {
  double lo[2];
  double hi[2];
  int count = 0;
};

void add_folded(FoldedPieces& pieces, double u, double v) {
  if (v <= 0.0) {
    const double a = -v;
    v = -u;
    u = a;
  }
  if (v <= u) return;  // empty piece
  pieces.lo[pieces.count] = u;
  pieces.hi[pieces.count] = v;
  ++pieces.count;
}

FoldedPieces fold_interval(double u, double v) {
  FoldedPieces pieces;
  if (u < 0.0 && 0.0 < v) {
    add_folded(pieces, u, 0.0);
    add_folded(pieces, 0.0, v);
  } else {
    add_folded(pieces, u, v);
  }
  return pieces;
}

}  // namespace

// Distance from c to the interval [lo, hi] along one axis (0 when inside).
double nearest_offset(double lo, double hi, double c) {
  if (lo - c > 0.0) return lo - c;
  if (hi - c < 0.0) return c - hi;
  return 0.0;
}

double farthest_offset(double lo, double hi, double c) { return std::max(std::fabs(lo - c), std::fabs(hi - c)); }

double quadrant_area(double x, double y, double r) {
  if (x <= 0.0 || y <= 0.0 || r <= 0.0) return 0.0;
  if (y >= r) return circle_primitive(std::min(x, r), r);
  const double x_chord = std::sqrt(std::max(r * r - y * y, 0.0));
  const double x_clip = std::min(x, r);
  if (x_clip <= x_chord) return x_clip * y;
  return x_chord * y + circle_primitive(x_clip, r) - circle_primitive(x_chord, r);
}

double disc_rect_overlap_area(double y0, double y1, double x0, double x1, double cy, double cx, double r) {
  const double area = (x1 - x0) * (y1 - y0);
  if (area <= 0.0 || r <= 0.0) return 0.0;

  const double r2 = r * r;
  const double near_y = nearest_offset(y0, y1, cy);
  const double near_x = nearest_offset(x0, x1, cx);
  if (r2 <= near_y * near_y + near_x * near_x) return 0.0;

  const double far_y = farthest_offset(y0, y1, cy);
  const double far_x = farthest_offset(x0, x1, cx);
  if (r2 >= far_y * far_y + far_x * far_x) return area;

  const FoldedPieces row_pieces = fold_interval(y0 - cy, y1 - cy);
  const FoldedPieces col_pieces = fold_interval(x0 - cx, x1 - cx);
  double sum = 0.0;
  for (int a = 0; a < row_pieces.count; ++a) {
    const double a0 = row_pieces.lo[a], a1 = row_pieces.hi[a];
    for (int b = 0; b < col_pieces.count; ++b) {
      const double b0 = col_pieces.lo[b], b1 = col_pieces.hi[b];
      sum += quadrant_area(a1, b1, r) - quadrant_area(a0, b1, r) - quadrant_area(a1, b0, r) + quadrant_area(a0, b0, r);
    }
  }
  return std::clamp(sum, 0.0, area);
}

}  // namespace velkan
