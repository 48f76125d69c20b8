"""Zonal statistics: per-feature summaries of a raster, weighted by the exact fraction of each cell
that the feature covers (from `pixel_coverage` over each feature's own window)."""
import numpy as np
import shapely

import velkan

from .grid import shifted_transform
from .vectors import ring_coordinates

STATISTICS = ("mean", "min", "max", "stdev", "count", "covered_area", "covered_area_without_data")


def feature_polygons(geometries):
    """Every feature's polygons as velkan's (exterior, [holes]) pairs, a list per feature, taken
    apart for all the features at once."""

    polygons = [[] for _ in geometries]
    parts, owner = shapely.get_parts(geometries, return_index=True)
    kept = shapely.get_type_id(parts) == shapely.GeometryType.POLYGON
    parts, owner = parts[kept], owner[kept]
    holes = shapely.get_num_interior_rings(parts)
    rings = [shapely.get_exterior_ring(parts)]
    rings += [shapely.get_interior_ring(parts, k) for k in range(holes.max(initial=0))]
    # Ring j of part p: rings[j][p], present for j <= holes[p].
    for p, (feature, count) in enumerate(zip(owner, holes)):
        ring_arrays = [ring_coordinates(rings[j][p]) for j in range(count + 1)]
        polygons[feature].append((ring_arrays[0], ring_arrays[1:]))
    return polygons


def feature_windows(geometries, transform, shape):
    """(r0, r1, c0, c1) of the raster cells each feature's bounding box meets, for all features
    at once; empty (r0 >= r1) for an empty feature or one outside the raster."""
    west, south, east, north = np.nan_to_num(shapely.bounds(geometries), nan=np.inf).T
    a, b, c, d, e, f = tuple(~transform)[:6]
    xs, ys = (west, west, east, east), (south, north, south, north)
    cols = [a * x + b * y + c for x, y in zip(xs, ys)]
    rows = [d * x + e * y + f for x, y in zip(xs, ys)]
    with np.errstate(invalid="ignore"):
        r0 = np.clip(np.floor(np.minimum.reduce(rows)), 0, shape[0])
        r1 = np.clip(np.ceil(np.maximum.reduce(rows)), 0, shape[0])
        c0 = np.clip(np.floor(np.minimum.reduce(cols)), 0, shape[1])
        c1 = np.clip(np.ceil(np.maximum.reduce(cols)), 0, shape[1])
    windows = np.nan_to_num(np.stack([r0, r1, c0, c1], axis=1), nan=0).astype(np.int64)
    return windows


def summarise(values, cover, cell_area):
    """The statistics of one feature from its window's values (NaN without data) and coverage."""
    covered = cover > 0
    weights, picked = cover[covered].astype(np.float64), values[covered].astype(np.float64)
    with_data = ~np.isnan(picked)
    weights_with_data, picked = weights[with_data], picked[with_data]
    count = float(weights_with_data.sum())
    out = dict.fromkeys(STATISTICS, float("nan"))
    out.update(count=count, covered_area=float(weights.sum()) * cell_area,
               covered_area_without_data=float(weights[~with_data].sum()) * cell_area)
    if count > 0:
        mean = float(weights_with_data @ picked) / count
        deviation = picked - mean
        out.update(mean=mean, min=float(picked.min()), max=float(picked.max()),
                   stdev=float(np.sqrt(weights_with_data @ (deviation * deviation) / count)))
    return out


class Strips:
    """The raster read in strips of whole rows, so that the features met in row order take their
    windows from memory: one read per strip instead of one per feature. A strip holds at most
    STRIP_CELLS cells, unless one feature's rows alone need more."""

    STRIP_CELLS = 1 << 23  # 32 MiB of float32

    def __init__(self, raster, band):
        self.raster, self.band = raster, band
        self.rows = max(1, self.STRIP_CELLS // raster.width)
        self.first, self.values = 0, np.empty((0, raster.width), np.float32)

    def window(self, r0, r1, c0, c1):
        if not (self.first <= r0 and r1 <= self.first + len(self.values)):
            last = min(max(r1, r0 + self.rows), self.raster.height)
            values = self.raster.read(self.band, window=((r0, last), (0, self.raster.width)), out_dtype=np.float32)
            nodata = self.raster.nodata
            if nodata is not None and not np.isnan(nodata):
                values[values == np.float32(nodata)] = np.nan
            self.first, self.values = r0, values
        return self.values[r0 - self.first:r1 - self.first, c0:c1]


def zonal_statistics(raster, frame, band=1):
    """A row of statistics per feature of `frame` (already in the raster's CRS): each feature's
    coverage is computed over its own bounding window only, and the raster is read in strips of
    rows, the features taken in row order."""



    transform = tuple(raster.transform)[:6]
    cell_area = abs(transform[0] * transform[4] - transform[1] * transform[3])
    geometries = frame.geometry.values
    windows = feature_windows(geometries, raster.transform, (raster.height, raster.width))
    polygons = feature_polygons(geometries)
    rows_out = [summarise(np.empty(0, np.float32), np.empty(0, np.float32), cell_area)] * len(windows)
    strips = Strips(raster, band)
    for k in np.argsort(windows[:, 0], kind="stable"):
        r0, r1, c0, c1 = (int(v) for v in windows[k])
        if r0 >= r1 or c0 >= c1 or not polygons[k]:
            continue
        cover = velkan.pixel_coverage(polygons[k], shifted_transform(transform, r0, c0), (r1 - r0, c1 - c0),
                                      n_threads=1)
        rows_out[k] = summarise(strips.window(r0, r1, c0, c1), cover, cell_area)
    return rows_out
