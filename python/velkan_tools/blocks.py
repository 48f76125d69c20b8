"""One native connectivity call on a padded block of a raster, keeping the values of its core.

Tiled and dask runs both cut the raster into core windows, pad each with the halo of
`search_reach`, and hand the padded block to `block_values`: the block is placed in the global
grid at its own offsets, so its coarse cells align with the whole raster's, and only core cells
are focal sources.
"""
from dataclasses import dataclass

import numpy as np

import velkan

from .checks import check_bandwidths_and_cost, check_threads
from .grid import check_window_sizes, checked_levels, level_transforms, search_reach, shifted_transform


def value_name(transition, pa_to_pa):
    """What a cell's value is, by the inputs that choose it: OLVI with transition grids, KOVA with
    pa_to_pa, habitat connectivity otherwise."""
    if transition:
        return "OLVI"
    return "KOVA" if pa_to_pa else "habitat connectivity"


@dataclass(frozen=True)
class ConnectivitySettings:
    """The arguments of `velkan.connectivity` that every block of one run shares."""

    base_transform: tuple
    offsets: tuple
    levels: tuple
    lambdas: tuple
    is_geo: bool
    max_cost: float
    window_size: int
    outer_window: int
    window_mode: str = "circular"
    pa_to_pa: bool = False
    n_threads: int | None = None

    def __post_init__(self):
        if len(self.base_transform) != 6:
            raise ValueError(f"transform must have six coefficients (a, b, c, d, e, f), not {len(self.base_transform)}")
        if len(self.offsets) != 2 or min(self.offsets) < 0:
            raise ValueError(f"offsets must be two non-negative integers (row, column), not {self.offsets}")
        checked_levels(self.levels)
        check_window_sizes(self.window_size, self.outer_window)
        check_bandwidths_and_cost(self.lambdas, self.max_cost)
        check_threads(self.n_threads)

    @classmethod
    def from_arguments(cls, transform, levels, lambdas, is_geo, max_cost, window_size, outer_window, offsets,
                       n_threads, window_mode, pa_to_pa):
        return cls(tuple(float(v) for v in transform), tuple(int(v) for v in offsets), tuple(levels),
                   tuple(float(v) for v in lambdas), bool(is_geo), float(max_cost), int(window_size),
                   int(outer_window), window_mode, bool(pa_to_pa), n_threads)

    @property
    def halo(self):
        return search_reach(self.levels, self.window_size, self.outer_window)


@dataclass(frozen=True)
class Block:
    """A core window of the raster and the padded window around it, as (start, stop) pairs."""

    rows: tuple
    cols: tuple
    core_rows: tuple
    core_cols: tuple

    @classmethod
    def around(cls, core_rows, core_cols, shape, halo):
        """The core padded by `halo` on every side, clipped to the raster."""
        def pad(core, size):
            return max(core[0] - halo, 0), min(core[1] + halo, size)
        return cls(pad(core_rows, shape[0]), pad(core_cols, shape[1]), core_rows, core_cols)

    @property
    def padded(self):
        """Slices of the raster that the block reads."""
        return slice(*self.rows), slice(*self.cols)

    @property
    def core(self):
        """Slices of the raster that the block's values fill."""
        return slice(*self.core_rows), slice(*self.core_cols)

    @property
    def core_in_block(self):
        """Slices of the padded block that hold the core."""
        r, c = self.rows[0], self.cols[0]
        return (slice(self.core_rows[0] - r, self.core_rows[1] - r),
                slice(self.core_cols[0] - c, self.core_cols[1] - c))

    @property
    def padded_shape(self):
        return self.rows[1] - self.rows[0], self.cols[1] - self.cols[0]


def check_input_shapes(condition_shape, mask_shape, traversal_shape, grid_shapes):
    """Refuse inputs that cannot be cut into the condition's tiles."""
    if len(condition_shape) != 2:
        raise ValueError(f"condition must be a 2D raster, not {len(condition_shape)}D")
    rows, cols = condition_shape
    if len(mask_shape) != 2 or mask_shape[0] < rows or mask_shape[1] < cols:
        raise ValueError(f"mask of shape {tuple(mask_shape)} does not cover the condition's {rows} x {cols} cells")
    if traversal_shape is not None and tuple(traversal_shape) != (rows, cols):
        raise ValueError(f"traversal of shape {tuple(traversal_shape)} differs from the condition's ({rows}, {cols})")
    for k, shape in enumerate(grid_shapes):
        if len(shape) != 3 or tuple(shape[:2]) != (rows, cols):
            raise ValueError(f"transition grid {k} of shape {tuple(shape)} needs the condition's "
                             f"{rows} rows and {cols} columns and a band axis")


def focal_mask(settings, mask, block):
    """The block's mask: halo cells are no focal sources.

    In KOVA the mask also says which cells are protected, and the protected fraction of every
    coarse cell depends on it, so there the halo keeps its mask: its protected cells are searched
    too and their values dropped with the halo.
    """
    if settings.pa_to_pa:
        return mask
    out = np.ones(mask.shape, dtype=mask.dtype)  # the dtype stays the caller's, for the engine to check
    core = block.core_in_block
    out[core] = mask[core]
    return out


def block_values(settings, block, condition, mask, traversal=None, grids=()):
    """Connectivity of the block's core cells; the arrays are the padded block's own."""
    r, c = block.rows[0], block.cols[0]
    offsets = (settings.offsets[0] + r, settings.offsets[1] + c)
    transforms = level_transforms(shifted_transform(settings.base_transform, r, c), offsets, settings.levels)
    values = velkan.connectivity(
        condition, focal_mask(settings, mask, block), list(grids) or None, transforms, list(settings.levels),
        list(settings.lambdas), settings.is_geo, settings.max_cost, settings.window_size, settings.outer_window,
        offsets, traversal=traversal, n_threads=settings.n_threads, window_mode=settings.window_mode,
        pa_to_pa=settings.pa_to_pa)
    return values[block.core_in_block]
