"""Connectivity of raster files of any size: each tile's padded window read from the files, one
native call, the finished tile written into a checkpoint, and the output assembled from it.

Memory is bounded by a tile and its halo, never by the raster. The checkpoint is a Zarr store
beside the output, chunked like the tiles: each tile is one chunk with one writer, so local runs
and cluster workers write their tiles side by side, dask can read it, and it stays on disk for an
interrupted run to resume from. A tile counts as finished once its marker file exists, written
after its chunk, so a tile cut short is computed again. The store records the inputs' identity
and every parameter, and a resume with anything changed is refused. The values are those of one
whole-raster call: bit for bit on projected grids of whole metres, as for `connectivity_tiled`.
"""
import contextlib
import json
import logging
import os
import shutil
import warnings
from dataclasses import dataclass

import numpy as np

import velkan

from . import __version__
from ._extras import require
from .blocks import Block, ConnectivitySettings, block_values, value_name
from .checks import unit_range_problem
from .cog import cog_beside, provenance_tags
from .grid import DEFAULT_TILE_SIZE, shifted_transform
from .tiled import tile_cores

rasterio = require("rasterio", "connectivity_from_files")
zarr = require("zarr", "connectivity_from_files")
tqdm = require("tqdm", "connectivity_from_files").tqdm
Window = rasterio.windows.Window
MaskFlags = rasterio.enums.MaskFlags
# Band masks that say no more than the nodata value does.
SIMPLE_MASKS = ([MaskFlags.all_valid], [MaskFlags.nodata])

log = logging.getLogger("velkan_tools")

CHECKPOINT_SUFFIX = ".checkpoint"
MANIFEST_FORMAT = 1
OUTPUT_BLOCK = 256  # the GeoTIFF's internal tiles, and the windows it is assembled in
# GDAL keeps the blocks it read or wrote in a cache of 5 % of the machine's memory by default:
# on a large raster that cache, not the tiles, would set the run's peak memory.
GDAL_CACHE = dict(GDAL_CACHEMAX=64)  # MB


def checkpoint_path(output):
    """The checkpoint folder of an output: beside it, named after it."""
    return os.fspath(output) + CHECKPOINT_SUFFIX


class OutOfRange(ValueError):
    """Values of `role` (condition, traversal) that must be fractions in [0, 1] and are not; `low`
    and `high` span the finite ones."""

    def __init__(self, message, role, low=None, high=None):
        super().__init__(message)
        self.role, self.low, self.high = role, low, high


class CheckpointMismatch(ValueError):
    """A resume whose inputs or parameters differ from those the checkpoint was made with."""


@dataclass(frozen=True)
class FileRun:
    """What every tile task needs: small and picklable, so that cluster tasks carry paths, not rasters."""

    condition: str
    mask: str | None
    traversal: str | None
    transition: tuple
    protected: str | None  # a raster on the condition's grid whose non-zero cells are protected
    protected_in_store: bool  # protected polygons, rasterised into the checkpoint first
    condition_scale: float
    traversal_scale: float
    settings: ConnectivitySettings
    shape: tuple
    tile_size: int
    checkpoint: str

    @property
    def store(self):
        return os.path.join(self.checkpoint, "tiles.zarr")

    def marker(self, core_rows, core_cols):
        return os.path.join(self.checkpoint, "done", f"{core_rows[0]}-{core_cols[0]}")

    def tiles(self):
        return list(tile_cores(self.shape, self.tile_size))


# ---- one tile: what a task runs ----

def window_of(rows, cols):
    return Window.from_slices(slice(*rows), slice(*cols))


class Readers(contextlib.ExitStack):
    """The run's raster files, each opened once for all the windows read through it."""

    def __init__(self):
        super().__init__()
        self.sources = {}

    def read(self, path, rows, cols, bands=1, scale=1.0):
        """A window as float32 with NaN where there is no data, divided by `scale`: (rows, cols),
        or (rows, cols, bands) for bands=None."""
        if path not in self.sources:
            self.sources[path] = self.enter_context(rasterio.open(path))
        source, window = self.sources[path], window_of(rows, cols)
        indexes = None if bands is None else 1
        if all(flags in SIMPLE_MASKS for flags in source.mask_flag_enums):
            # Faster than a masked read, to the same values: only the nodata value is masked.
            raw = source.read(indexes, window=window)
            data = raw.astype(np.float32)
            if source.nodata is not None and not np.isnan(source.nodata):
                data[raw == source.nodata] = np.nan
        else:
            data = source.read(indexes, window=window, masked=True).astype(np.float32).filled(np.nan)
        if scale != 1:
            data /= np.float32(scale)
        return data if bands == 1 else np.ascontiguousarray(np.moveaxis(data, 0, -1))


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


def compute_tile(run, core_rows, core_cols):
    """Computes one tile from the files into the checkpoint and marks it finished; its focal cells.
    A tile without focal cells is marked finished without a native call."""
    block = Block.around(core_rows, core_cols, run.shape, run.settings.halo)
    with rasterio.Env(**GDAL_CACHE), Readers() as readers:
        condition = readers.read(run.condition, block.rows, block.cols, scale=run.condition_scale)
        mask = window_mask(run, readers, block.rows, block.cols, condition)
        focal = int(np.count_nonzero(~mask[block.core_in_block]))
        if focal:
            traversal = None
            if run.traversal:
                traversal = readers.read(run.traversal, block.rows, block.cols, scale=run.traversal_scale)
            grids = [readers.read(path, block.rows, block.cols, bands=None) for path in run.transition]
    if focal:
        values = block_values(run.settings, block, condition, mask, traversal, grids)
        zarr.open_array(run.store, mode="r+", path="values")[block.core] = values
    with open(run.marker(core_rows, core_cols), "w"):
        pass
    return focal


# ---- the checkpoint ----

def input_identity(path):
    """What tells a file from its next version: its absolute path, size and modification time."""
    status = os.stat(path)
    return {"path": os.path.abspath(path), "size": status.st_size, "mtime_ns": status.st_mtime_ns}


def run_manifest(run, inputs, parameters):
    """The identity of a run, as JSON holds it (so that a stored one compares equal)."""
    manifest = {"format": MANIFEST_FORMAT, "shape": list(run.shape), "tile_size": run.tile_size,
                "inputs": {role: input_identity(path) for role, path in inputs.items()},
                "parameters": parameters}
    return json.loads(json.dumps(manifest))


def first_difference(recorded, wanted):
    """The first thing that differs between two manifests, in words, or None."""
    for role in sorted(set(recorded["inputs"]) | set(wanted["inputs"])):
        old, new = recorded["inputs"].get(role), wanted["inputs"].get(role)
        if old == new:
            continue
        if old is None or new is None or old["path"] != new["path"]:
            return f"its {role} was {old['path'] if old else 'not given'}, now {new['path'] if new else 'not given'}"
        return f"its {role} {new['path']} has changed since"
    for key in sorted(set(recorded["parameters"]) | set(wanted["parameters"])):
        old, new = recorded["parameters"].get(key), wanted["parameters"].get(key)
        if old != new:
            return f"it was made with {key} {old}, not {new}"
    for key in ("shape", "tile_size", "format"):
        if recorded.get(key) != wanted[key]:
            return f"it was made with {key} {recorded.get(key)}, not {wanted[key]}"
    return None


def open_checkpoint(run, manifest, resume):
    """The checkpoint: made anew, or on resume the existing one, refused if it was made otherwise."""
    if resume and os.path.isdir(run.checkpoint):
        try:
            recorded = dict(zarr.open_group(run.store, mode="r").attrs)["manifest"]
        except (OSError, KeyError, ValueError) as error:
            raise CheckpointMismatch(f"cannot resume {run.checkpoint}: it cannot be read ({error})") from None
        if difference := first_difference(recorded, manifest):
            raise CheckpointMismatch(f"cannot resume {run.checkpoint}: {difference}")
        log.info("resuming %s", run.checkpoint)
        return
    if os.path.exists(run.checkpoint):
        raise FileExistsError(f"checkpoint {run.checkpoint} holds an interrupted run")
    os.makedirs(os.path.join(run.checkpoint, "done"))
    group = zarr.open_group(run.store, mode="w")
    chunks = (run.tile_size, run.tile_size)
    group.create_array("values", shape=run.shape, chunks=chunks, dtype="float32", fill_value=np.nan)
    if run.protected_in_store:
        group.create_array("protected", shape=run.shape, chunks=chunks, dtype="uint8", fill_value=0)
    group.attrs["manifest"] = manifest


# ---- before any tile: the survey of the inputs ----

@dataclass
class Survey:
    """What one streamed pass over the tiles' cores found."""

    focal_tiles: list  # (rows, cols, focal cells) of every tile that has some
    focal_cells: int = 0
    traversal_missing: int = 0
    protected_cells: int = 0


class RangeOf:
    """The finite span and any infinity of a raster's values, tile by tile."""

    def __init__(self):
        self.low, self.high, self.infinite = np.inf, -np.inf, False

    def add(self, values):
        self.infinite |= bool(np.isinf(values).any())
        finite = values[np.isfinite(values)]
        if finite.size:
            self.low, self.high = min(self.low, float(finite.min())), max(self.high, float(finite.max()))

    def check(self, role, path):
        span = np.array([self.low, self.high] if self.low <= self.high else [], float)
        problem = unit_range_problem(np.append(span, np.inf) if self.infinite else span)
        if problem:
            raise OutOfRange(f"{role} {path}: {problem}", role, self.low, self.high)


class PolygonsByTile:
    """Protected polygons in world coordinates, each tile given those whose bounding box meets it."""

    def __init__(self, polygons, transform):
        self.transform = tuple(transform)[:6]
        boxes = [(ring[:, 0].min(), ring[:, 1].min(), ring[:, 0].max(), ring[:, 1].max())
                 for ring, _ in polygons if len(ring)]
        self.boxes = np.array(boxes, float).reshape(-1, 4)
        self.kept = [p for p in polygons if len(p[0])]

    def cover(self, rows, cols):
        t = shifted_transform(self.transform, rows[0], cols[0])
        shape = (rows[1] - rows[0], cols[1] - cols[0])
        a, b, c, d, e, f = t
        xs = [c + a * x + b * y for x in (0, shape[1]) for y in (0, shape[0])]
        ys = [f + d * x + e * y for x in (0, shape[1]) for y in (0, shape[0])]
        meets = ((self.boxes[:, 0] <= max(xs)) & (self.boxes[:, 2] >= min(xs)) &
                 (self.boxes[:, 1] <= max(ys)) & (self.boxes[:, 3] >= min(ys)))
        chosen = [self.kept[k] for k in np.flatnonzero(meets)]
        return velkan.pixel_coverage(chosen, t, shape)


class Surveyor:
    """One streamed pass over every tile's core, before any computation: the value ranges of the
    condition and the traversal, the tiles holding focal cells, and the protected polygons
    rasterised into the checkpoint."""

    def __init__(self, run, polygons, protected_cover):
        self.run, self.polygons, self.protected_cover = run, polygons, protected_cover
        self.protected = zarr.open_array(run.store, mode="r+", path="protected") if run.protected_in_store else None
        self.found = Survey(focal_tiles=[])
        self.condition_range, self.traversal_range = RangeOf(), RangeOf()

    def tile(self, readers, rows, cols):
        run, found = self.run, self.found
        condition = readers.read(run.condition, rows, cols, scale=run.condition_scale)
        self.condition_range.add(condition)
        if run.traversal:
            traversal = readers.read(run.traversal, rows, cols, scale=run.traversal_scale)
            self.traversal_range.add(traversal)
            found.traversal_missing += int(np.count_nonzero(np.isnan(traversal)))
        if self.protected is not None:
            cells = self.polygons.cover(rows, cols) >= self.protected_cover
            self.protected[slice(*rows), slice(*cols)] = cells
            found.protected_cells += int(np.count_nonzero(cells))
        focal = int(np.count_nonzero(~window_mask(run, readers, rows, cols, condition)))
        if focal:
            found.focal_tiles.append((rows, cols, focal))
            found.focal_cells += focal

    def finish(self):
        """The survey, once the values were found within range (OutOfRange otherwise)."""
        self.condition_range.check("condition", self.run.condition)
        if self.run.traversal:
            self.traversal_range.check("traversal", self.run.traversal)
        return self.found


def survey(run, polygons, protected_cover, progress):
    surveyor = Surveyor(run, polygons, protected_cover)
    tiles = tqdm(run.tiles(), disable=bar_hidden(progress), unit="tile", desc="reading", dynamic_ncols=True)
    with Readers() as readers:
        for rows, cols in tiles:
            surveyor.tile(readers, rows, cols)
    return surveyor.finish()


# ---- after the tiles: the output ----

def output_profile(source_profile):
    """The plain tiled GeoTIFF the COG is made from."""
    return dict(driver="GTiff", height=source_profile["height"], width=source_profile["width"], count=1,
                dtype="float32", crs=source_profile["crs"], transform=source_profile["transform"], nodata=np.nan,
                tiled=True, blockxsize=OUTPUT_BLOCK, blockysize=OUTPUT_BLOCK, compress="deflate", predictor=3,
                BIGTIFF="IF_SAFER")


def assemble(run, path, profile):
    """Writes the checkpoint's values into a GeoTIFF at `path`, one output block at a time; the
    count and the float64 sum of the finite values."""
    values = zarr.open_array(run.store, mode="r", path="values")
    count, total = 0, 0.0
    with rasterio.open(path, "w", **output_profile(profile)) as target:
        for rows, cols in tile_cores(run.shape, OUTPUT_BLOCK):
            block = values[slice(*rows), slice(*cols)]
            target.write(block, 1, window=window_of(rows, cols))
            finite = block[np.isfinite(block)]
            count, total = count + finite.size, total + float(finite.sum(dtype=np.float64))
    return count, total


# ---- the run ----

def run_record(run, protected):
    """The manifest of a run: its inputs' identity and every parameter that shapes its values;
    `protected` describes protected polygons (their file, selection and cover), if any."""
    inputs = {"condition": run.condition, "mask": run.mask, "traversal": run.traversal, "protected": run.protected,
              **{f"transition grid {k}": path for k, path in enumerate(run.transition)}}
    if protected and protected["source"]:
        inputs["protected polygons"] = os.fspath(protected["source"])
    s = run.settings
    parameters = dict(levels=list(s.levels), lambdas=list(s.lambdas), max_cost=s.max_cost, window_size=s.window_size,
                      outer_window=s.outer_window, window_mode=s.window_mode, pa_to_pa=s.pa_to_pa, is_geo=s.is_geo,
                      condition_scale=run.condition_scale, traversal_scale=run.traversal_scale,
                      protected_selection=protected and protected["selection"],
                      protected_cover=protected and protected["cover"])
    return run_manifest(run, {role: path for role, path in inputs.items() if path}, parameters)


def warn_about(run, found, polygons_source):
    """Warnings for runs that may not mean what they say; `polygons_source` names protected polygons."""
    if run.traversal and found.traversal_missing:
        warnings.warn(f"traversal has {found.traversal_missing:,} cells without data; their condition stands in "
                      "for traversal there", UserWarning, stacklevel=3)
    if run.protected_in_store and not found.protected_cells:
        warnings.warn(f"protected polygons {polygons_source or ''}: none reaches the raster's {run.shape[0]} x "
                      f"{run.shape[1]} cells; no cell is protected", UserWarning, stacklevel=3)
    if not found.focal_cells:
        warnings.warn("no focal cell: the mask excludes every cell, so every value is NaN", UserWarning, stacklevel=3)


@dataclass
class RunSummary:
    tiles: int
    computed_tiles: int  # tiles with focal cells run now (not finished before a resume)
    focal_cells: int
    value_count: int
    value_sum: float


def bar_hidden(progress):
    """tqdm's `disable`: None shows the bar when stderr is a terminal."""
    return None if progress is None else not progress


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
        for future in as_completed(futures):
            bar.update(future.result())


def connectivity_from_files(condition, output, *, levels, lambdas, max_cost, window_size, outer_window,
                            mask=None, traversal=None, transition=(), protected=None, protected_polygons=None,
                            protected_cover=0.5, protected_source=None, protected_selection="",
                            condition_scale=1.0, traversal_scale=1.0,
                            is_geo=None, window_mode="circular", pa_to_pa=False, n_threads=None,
                            tile_size=DEFAULT_TILE_SIZE, resume=False, client=None, progress=None,
                            creation_options=None):
    """Connectivity of the raster file `condition`, streamed tile by tile into the GeoTIFF `output`.

    Rasters are file paths on the condition's grid: `mask` (non-zero or nodata cells are no focal
    sources), `traversal`, `transition` (one multi-band file per grid) and `protected` (non-zero
    cells protected). Protected areas may come as `protected_polygons` instead ((exterior, holes)
    pairs in the raster's CRS), a cell being protected when they cover at least `protected_cover`
    of it; `protected_source` (a file) and `protected_selection` (how its features were chosen) say
    where they came from, for the checkpoint's record. With
    protected areas, cells outside them are no focal sources. Condition and traversal values are
    divided by their scale and must then lie in [0, 1] (OutOfRange otherwise, before any
    computation). `is_geo` None follows the condition's CRS.

    Finished tiles go into the checkpoint beside the output (`checkpoint_path(output)`); with
    `resume` an existing checkpoint is continued (CheckpointMismatch if its inputs or parameters
    differ), without it an existing one is a FileExistsError. With a dask.distributed `client`,
    each tile is a task that reads its own windows and writes its own chunk. The output appears
    whole or not at all, and the checkpoint is removed once it is written. Ctrl-C stops the run
    with the checkpoint kept. The output is a cloud-optimised GeoTIFF (`creation_options` go to
    GDAL's COG driver) whose band description says what its value is and whose tags record the
    velkan version, every parameter and the inputs' file names.
    """
    with rasterio.Env(**GDAL_CACHE):
        with rasterio.open(condition) as source:
            profile = source.profile
            geographic = bool(source.crs and source.crs.is_geographic) if is_geo is None else is_geo
        if tile_size < 1:
            raise ValueError(f"tile_size must be at least 1, not {tile_size}")
        settings = ConnectivitySettings.from_arguments(tuple(profile["transform"])[:6], levels, lambdas, geographic,
                                                       max_cost, window_size, outer_window, (0, 0), n_threads,
                                                       window_mode, pa_to_pa)
        polygons = None if protected_polygons is None else PolygonsByTile(protected_polygons, profile["transform"])
        run = FileRun(os.fspath(condition), mask and os.fspath(mask), traversal and os.fspath(traversal),
                      tuple(os.fspath(p) for p in transition), protected and os.fspath(protected),
                      polygons is not None, float(condition_scale), float(traversal_scale), settings,
                      (profile["height"], profile["width"]), int(tile_size), checkpoint_path(output))
        protected_record = dict(source=protected_source, selection=protected_selection, cover=protected_cover)
        record = run_record(run, protected_record if polygons else None)
        open_checkpoint(run, record, resume)
        found = survey(run, polygons, protected_cover, progress)
        warn_about(run, found, protected_source if polygons else None)
        pending = [tile for tile in found.focal_tiles if not os.path.exists(run.marker(tile[0], tile[1]))]
        log.info("%s tiles of up to %d x %d cells, %s focal cells; %d tiles to compute", f"{len(run.tiles()):,}",
                 tile_size, tile_size, f"{found.focal_cells:,}", len(pending))
        run_tiles(run, pending, client, progress)
        value = value_name(run.transition, run.settings.pa_to_pa)
        tags = provenance_tags(__version__, {"value": value, **record["parameters"]},
                               {role: entry["path"] for role, entry in record["inputs"].items()})
        with cog_beside(output, value, tags, creation_options) as plain:
            count, total = assemble(run, plain, profile)
        shutil.rmtree(run.checkpoint)
        return RunSummary(len(run.tiles()), len(pending), found.focal_cells, count, total)
