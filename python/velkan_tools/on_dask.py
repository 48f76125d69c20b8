"""Connectivity of a dask array: one native call per chunk, padded with the halo by dask.

Every chunk is padded with `dask.array.overlap.overlap` (boundary "none": nothing is added
outside the raster) and handed to `block_values`; the chunk's place in the raster, and with it
its global offsets, comes from its block index and the array's chunks, never from the padded
array's locations. The graph runs on any dask scheduler, `dask.distributed` included.
"""
from itertools import accumulate

import numpy as np

from ._extras import require
from .blocks import Block, ConnectivitySettings, block_values, check_input_shapes
from .tiled import DEFAULT_TILE_SIZE

da = require("dask.array", "connectivity_dask")


def chunks_at_least(sizes, halo):
    """Chunk sizes along one axis, each at least `halo` unless it is the only one.

    A chunk's halo then comes from its direct neighbours alone, as overlap requires; a chunk
    that is too small takes in the next one, and a last one too small joins the one before it.
    """
    out = []
    for size in sizes:
        if out and out[-1] < halo:
            out[-1] += size
        else:
            out.append(size)
    if len(out) > 1 and out[-1] < halo:
        last = out.pop()
        out[-1] += last
    return tuple(out)


def chunk_bounds(sizes):
    """(start, stop) of every chunk along one axis."""
    stops = list(accumulate(sizes))
    return [(stop - size, stop) for size, stop in zip(sizes, stops)]


def as_dask(array, chunks):
    """The array as a dask array with the given chunks."""
    if isinstance(array, da.Array):
        return array.rechunk(chunks)
    return da.from_array(array, chunks=chunks)


def _chunk_values(condition, mask, traversal, *band_first_grids, settings, bounds, shape, block_id=None):
    """One chunk's values, from its padded arrays (grids with their bands first)."""
    i, j = block_id
    block = Block.around(bounds[0][i], bounds[1][j], shape, settings.halo)
    if condition.shape != block.padded_shape:
        raise RuntimeError(f"chunk {block_id} arrived as {condition.shape} cells, not the padded {block.padded_shape}")
    grids = [np.ascontiguousarray(np.moveaxis(g, 0, -1)) for g in band_first_grids]
    return block_values(settings, block, condition, mask, traversal, grids)


def connectivity_dask(condition, mask, transgrid_list, transform, levels, lambdas, is_geo, max_cost,
                      window_size, outer_window, offsets=(0, 0), traversal=None, n_threads=None,
                      window_mode="circular", pa_to_pa=False):
    """`velkan.connectivity` of dask arrays, as a lazy float32 dask array with the condition's chunks.

    The arguments are those of `connectivity_tiled`; the rasters may be dask or NumPy arrays
    (NumPy arrays are cut into chunks of 256 x 256 cells). Each chunk is one native call on
    the chunk padded with `search_reach` cells; chunks smaller than that are merged into their
    neighbours. The values equal those of one call on the whole raster. With several workers,
    give `n_threads` so that workers times threads matches the cores.
    """
    settings = ConnectivitySettings.from_arguments(transform, levels, lambdas, is_geo, max_cost, window_size,
                                                   outer_window, offsets, n_threads, window_mode, pa_to_pa)
    grids = [g for g in (transgrid_list or []) if g is not None]
    check_input_shapes(condition.shape, mask.shape, None if traversal is None else traversal.shape,
                       [g.shape for g in grids])
    halo = settings.halo
    if not isinstance(condition, da.Array):
        condition = da.from_array(condition, chunks=(DEFAULT_TILE_SIZE, DEFAULT_TILE_SIZE))
    chunks = tuple(chunks_at_least(sizes, halo) for sizes in condition.chunks)
    rows, cols = condition.shape
    rasters = [as_dask(condition, chunks), as_dask(mask[:rows, :cols], chunks),
               None if traversal is None else as_dask(traversal, chunks)]
    # Bands first: map_blocks lines the last axes of its arrays up, so the grids' rows and
    # columns then meet those of the 2D rasters.
    rasters += [as_dask(g, chunks + (-1,)).transpose(2, 0, 1).rechunk((-1,) + chunks) for g in grids]

    def padded(array):
        if array is None:
            return None
        depth = {0: 0, 1: halo, 2: halo} if array.ndim == 3 else {0: halo, 1: halo}
        return da.overlap.overlap(array, depth=depth, boundary="none", allow_rechunk=False)

    return da.map_blocks(
        _chunk_values, *[padded(r) for r in rasters], settings=settings,
        bounds=[chunk_bounds(sizes) for sizes in chunks], shape=(rows, cols),
        chunks=chunks, drop_axis=[0] if grids else [], dtype=np.float32, meta=np.empty((0, 0), np.float32))
