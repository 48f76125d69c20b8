// Docstrings of the module's functions. The first line is the text signature
// the interpreter exposes as __text_signature__.
#pragma once

namespace velkan::py {

constexpr const char* kConnectivityDoc =
    R"velkan(connectivity(condition, mask, transgrid_list, transforms, levels, lambdas, is_geo, max_cost, window_size, outer_window, offsets, traversal=None, n_threads=None, window_mode="circular", pa_to_pa=False)
--

Compute habitat/KOVA connectivity and OLVI.

# Arguments
* `condition` - 2D array of habitat-condition values in [0, 1]. Values are
  pre-scaled (Python-side); higher values represent better condition.
* `mask` - 2D boolean array. `true` marks cells excluded from analysis (skipped as
  focal sources); in the KOVA edition `false` marks protected-area cells.
* `transgrid_list` - List of transition / cost grids (one per resolution level) used
  for multi-scale connectivity calculations.
* `transforms` - List of spatial transforms corresponding to `transgrid_list`.
* `lambdas` - Bandwidth values for the connectivity kernels, controlling the
  effective dispersal distance (e.g. [2.0, 20.0, 200.0]).
* `is_geo` - Whether coordinates are geographic (lat/lon) rather than projected.
* `max_cost` - Relative cost of moving through a fully-degraded cell (traversal value 0).
  The path weight is `w = (1.0 - max_cost) * t + max_cost`, where `t` is the traversal
  value: the `condition` value by default, or the (pre-inverted) `traversal` raster when
  supplied. `t = 1` gives `w = 1` (cheapest), `t = 0` gives `w = max_cost` (costliest).
* `window_size` - Odd local window width used for non-coarsest levels
  (e.g. 3 gives an effective 6×6 current-level window).
* `outer_window` - Odd coarsest-level window width used to set the long-range
  search reach. Must be ≥ `window_size`.
* `offsets` -
* `window_mode` - "circular" for source-centered circular annuli or
  "square" for source-centered square annuli.
* `traversal` - Optional 2D array (same shape as `condition`) of pre-inverted, [0, 1]
  traversal values (high = easy passage, i.e. `1 - resistance`) used only for the path
  weight `w`. `None` falls back to `condition`, giving bit-identical output. Indicator
  values (habitat area and the condition multiplier) always use `condition`, not this.
* `pa_to_pa` - KOVA edition only. When `true`, only nodes on a protected area are
  counted as destinations (weighted by their protected fraction); paths still route through
  the non-PA landscape. An isolated PA scores 0. When `false`, all reachable nodes count.
* `n_threads` - Optional number of CPU threads to use. If `None`, all available
  cores are used.

# Returns
A 2D array of connectivity values for each cell at the native resolution.)velkan";

constexpr const char* kPixelCoverageDoc = R"velkan(pixel_coverage(polygons, transform, shape, n_threads=None)
--

Compute the proportion of each raster pixel covered by a (multi)polygon.

# Arguments
* `polygons` - Python list of `(exterior_xy, [hole_xy, ...])` tuples, where each
  ring is an `(N, 2)` float64 numpy array of (x, y) world-coordinate vertices.
  Polygons are assumed already-unioned on the Python side.
* `transform` - Affine 6-tuple `(a, b, c, d, e, f)` of the reference raster.
* `shape` - Output raster shape `(nrows, ncols)`.
* `n_threads` - Optional number of CPU threads to use. If `None`, all available
  cores are used.

# Returns
A 2D float32 array of shape `shape` with values in [0, 1].)velkan";

}  // namespace velkan::py
