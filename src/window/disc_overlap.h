// Exact area of an axis-aligned rectangle inside a disc, in float64.
#pragma once

namespace velkan {

// Distance from c to the interval [lo, hi] along one axis (0 when inside),
// and to the interval's farther end.
double nearest_offset(double lo, double hi, double c);
double farthest_offset(double lo, double hi, double c);

// Area of {0 <= X <= x, 0 <= Y <= y, X^2 + Y^2 <= r^2}.
double quadrant_area(double x, double y, double r);

// Area of the rectangle [y0, y1] x [x0, x1] (rows, columns) inside the disc of
// radius r centred at (cy, cx); 0 for an empty rectangle or a non-positive radius.
double disc_rect_overlap_area(double y0, double y1, double x0, double x1, double cy, double cx, double r);

}  // namespace velkan
