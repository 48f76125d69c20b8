"""One tile of a streamed run, as a local loop or a cluster task runs it: its padded window read
from the files, one native call, its values written into the checkpoint and the tile marked
finished with their digest."""
import contextlib
import os
import socket
from dataclasses import dataclass

import numpy as np

from ._extras import require
from .blocks import Block, NativeCall, block_values
from .checkpoint import STORE, mark_finished
from .rasters import read_float32
from .tiled import tile_cores

rasterio = require("rasterio", "connectivity_from_files")
zarr = require("zarr", "connectivity_from_files")
Window = rasterio.windows.Window
# GDAL keeps the blocks it read or wrote in a cache of 5 % of the machine's memory by default:
# on a large raster that cache, not the tiles, would set the run's peak memory.
GDAL_CACHE = dict(GDAL_CACHEMAX=64)  # MB


@dataclass(frozen=True)
class FileRun:
    """What every tile task needs: small and picklable, so that cluster tasks carry paths, not
    rasters. Every path is absolute: a worker may run in another folder."""

    condition: str
    mask: str | None
    traversal: str | None
    transition: tuple
    protected: str | None  # a raster on the condition's grid whose non-zero cells are protected
    protected_in_store: bool  # protected polygons, rasterised into the checkpoint first
    call: NativeCall
    shape: tuple
    checkpoint: str
    reclass: object = None  # a ReclassTable: `condition` is then a land cover of integer classes
    transition_divisors: tuple = ()  # per transition grid, a float32 divisor per band (found by the survey)

    @property
    def settings(self):
        return self.call.settings

    @property
    def tile_size(self):
        """The tile's side, within the raster."""
        return min(self.settings.tile_size, max(self.shape))

    @property
    def store(self):
        return os.path.join(self.checkpoint, STORE)

    @property
    def chunks(self):
        """The store's chunks: a tile, within the raster."""
        return min(self.tile_size, self.shape[0]), min(self.tile_size, self.shape[1])

    def tiles(self):
        return list(tile_cores(self.shape, self.tile_size))

    def rasters(self):
        """{role: path} of every raster file the run reads."""
        named = {"condition": self.condition, "mask": self.mask, "traversal": self.traversal,
                 "protected": self.protected}
        named.update({f"transition grid {k}": path for k, path in enumerate(self.transition)})
        return {role: path for role, path in named.items() if path}


def window_of(rows, cols):
    return Window.from_slices(slice(*rows), slice(*cols))


class Readers(contextlib.ExitStack):
    """The run's raster files, each opened once for all the windows read through it; with
    `digests` (a checkpoint.Digests by role), every window read is fed to its file's digest."""

    def __init__(self, roles=None, digests=None):
        super().__init__()
        self.sources = {}
        self.roles, self.digests = roles or {}, digests

    def source(self, path):
        """The open raster file at `path`."""
        if path not in self.sources:
            self.sources[path] = self.enter_context(rasterio.open(path))
        return self.sources[path]

    def read(self, path, rows, cols, bands=1, scale=1.0):
        """A window as float32 with NaN where there is no data, divided by `scale`: (rows, cols),
        or (rows, cols, bands) for bands=None."""
        data = read_float32(self.source(path), None if bands is None else 1, window=window_of(rows, cols))
        if self.digests is not None and path in self.roles:
            self.digests.add(self.roles[path], data)
        if scale != 1:
            data /= np.float32(scale)
        return data if bands == 1 else np.ascontiguousarray(np.moveaxis(data, 0, -1))

    def read_classes(self, path, rows, cols):
        """A window of a raster of integer classes, as it is, and True where it has data."""
        data = self.source(path).read(1, window=window_of(rows, cols), masked=True)
        classes, valid = np.ma.getdata(data), ~np.ma.getmaskarray(data)
        if self.digests is not None and path in self.roles:
            self.digests.add(self.roles[path], classes)
            self.digests.add(self.roles[path], valid)
        return classes, valid


def read_condition(run, readers, rows, cols):
    """(condition, traversal or None, classes or None) of a window: from their files, divided by
    their scales, or from the land cover through the reclass table (its traversal unless a
    traversal file is given); `classes` is the land cover's (classes, valid) pair."""
    s = run.settings
    traversal = readers.read(run.traversal, rows, cols, scale=s.traversal_scale) if run.traversal else None
    if run.reclass is None:
        return readers.read(run.condition, rows, cols, scale=s.condition_scale), traversal, None
    classes, valid = readers.read_classes(run.condition, rows, cols)
    condition, from_table = run.reclass.apply(classes, valid)
    if s.condition_scale != 1:
        condition /= np.float32(s.condition_scale)
    if traversal is None and run.reclass.has_traversal:
        traversal = from_table / np.float32(s.traversal_scale) if s.traversal_scale != 1 else from_table
    return condition, traversal, (classes, valid)


def window_mask(run, readers, rows, cols, condition):
    """True where a cell of the window is no focal source: no data, the mask's non-zero or nodata
    cells and, with protected areas, the cells outside them."""
    mask = np.isnan(condition)
    if run.mask:
        values = readers.read(run.mask, rows, cols)
        mask |= np.isnan(values) | (values != 0)
    if run.protected_in_store:
        mask |= zarr.open_array(run.store, mode="r", path="protected")[slice(*rows), slice(*cols)] == 0
    elif run.protected:
        values = readers.read(run.protected, rows, cols)
        mask |= ~(np.isfinite(values) & (values != 0))
    return mask


class TileFailed(RuntimeError):
    """A tile task that could not read its inputs or write the checkpoint, with where it ran."""

    def __init__(self, message, where, path):
        super().__init__(message)
        self.where, self.path = where, path

    def __reduce__(self):  # sent back from a cluster worker
        return TileFailed, (str(self), self.where, self.path)


def where_this_runs():
    """The dask worker this runs on, or this host."""
    try:
        from distributed import get_worker

        return f"worker {get_worker().address} on {socket.gethostname()}"
    except (ImportError, ValueError):
        return f"this process on {socket.gethostname()}"


def compute_tile(run, core_rows, core_cols):
    """Computes one tile from the files into the checkpoint and marks it finished; its focal cells.
    A tile without focal cells is marked finished without a native call. A file that cannot be
    opened or written is a TileFailed that names it and where the task ran."""
    if not os.path.isdir(run.checkpoint):
        raise TileFailed(f"cannot see the checkpoint {run.checkpoint}", where_this_runs(), run.checkpoint)
    try:
        return computed_tile(run, core_rows, core_cols)
    except rasterio.errors.RasterioIOError as error:
        path = next((p for p in run.rasters().values() if p in str(error)), None)
        raise TileFailed(f"cannot read {path or 'an input'} ({error})", where_this_runs(), path) from None


def computed_tile(run, core_rows, core_cols):
    block = Block.around(core_rows, core_cols, run.shape, run.call.halo)
    with rasterio.Env(**GDAL_CACHE), Readers() as readers:
        condition, traversal, _ = read_condition(run, readers, block.rows, block.cols)
        mask = window_mask(run, readers, block.rows, block.cols, condition)
        focal = int(np.count_nonzero(~mask[block.core_in_block]))
        if focal:
            grids = [readers.read(path, block.rows, block.cols, bands=None) for path in run.transition]
            grids = [grid / divisors for grid, divisors in zip(grids, run.transition_divisors)] or grids
    if focal:
        values = block_values(run.call, block, condition, mask, traversal, grids)
        zarr.open_array(run.store, mode="r+", path="values")[block.core] = values
    else:  # the store's fill value is the tile's values
        values = np.full((core_rows[1] - core_rows[0], core_cols[1] - core_cols[0]), np.nan, np.float32)
    mark_finished(run.checkpoint, core_rows, core_cols, values)
    return focal
