"""Connectivity of a whole raster computed tile by tile, each tile one short native call."""
import numpy as np

from ._extras import require
from .blocks import Block, NativeCall, block_values, check_input_shapes
from .checks import check_run_inputs
from .settings import settings_from


def tile_cores(shape, tile_size):
    """(row range, column range) of every core tile, row by row; edge tiles are smaller."""
    if tile_size < 1:
        raise ValueError(f"tile_size must be at least 1, not {tile_size}")
    rows, cols = shape
    for r in range(0, rows, tile_size):
        for c in range(0, cols, tile_size):
            yield (r, min(r + tile_size, rows)), (c, min(c + tile_size, cols))


def connectivity_tiled(condition, mask, transgrid_list, transform, *, is_geo=False, offsets=(0, 0), traversal=None,
                       settings=None, progress=None, **parameters):
    """`velkan.connectivity` of the whole raster, run tile by tile; the same values.

    The rasters are those of `velkan.connectivity`; `transform` is the base transform of the
    raster's own cells (the per-level transforms are derived from it with `level_transforms`),
    and `offsets` places the raster in the global grid. The parameters come from `settings` (a
    ConnectivitySettings) with any of its fields given as keywords over it (`levels`, `lambdas`,
    `max_cost`, `tile_size`, ...; the defaults are the command's). Each tile of `tile_size` x
    `tile_size` cells is computed with a halo of `search_reach` cells whose cells are no focal
    sources, so its values equal those of one call on the whole raster. Transition grids and
    `traversal` must have the condition's rows and columns; a larger mask is read where it
    overlaps the condition.

    Parameters outside their rules and condition or traversal values outside [0, 1] are refused
    with InputError (a ValueError; NumPy rasters are checked before any tile runs); traversal
    cells without data and a mask that leaves no focal cell give a UserWarning.

    `progress`: True shows a progress bar with ETA on stderr, False hides it, None (the default)
    shows it when stderr is a terminal. Ctrl-C stops the run between tiles (or inside a tile,
    where the native call can be interrupted) and raises KeyboardInterrupt; nothing is returned.
    """
    tqdm = require("tqdm", "connectivity_tiled").tqdm
    call = NativeCall(settings_from(settings, **parameters), transform, offsets, is_geo)
    grids = [g for g in (transgrid_list or []) if g is not None]
    check_input_shapes(condition.shape, mask.shape, None if traversal is None else traversal.shape,
                       [g.shape for g in grids])
    check_run_inputs(condition, mask, traversal)
    mask = mask[:condition.shape[0], :condition.shape[1]]
    result = np.full(condition.shape, np.nan, dtype=np.float32)
    focal_cells = int(np.count_nonzero(~mask)) if mask.dtype == bool else None
    with tqdm(total=focal_cells, disable=None if progress is None else not progress, unit="cell",
              unit_scale=True, desc="connectivity", dynamic_ncols=True) as bar:
        for core_rows, core_cols in tile_cores(condition.shape, call.settings.tile_size):
            block = Block.around(core_rows, core_cols, condition.shape, call.halo)
            if focal_cells is not None and mask[block.core].all():
                continue  # no focal cell: its values stay NaN, as the native call would leave them
            window = block.padded
            result[block.core] = block_values(
                call, block, condition[window], mask[window],
                None if traversal is None else traversal[window], [g[window] for g in grids])
            if focal_cells is not None:
                bar.update(int(np.count_nonzero(~mask[block.core])))
    return result
