"""Connectivity of a dask array: one native call per chunk, padded with the halo by dask.

Every chunk is padded with `dask.array.overlap.overlap` (boundary "none": nothing is added
outside the raster), or cut from NumPy rasters with its padding, and handed to `block_values`;
the chunk's place in the raster, and with it its global offsets, comes from its block index and
the array's chunks, never from the padded array's locations. The graph runs on any dask
scheduler, `dask.distributed` included.
"""
from itertools import accumulate

import numpy as np

from ._extras import require
from .blocks import Block, NativeCall, block_values, check_input_shapes
from .checks import check_run_inputs
from .settings import settings_from

dask = require("dask", "connectivity_dask")
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


def padded_chunks(array, chunks, halo):
    """The dask array cut into `chunks`, each chunk padded with the halo; grids get their bands
    first, since map_blocks lines up the last axes of its arrays."""
    if array is None:
        return None
    if not isinstance(array, da.Array):
        array = da.from_array(array, chunks=chunks + array.shape[2:])
    if array.ndim == 3:
        array = array.rechunk(chunks + (-1,)).transpose(2, 0, 1)
        depth = {0: 0, 1: halo, 2: halo}
    else:
        array = array.rechunk(chunks)
        depth = {0: halo, 1: halo}
    return da.overlap.overlap(array, depth=depth, boundary="none", allow_rechunk=False)


def from_numpy_blocks(call, chunks, shape, rasters):
    """NumPy rasters: one task per chunk that carries its own padded block.

    Chunks that shared the pieces of a neighbour would have to fetch them from the worker that
    holds them, and that worker cannot answer while its native call holds the interpreter lock.
    """
    compute = dask.delayed(block_values, pure=True)

    def chunk(rows, cols):
        block = Block.around(rows, cols, shape, call.halo)
        condition, mask, traversal, *grids = (None if r is None else r[block.padded] for r in rasters)
        lazy = compute(call, block, condition, mask, traversal, grids)
        return da.from_delayed(lazy, (rows[1] - rows[0], cols[1] - cols[0]), dtype=np.float32)

    row_bounds, col_bounds = (chunk_bounds(sizes) for sizes in chunks)
    return da.block([[chunk(rows, cols) for cols in col_bounds] for rows in row_bounds])


def _chunk_values(condition, mask, traversal, *band_first_grids, call, bounds, shape, block_id=None):
    """One chunk's values, from its padded arrays (grids with their bands first)."""
    i, j = block_id
    block = Block.around(bounds[0][i], bounds[1][j], shape, call.halo)
    if condition.shape != block.padded_shape:
        raise RuntimeError(f"chunk {block_id} arrived as {condition.shape} cells, not the padded {block.padded_shape}")
    grids = [np.ascontiguousarray(np.moveaxis(g, 0, -1)) for g in band_first_grids]
    return block_values(call, block, condition, mask, traversal, grids)


def connectivity_dask(condition, mask, transgrid_list, transform, *, is_geo=False, offsets=(0, 0), traversal=None,
                      settings=None, **parameters):
    """`velkan.connectivity` of dask arrays, as a lazy float32 dask array with the condition's chunks.

    The arguments are those of `connectivity_tiled`; the rasters may be dask or NumPy arrays.
    Each chunk is one native call on the chunk padded with `search_reach` cells; chunks smaller
    than that are merged into their neighbours. When every raster is a NumPy array, chunks are
    `tile_size` cells a side and each task carries its own padded block. The values equal those
    of one call on the whole raster. With several workers, give `n_threads` so that workers
    times threads matches the cores.
    """
    call = NativeCall(settings_from(settings, **parameters), transform, offsets, is_geo)
    grids = [g for g in (transgrid_list or []) if g is not None]
    check_input_shapes(condition.shape, mask.shape, None if traversal is None else traversal.shape,
                       [g.shape for g in grids])
    check_run_inputs(condition, mask, traversal)
    halo, (rows, cols) = call.halo, condition.shape
    size = call.settings.tile_size
    given = condition.chunks if isinstance(condition, da.Array) else da.core.normalize_chunks((size, size),
                                                                                               (rows, cols))
    chunks = tuple(chunks_at_least(sizes, halo) for sizes in given)
    rasters = [condition, mask[:rows, :cols], traversal] + grids
    if not any(isinstance(r, da.Array) for r in rasters):
        return from_numpy_blocks(call, chunks, (rows, cols), rasters)
    return da.map_blocks(
        _chunk_values, *[padded_chunks(r, chunks, halo) for r in rasters], call=call,
        bounds=[chunk_bounds(sizes) for sizes in chunks], shape=(rows, cols),
        chunks=chunks, drop_axis=[0] if grids else [], dtype=np.float32, meta=np.empty((0, 0), np.float32))
