"""One native connectivity call on a padded block of a raster, keeping the values of its core.

Tiled and dask runs both cut the raster into core windows, pad each with the halo of
`search_reach`, and hand the padded block to `block_values`: the block is placed in the global
grid at its own offsets, so its coarse cells align with the whole raster's, and only core cells
are focal sources.
"""
from dataclasses import dataclass

import numpy as np

import velkan

from .checks import warn_about_bandwidths
from .errors import InputError
from .grid import level_transforms, shifted_transform
from .settings import ConnectivitySettings


def value_name(transition, pa_to_pa):
    """What a cell's value is, by the inputs that choose it: OLVI with transition grids, KOVA with
    pa_to_pa, habitat connectivity otherwise."""
    if transition:
        return "OLVI"
    return "KOVA" if pa_to_pa else "habitat connectivity"


@dataclass(frozen=True)
class NativeCall:
    """What every block of one run hands `velkan.connectivity`: the run's settings, the base
    transform of the raster's own cells, its place in the global grid and whether it is geographic."""

    settings: ConnectivitySettings
    base_transform: tuple
    offsets: tuple = (0, 0)
    is_geo: bool = False

    def __post_init__(self):
        if len(self.base_transform) != 6:
            raise InputError(f"transform must have six coefficients (a, b, c, d, e, f), not "
                             f"{len(self.base_transform)}")
        if len(self.offsets) != 2 or min(self.offsets) < 0:
            raise InputError(f"offsets must be two non-negative integers (row, column), not {self.offsets}")
        object.__setattr__(self, "base_transform", tuple(float(v) for v in self.base_transform))
        object.__setattr__(self, "offsets", tuple(int(v) for v in self.offsets))
        object.__setattr__(self, "is_geo", bool(self.is_geo))
        warn_about_bandwidths(self.settings.lambdas)

    @property
    def halo(self):
        return self.settings.halo


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
        raise InputError(f"condition must be a 2D raster, not {len(condition_shape)}D")
    rows, cols = condition_shape
    if len(mask_shape) != 2 or mask_shape[0] < rows or mask_shape[1] < cols:
        raise InputError(f"mask of shape {tuple(mask_shape)} does not cover the condition's {rows} x {cols} cells")
    if traversal_shape is not None and tuple(traversal_shape) != (rows, cols):
        raise InputError(f"traversal of shape {tuple(traversal_shape)} differs from the condition's ({rows}, {cols})")
    for k, shape in enumerate(grid_shapes):
        if len(shape) != 3 or tuple(shape[:2]) != (rows, cols):
            raise InputError(f"transition grid {k} of shape {tuple(shape)} needs the condition's "
                             f"{rows} rows and {cols} columns and a band axis")


def focal_mask(call, mask, block):
    """The block's mask: halo cells are no focal sources.

    In KOVA the mask also says which cells are protected, and the protected fraction of every
    coarse cell depends on it, so there the halo keeps its mask: its protected cells are searched
    too and their values dropped with the halo.
    """
    if call.settings.pa_to_pa:
        return mask
    out = np.ones(mask.shape, dtype=mask.dtype)  # the dtype stays the caller's, for the engine to check
    core = block.core_in_block
    out[core] = mask[core]
    return out


def block_values(call, block, condition, mask, traversal=None, grids=()):
    """Connectivity of the block's core cells; the arrays are the padded block's own."""
    r, c = block.rows[0], block.cols[0]
    s = call.settings
    offsets = (call.offsets[0] + r, call.offsets[1] + c)
    transforms = level_transforms(shifted_transform(call.base_transform, r, c), offsets, s.levels)
    values = velkan.connectivity(
        condition, focal_mask(call, mask, block), list(grids) or None, transforms, list(s.levels), list(s.lambdas),
        call.is_geo, s.max_cost, s.window_size, s.outer_window, offsets, traversal=traversal, n_threads=s.n_threads,
        window_mode=s.window_mode, pa_to_pa=s.pa_to_pa)
    return values[block.core_in_block]
