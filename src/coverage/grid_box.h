// Rings too far out for the edge path, cut down to the grid first.
#pragma once

#include <cstdint>
#include <vector>

#include "coverage/clip.h"

namespace velkan {

// True for a ring whose coordinates are all finite, some beyond 2^53 pixels:
// there whole pixel positions are no longer representable, and neither
// accumulation is exact on the ring as it stands.
bool reaches_beyond_exact_pixels(const std::vector<PixelPoint>& ring);

// The ring cut to the box [-1, ncols + 1] x [-1, nrows + 1], a pixel wider
// than the grid on every side: inside the grid it covers exactly what the
// ring covers, and its coordinates are small enough for the edge path.
std::vector<PixelPoint> clip_to_grid_box(const std::vector<PixelPoint>& ring, std::uint64_t nrows, std::uint64_t ncols);

}  // namespace velkan
