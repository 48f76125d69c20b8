// One Sutherland–Hodgman pass against an axis-parallel line, in pixel space.
#pragma once

#include <vector>

namespace velkan {

struct PixelPoint {
  double u = 0.0;  // fractional column
  double v = 0.0;  // fractional row
};

// Beyond 2^53 whole pixel positions are no longer representable.
inline constexpr double kLargestExactPixel = 0x1p53;

enum class Axis { U, V };
enum class Keep { AtLeast, AtMost };

// Writes into `out` (cleared first, capacity kept) the part of the closed ring
// `in` on the kept side of axis = value. Points on the line are inside.
void clip_ring(const std::vector<PixelPoint>& in, Axis axis, double value, Keep keep, std::vector<PixelPoint>& out);

// Signed shoelace area, the closing term added last.
double ring_area(const std::vector<PixelPoint>& ring);

}  // namespace velkan
