#include "coverage/clip.h"

namespace velkan {

namespace {

double coordinate(const PixelPoint& p, Axis axis) { return axis == Axis::U ? p.u : p.v; }

bool inside(const PixelPoint& p, Axis axis, double value, Keep keep) {
  double x = coordinate(p, axis);
  return keep == Keep::AtLeast ? x >= value : x <= value;
}

// Both coordinates come from the same t, so the clipped coordinate is not
// forced onto the line: this keeps adjacent cell pieces consistent.
PixelPoint crossing(const PixelPoint& prev, const PixelPoint& cur, Axis axis, double value) {
  double t = (value - coordinate(prev, axis)) / (coordinate(cur, axis) - coordinate(prev, axis));
  return PixelPoint{(cur.u - prev.u) * t + prev.u, (cur.v - prev.v) * t + prev.v};
}

}  // namespace

void clip_ring(const std::vector<PixelPoint>& in, Axis axis, double value, Keep keep, std::vector<PixelPoint>& out) {
  out.clear();
  if (in.empty()) return;
  PixelPoint prev = in.back();
  bool prev_in = inside(prev, axis, value, keep);
  for (const PixelPoint& cur : in) {
    bool cur_in = inside(cur, axis, value, keep);
    if (cur_in != prev_in) out.push_back(crossing(prev, cur, axis, value));
    if (cur_in) out.push_back(cur);
    prev = cur;
    prev_in = cur_in;
  }
}

double ring_area(const std::vector<PixelPoint>& ring) {
  const std::size_t m = ring.size();
  double sum = 0.0;
  for (std::size_t i = 0; i + 1 < m; ++i) sum += ring[i].u * ring[i + 1].v - ring[i].v * ring[i + 1].u;
  double closing = ring[m - 1].u * ring[0].v - ring[m - 1].v * ring[0].u;
  return (closing + sum) * 0.5;
}

}  // namespace velkan
