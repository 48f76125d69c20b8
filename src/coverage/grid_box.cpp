#include "coverage/grid_box.h"

#include <cmath>

namespace velkan {

namespace {

long double along(const PixelPoint& p, Axis axis) { return axis == Axis::U ? p.u : p.v; }
long double across(const PixelPoint& p, Axis axis) { return axis == Axis::U ? p.v : p.u; }

// Where edge a -> b meets the line axis = value, placed on the line. It is
// measured from the endpoint nearer the line, in long double: a far endpoint
// then scales a small step, and the difference of two far endpoints of
// opposite signs (which can overflow a double) stays finite.
PixelPoint crossing(const PixelPoint& a, const PixelPoint& b, Axis axis, double value) {
  const bool a_nearer = std::fabs(along(a, axis) - value) <= std::fabs(along(b, axis) - value);
  const PixelPoint& near = a_nearer ? a : b;
  const PixelPoint& far = a_nearer ? b : a;
  const long double t = (value - along(near, axis)) / (along(far, axis) - along(near, axis));
  const double other = static_cast<double>(across(near, axis) + (across(far, axis) - across(near, axis)) * t);
  return axis == Axis::U ? PixelPoint{value, other} : PixelPoint{other, value};
}

// One Sutherland–Hodgman pass, keeping the side where keep_below says.
void clip_pass(const std::vector<PixelPoint>& in, Axis axis, double value, bool keep_below,
               std::vector<PixelPoint>& out) {
  out.clear();
  if (in.empty()) return;
  auto inside = [&](const PixelPoint& p) { return keep_below ? along(p, axis) <= value : along(p, axis) >= value; };
  const PixelPoint* prev = &in.back();
  for (const PixelPoint& cur : in) {
    if (inside(cur) != inside(*prev)) out.push_back(crossing(*prev, cur, axis, value));
    if (inside(cur)) out.push_back(cur);
    prev = &cur;
  }
}

}  // namespace

bool reaches_beyond_exact_pixels(const std::vector<PixelPoint>& ring) {
  bool beyond = false;
  for (const PixelPoint& p : ring) {
    if (!std::isfinite(p.u) || !std::isfinite(p.v)) return false;
    beyond = beyond || std::fabs(p.u) > kLargestExactPixel || std::fabs(p.v) > kLargestExactPixel;
  }
  return beyond;
}

std::vector<PixelPoint> clip_to_grid_box(const std::vector<PixelPoint>& ring, std::uint64_t nrows,
                                         std::uint64_t ncols) {
  std::vector<PixelPoint> a = ring, b;
  clip_pass(a, Axis::U, -1.0, false, b);
  clip_pass(b, Axis::U, static_cast<double>(ncols) + 1.0, true, a);
  clip_pass(a, Axis::V, -1.0, false, b);
  clip_pass(b, Axis::V, static_cast<double>(nrows) + 1.0, true, a);
  return a;
}

}  // namespace velkan
