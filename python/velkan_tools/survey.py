"""The survey of a streamed run: one pass over every tile's core before any computation, which
finds the value ranges of the condition and the traversal and the tiles holding focal cells,
rasterises protected polygons into the checkpoint, and takes every input's content digest."""
import warnings
from dataclasses import dataclass, field

import numpy as np

import velkan

from ._extras import require
from .checkpoint import Digests
from .checks import unit_range_problem
from .errors import InputError
from .grid import shifted_transform
from .reclass import unmapped_refusal
from .tile_task import Readers, read_condition, window_mask
from .transition import BandMoments

zarr = require("zarr", "connectivity_from_files")
tqdm = require("tqdm", "connectivity_from_files").tqdm

POLYGONS = "protected polygons"


class OutOfRange(InputError):
    """Values of `role` (condition, traversal) that must be fractions in [0, 1] and are not; `low`
    and `high` span the finite ones."""

    def __init__(self, message, role, low=None, high=None):
        super().__init__(message)
        self.role, self.low, self.high = role, low, high


@dataclass
class Survey:
    """What one streamed pass over the tiles' cores found."""

    focal_tiles: list  # (rows, cols, focal cells) of every tile that has some
    digests: dict  # {role: content digest} of every input
    focal_cells: int = 0
    traversal_missing: int = 0
    protected_cells: int = 0
    unmapped: dict = field(default_factory=dict)  # {class: cells} of land cover missing from the reclass table
    band_std: list = field(default_factory=list)  # per transition grid, each band's standard deviation


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

    def feed(self, digests, role):
        """Feeds every ring's coordinates to the digest of `role`."""
        for exterior, holes in self.kept:
            for ring in [exterior, *holes]:
                digests.add(role, np.asarray(ring, np.float64))

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
    """The survey's state while it passes over the tiles."""

    def __init__(self, run, polygons, digests):
        self.run, self.polygons, self.digests = run, polygons, digests
        self.protected = zarr.open_array(run.store, mode="r+", path="protected") if run.protected_in_store else None
        self.found = Survey(focal_tiles=[], digests={})
        self.condition_range, self.traversal_range = RangeOf(), RangeOf()
        self.band_moments = [BandMoments() for _ in run.transition]

    def tile(self, readers, rows, cols):
        run, found = self.run, self.found
        condition, traversal, classes = read_condition(run, readers, rows, cols)
        self.condition_range.add(condition)
        if traversal is not None:
            self.traversal_range.add(traversal)
            found.traversal_missing += int(np.count_nonzero(np.isnan(traversal)))
        if classes is not None:
            for value, cells in run.reclass.unmapped(*classes).items():
                found.unmapped[value] = found.unmapped.get(value, 0) + cells
        for path, moments in zip(run.transition, self.band_moments):
            moments.add(readers.read(path, rows, cols, bands=None))
        if self.protected is not None:
            cells = self.polygons.cover(rows, cols) >= run.settings.protected_cover
            self.protected[slice(*rows), slice(*cols)] = cells
            found.protected_cells += int(np.count_nonzero(cells))
        focal = int(np.count_nonzero(~window_mask(run, readers, rows, cols, condition)))
        if focal:
            found.focal_tiles.append((rows, cols, focal))
            found.focal_cells += focal

    def finish(self, polygons_source):
        """The survey, once the values were found within range (OutOfRange otherwise) and protected
        polygons were found to protect some cell (InputError otherwise: every value would be NaN)."""
        if self.found.unmapped:
            raise unmapped_refusal(self.run.condition, self.run.reclass, self.found.unmapped)
        self.condition_range.check("condition", self.run.condition)
        if self.run.traversal or (self.run.reclass and self.run.reclass.has_traversal):
            self.traversal_range.check("traversal", self.run.traversal or self.run.reclass.source)
        if self.protected is not None and not self.found.protected_cells:
            cover = self.run.settings.protected_cover
            raise InputError(f"protected polygons {polygons_source or ''}: none covers {cover:g} of any cell of the "
                             f"raster's {self.run.shape[0]} x {self.run.shape[1]} cells, so no cell would be "
                             "protected and every value would be NaN")
        self.found.digests = self.digests.hexdigests()
        self.found.band_std = [moments.std() for moments in self.band_moments]
        return self.found


def survey(run, polygons, progress, polygons_source=None):
    """The survey of the run's inputs; `polygons` a PolygonsByTile of protected polygons (from the
    file `polygons_source`), or None."""
    roles = {path: role for role, path in run.rasters().items()}
    digests = Digests(list(roles.values()) + ([POLYGONS] if polygons else []))
    if polygons:
        polygons.feed(digests, POLYGONS)
    surveyor = Surveyor(run, polygons, digests)
    tiles = tqdm(run.tiles(), disable=bar_hidden(progress), unit="tile", desc="reading", dynamic_ncols=True)
    with Readers(roles, digests) as readers:
        for rows, cols in tiles:
            surveyor.tile(readers, rows, cols)
    return surveyor.finish(polygons_source)


def bar_hidden(progress):
    """tqdm's `disable`: None shows the bar when stderr is a terminal."""
    return None if progress is None else not progress


def warn_about(run, found):
    """Warnings for runs that may not mean what they say."""
    if found.traversal_missing:
        warnings.warn(f"traversal has {found.traversal_missing:,} cells without data; their condition stands in "
                      "for traversal there", UserWarning, stacklevel=3)
    if not found.focal_cells:
        warnings.warn("no focal cell: the mask excludes every cell, so every value is NaN", UserWarning, stacklevel=3)
