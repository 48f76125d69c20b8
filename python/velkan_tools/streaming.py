"""Connectivity of raster files of any size: each tile's padded window read from the files, one
native call, the finished tile written into a checkpoint, and the output assembled from it.

Memory is bounded by a tile and its halo, never by the raster. The checkpoint (see
velkan_tools.checkpoint) is a locked folder beside the output with a Zarr store chunked like the
tiles: each tile is one chunk with one writer, so local runs and cluster workers write their
tiles side by side, and it stays on disk for an interrupted run to resume from. Before any tile,
the survey reads every input once (value ranges, focal tiles, content digests); a resume with any
input or parameter changed is refused, and every finished tile's values are checked against
their digest before the output is assembled, a missing or damaged tile being computed again. The
values are those of one whole-raster call: bit for bit on projected grids of whole metres, as for
`connectivity_tiled`.
"""
import dataclasses
import logging
import os
import warnings
from dataclasses import dataclass

import numpy as np

from . import __version__
from ._extras import require
from .blocks import NativeCall, value_name
from .checkpoint import checkpoint_path, is_marked, open_checkpoint, run_manifest, tile_is_intact
from .cog import cog_beside, provenance_tags
from .errors import InputError
from .rasters import GEOTIFF_BLOCK, Grid, geotiff_profile, is_local
from .reclass import as_table
from .settings import settings_from
from .survey import PolygonsByTile, bar_hidden, survey, warn_about
from .temporaries import remove_stale_temporaries
from .tile_task import GDAL_CACHE, FileRun, compute_tile, window_of
from .tiled import tile_cores
from .transition import band_divisors, warn_if_dissimilar

rasterio = require("rasterio", "connectivity_from_files")
zarr = require("zarr", "connectivity_from_files")
tqdm = require("tqdm", "connectivity_from_files").tqdm

log = logging.getLogger("velkan_tools")

__all__ = ["connectivity_from_files", "checkpoint_path", "RunSummary"]

# A tile whose padded window holds more than this many times its own cells spends most of its
# time reading and preparing its halo.
HALO_OVERHEAD_WARNING = 9


@dataclass
class RunSummary:
    tiles: int
    computed_tiles: int  # tiles with focal cells run now (not finished before a resume)
    focal_cells: int
    value_count: int
    value_sum: float


# Parameters that do not shape the values: a resume may change them.
NOT_RECORDED = ("n_threads", "tile_size")


def run_record(run, protected):
    """The manifest of a run: its inputs' identity and every parameter that shapes its values;
    `protected` describes protected polygons (their file and selection), if any."""
    inputs = run.rasters()
    if protected and protected["source"]:
        inputs["protected polygons"] = absolute(protected["source"])
    parameters = {name: value for name, value in run.settings.record().items() if name not in NOT_RECORDED}
    parameters.update(is_geo=run.call.is_geo, protected_selection=protected and protected["selection"],
                      reclass=run.reclass.digest() if run.reclass is not None else None)
    if run.reclass is not None and run.reclass.path:
        inputs["reclass table"] = absolute(run.reclass.path)
    if not protected:
        parameters.pop("protected_cover")
    return run_manifest(run.shape, run.tile_size, inputs, parameters)


def store_arrays(run):
    """The store's arrays: {name: (shape, chunks, dtype, fill value)}."""
    arrays = {"values": (run.shape, run.chunks, "float32", np.nan)}
    if run.protected_in_store:
        arrays["protected"] = (run.shape, run.chunks, "uint8", 0)
    return arrays


def warn_about_small_tiles(tile_size, shape, halo):
    """A tile that costs more than it computes: its padded window is mostly halo."""
    core = min(tile_size, shape[0]) * min(tile_size, shape[1])
    padded = min(tile_size + 2 * halo, shape[0]) * min(tile_size + 2 * halo, shape[1])
    if padded > HALO_OVERHEAD_WARNING * core:
        warnings.warn(f"tile size {tile_size}: each tile reads and prepares {padded / core:.0f} times its own cells "
                      f"(a halo of {halo} cells around it), which costs more than the tile computes; give a tile "
                      f"size of {4 * halo} or more", UserWarning, stacklevel=3)


def run_tiles(run, pending, client, progress):
    """Computes the pending (rows, cols, focal cells) tiles: here, one after another, or as tasks
    on a dask.distributed client."""
    with tqdm(total=sum(focal for _, _, focal in pending), disable=bar_hidden(progress), unit="cell",
              unit_scale=True, desc="connectivity", dynamic_ncols=True) as bar:
        if client is None:
            for rows, cols, _ in pending:
                bar.update(compute_tile(run, rows, cols))
            return
        from distributed import as_completed

        futures = [client.submit(compute_tile, run, rows, cols, pure=False) for rows, cols, _ in pending]
        try:
            for future in as_completed(futures):
                bar.update(future.result())
        finally:
            client.cancel(futures)


def damaged_tiles(run, tiles):
    """The (rows, cols, focal cells) tiles whose stored values are missing or fail their digest."""
    values = zarr.open_array(run.store, mode="r", path="values")
    return [tile for tile in tiles if not tile_is_intact(run.checkpoint, values, tile[0], tile[1])]


def compute_and_check(run, tiles, client, progress):
    """Computes the tiles not marked finished, then checks every tile's stored values and computes
    again those missing or damaged; the count of tiles computed."""
    pending = [tile for tile in tiles if not is_marked(run.checkpoint, tile[0], tile[1])]
    log.info("%s tiles of up to %d x %d cells, %s focal cells; %d tiles to compute", f"{len(run.tiles()):,}",
             run.tile_size, run.tile_size, f"{sum(t[2] for t in tiles):,}", len(pending))
    run_tiles(run, pending, client, progress)
    if damaged := damaged_tiles(run, tiles):
        log.info("%d finished tiles of %s were missing or damaged; computing them again", len(damaged), run.checkpoint)
        run_tiles(run, damaged, client, progress)
        if still := damaged_tiles(run, damaged):
            raise OSError(f"{len(still)} tiles of {run.checkpoint} did not read back as they were written")
    return len(pending) + len(damaged)


def assemble(run, path, profile):
    """Writes the checkpoint's values into a GeoTIFF at `path`, one output block at a time; the
    count and the float64 sum of the finite values."""
    values = zarr.open_array(run.store, mode="r", path="values")
    count, total = 0, 0.0
    grid = Grid(profile["crs"], profile["transform"], run.shape)
    with rasterio.open(path, "w", **geotiff_profile(grid)) as target:
        for rows, cols in tile_cores(run.shape, GEOTIFF_BLOCK):
            block = values[slice(*rows), slice(*cols)]
            target.write(block, 1, window=window_of(rows, cols))
            finite = block[np.isfinite(block)]
            count, total = count + finite.size, total + float(finite.sum(dtype=np.float64))
    return count, total


def absolute(path):
    """A local path made absolute (None stays None), so that tasks may run in another folder;
    GDAL's virtual paths (/vsizip/, /vsicurl/, ...) and URLs stay as they are."""
    if not path:
        return path
    return os.path.abspath(path) if is_local(path) else os.fspath(path)


def connectivity_from_files(condition, output, *, mask=None, traversal=None, transition=(), protected=None,
                            protected_polygons=None, protected_source=None, protected_selection="", is_geo=None,
                            reclass=None, resume=False, overwrite=False, client=None, progress=None,
                            creation_options=None, config=None, settings=None, **parameters):
    """Connectivity of the raster file `condition`, streamed tile by tile into the GeoTIFF `output`.

    Rasters are file paths on the condition's grid: `mask` (non-zero or nodata cells are no focal
    sources), `traversal`, `transition` (one multi-band file per grid) and `protected` (non-zero
    cells protected). Protected areas may come as `protected_polygons` instead ((exterior, holes)
    pairs in the raster's CRS), a cell being protected when they cover at least `protected_cover`
    of it; `protected_source` (a file) and `protected_selection` (how its features were chosen) say
    where they came from, for the checkpoint's record. With protected areas, cells outside them
    are no focal sources. With `reclass` (a ReclassTable, a CSV file's path or a mapping, see
    velkan_tools.reclass) `condition` is a land cover of integer classes that each tile maps to
    its condition and traversal (a class missing from the table is an InputError, before any
    computation). The parameters come from `settings` (a ConnectivitySettings) with any of
    its fields given as keywords over it; the defaults are the command's. Condition and traversal
    values are divided by their scale and must then lie in [0, 1] (OutOfRange otherwise, before
    any computation, and nothing is left on disk). `is_geo` None follows the condition's CRS.
    `tile_size` is clamped to the raster; tiles much smaller than their halo give a UserWarning.

    Finished tiles go into the checkpoint beside the output (`checkpoint_path(output)`), which one
    run at a time writes (CheckpointBusy while another holds it). With `resume` an interrupted
    run's checkpoint is continued (CheckpointMismatch if its inputs, by size, modification time or
    content, or its parameters differ); with `overwrite` it is started again; with neither it is
    an InterruptedRunExists. A path there that is not a checkpoint is a CheckpointError and is
    never removed (all of them InputErrors). With a dask.distributed `client`, each tile is a task
    that reads its own windows and writes its own chunk (TileFailed names a file a worker cannot
    open). The output appears whole or not at all, and the checkpoint is removed once it is
    written. Ctrl-C stops the run with the checkpoint kept. The output is a cloud-optimised
    GeoTIFF (`creation_options` go to GDAL's COG driver) whose band description says what its
    value is and whose tags record the velkan version, every parameter and the inputs' file names.
    """
    settings = settings_from(settings, **parameters)
    table = as_table(reclass)
    if table is not None and table.has_traversal and traversal:
        raise InputError(f"give the traversal either in {table.source} or as a raster ({traversal}), not both")
    with rasterio.Env(**GDAL_CACHE):
        with rasterio.open(condition) as source:
            profile = source.profile
            geographic = bool(source.crs and source.crs.is_geographic) if is_geo is None else is_geo
        shape = (profile["height"], profile["width"])
        call = NativeCall(settings, tuple(profile["transform"])[:6], (0, 0), geographic)
        warn_about_small_tiles(min(settings.tile_size, max(shape)), shape, settings.halo)
        polygons = None if protected_polygons is None else PolygonsByTile(protected_polygons, profile["transform"])
        run = FileRun(absolute(condition), absolute(mask), absolute(traversal),
                      tuple(absolute(p) for p in transition), absolute(protected), polygons is not None, call, shape,
                      absolute(checkpoint_path(output)), table)
        protected_record = dict(source=protected_source, selection=protected_selection)
        record = dict(run_record(run, protected_record if polygons else None), config=config)
        remove_stale_temporaries(output)
        remove_stale_temporaries(run.checkpoint)
        inputs = [entry["path"] for entry in record["inputs"].values()]
        checkpoint = open_checkpoint(run.checkpoint, record, store_arrays(run), inputs, resume, overwrite)
        try:
            found = survey(run, polygons, progress, protected_source)
            if run.transition:
                divisors = band_divisors(settings.transition_scale, found.band_std)
                warn_if_dissimilar(found.band_std, divisors)
                run = dataclasses.replace(run, transition_divisors=tuple(divisors))
            checkpoint.record_digests(found.digests)
            warn_about(run, found)
            computed = compute_and_check(run, found.focal_tiles, client, progress)
            value = value_name(run.transition, settings.pa_to_pa)
            tags = provenance_tags(__version__, {"value": value, **record["parameters"], "config": config},
                                   {role: entry["path"] for role, entry in record["inputs"].items()})
            with cog_beside(output, value, tags, creation_options) as plain:
                count, total = assemble(run, plain, profile)
        except BaseException:
            # A run refused or stopped before its survey finished holds nothing worth keeping.
            checkpoint.release() if checkpoint.started else checkpoint.remove()
            raise
        checkpoint.remove()
        return RunSummary(len(run.tiles()), computed, found.focal_cells, count, total)
