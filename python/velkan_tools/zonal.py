"""Zonal statistics: per-feature summaries of a raster, weighted by the exact fraction of each cell
that the feature covers (from `pixel_coverage` over each feature's own window).

The statistics weigh each cell by its covered fraction as exactextract does for its statistics of
the same names, so that a table made here and one made there agree."""
import contextlib
import math
import os
import re
import warnings
from functools import cached_property

import numpy as np
import shapely

import velkan

from .errors import InputError
from .grid import shifted_transform
from .vectors import chosen_layer, present_geometries, read_features, repaired, ring_coordinates

FEATURE_ID = "feature_id"
DEFAULT_STATS = ("mean", "min", "max", "stdev", "count", "covered_area", "covered_area_without_data")


class Cells:
    """The cells one feature covers (cover > 0): the values of those with data, their covered
    fractions as weights, and the covered area of every one, with data or without; `integral`
    for a band of integers."""

    def __init__(self, values, cover, areas, integral=False):
        self.integral = integral
        covered = cover > 0
        values, weights = values[covered], cover[covered].astype(np.float64)
        self.with_data = ~np.isnan(values)
        areas = np.asarray(areas)  # one for all cells (a projected raster), or shaped to the window
        self.covered_areas = weights * (areas if areas.ndim == 0 else np.broadcast_to(areas, cover.shape)[covered])
        self.values, self.weights = values[self.with_data].astype(np.float64), weights[self.with_data]

    @classmethod
    def none(cls):
        """The cells of a feature that misses the raster."""
        return cls(np.empty(0, np.float32), np.empty(0, np.float32), 1.0)

    @cached_property
    def count(self):
        return float(self.weights.sum())

    @cached_property
    def total(self):
        return float(self.weights @ self.values)

    @cached_property
    def distinct(self):
        """The distinct values, ascending, and the weight each has in all: the weighted histogram
        that the median, quantiles, majority and minority are taken from."""
        values, where = np.unique(self.values, return_inverse=True)
        return values, np.bincount(where, weights=self.weights, minlength=len(values))


def count(cells):
    return cells.count


def total(cells):
    return cells.total


def mean(cells):
    return cells.total / cells.count if cells.count > 0 else math.nan


def variance(cells):
    """Of the population the weights describe (divided by their sum, not by the sum less one)."""
    if cells.count <= 0:
        return math.nan
    deviation = cells.values - mean(cells)
    return float(cells.weights @ (deviation * deviation)) / cells.count


def stdev(cells):
    return math.sqrt(variance(cells))


def minimum(cells):
    return float(cells.values.min()) if cells.values.size else math.nan


def maximum(cells):
    return float(cells.values.max()) if cells.values.size else math.nan


def quantile(cells, q):
    """The weighted quantile exactextract takes: distinct values v_1 < ... < v_n of weights w_k
    placed at S_k = (k - 1) w_k + (n - 1) (w_1 + ... + w_(k-1)), and q S_n interpolated linearly
    between them. With equal weights this is the usual linear quantile of the cells' values.
    On a band of integers it is truncated toward zero, as exactextract keeps the band's type."""
    values, weights = cells.distinct
    if not values.size:
        return math.nan
    n = len(values)
    before = np.concatenate(([0.0], np.cumsum(weights)[:-1]))
    positions = np.arange(n) * weights + (n - 1) * before  # increasing: every weight is positive
    target = q * positions[-1]
    k = int(np.searchsorted(positions, target, side="right")) - 1
    if k >= n - 1:
        return float(values[-1])
    step = (target - positions[k]) / (positions[k + 1] - positions[k])
    value = values[k] + step * (values[k + 1] - values[k])
    return float(np.trunc(value) if cells.integral else value)


def median(cells):
    return quantile(cells, 0.5)


def majority(cells):
    """The value of the largest weight; of several equal, the largest value (as exactextract)."""
    values, weights = cells.distinct
    return float(values[len(values) - 1 - np.argmax(weights[::-1])]) if values.size else math.nan


def minority(cells):
    """The value of the smallest weight; of several equal, the smallest value (as exactextract)."""
    values, weights = cells.distinct
    return float(values[np.argmin(weights)]) if values.size else math.nan


def variety(cells):
    return float(len(cells.distinct[0]))


def covered_area(cells):
    return float(cells.covered_areas.sum())


def covered_area_without_data(cells):
    return float(cells.covered_areas[~cells.with_data].sum())


# The statistics by name, each a function of a feature's Cells. "Covered" weighs a cell by the
# fraction of it the feature covers; the cells without data count in the covered areas only.
STATISTICS = {
    "count": count,  # the covered cells with data
    "sum": total,  # of value x cover
    "mean": mean,  # sum / count
    "min": minimum,
    "max": maximum,
    "variance": variance,
    "stdev": stdev,
    "median": median,
    "majority": majority,  # the value covered most
    "minority": minority,  # the value covered least
    "variety": variety,  # how many distinct values are covered
    "covered_area": covered_area,  # in m² on a geographic raster, else in the CRS's units²
    "covered_area_without_data": covered_area_without_data,
}

# Statistics of one numeric argument, written name(argument): (function of Cells and the
# argument, the argument's allowed range, the column's name for an argument).
PARAMETRISED = {
    "quantile": (quantile, (0.0, 1.0), lambda q: f"quantile_{100 * q:.10g}"),
}

CALL = re.compile(r"(\w+)\(([^()]*)\)")


def known_statistics():
    parametrised = [f"{name}(x) with x in [{low:g}, {high:g}]" for name, (_, (low, high), _) in PARAMETRISED.items()]
    return ", ".join(list(STATISTICS) + parametrised)


def statistic_named(name):
    """(column name, function of Cells) of a statistic written as `name`: one of STATISTICS, or
    one of PARAMETRISED with its argument, as in quantile(0.9)."""
    name = name.strip()
    if name in STATISTICS:
        return name, STATISTICS[name]
    call = CALL.fullmatch(name.replace(" ", ""))
    if call is None or call[1] not in PARAMETRISED:
        raise InputError(f"unknown statistic {name!r}; the known ones are {known_statistics()}")
    compute, (low, high), column = PARAMETRISED[call[1]]
    try:
        argument = float(call[2])
    except ValueError:
        argument = math.nan
    if not low <= argument <= high:
        raise InputError(f"statistic {name!r}: give {call[1]}(x) with a number x in [{low:g}, {high:g}]")
    return column(argument), lambda cells: compute(cells, argument)


def chosen_statistics(stats):
    """{column name: function of Cells} of the statistics named, in their order, each once;
    `stats` is a sequence of names or one string of them separated by commas."""
    names = stats.split(",") if isinstance(stats, str) else list(stats)
    chosen = dict(statistic_named(name) for name in names)
    if not chosen:
        raise InputError(f"no statistic chosen; the known ones are {known_statistics()}")
    return chosen


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
    with np.errstate(invalid="ignore"):  # 0 * inf of an empty feature's bounds: NaN, made an empty window below
        cols = [a * x + b * y + c for x, y in zip(xs, ys)]
        rows = [d * x + e * y + f for x, y in zip(xs, ys)]
        r0 = np.clip(np.floor(np.minimum.reduce(rows)), 0, shape[0])
        r1 = np.clip(np.ceil(np.maximum.reduce(rows)), 0, shape[0])
        c0 = np.clip(np.floor(np.minimum.reduce(cols)), 0, shape[1])
        c1 = np.clip(np.ceil(np.maximum.reduce(cols)), 0, shape[1])
    windows = np.nan_to_num(np.stack([r0, r1, c0, c1], axis=1), nan=0).astype(np.int64)
    return windows


def working_dtype(dtype):
    """float32 holds every value of the small types exactly; wider ones are read as float64."""
    return np.float64 if np.dtype(dtype).itemsize > 2 and np.dtype(dtype) != np.float32 else np.float32


class Strips:
    """The raster read in strips of whole rows, so that the features met in row order take their
    windows from memory: one read per strip instead of one per feature. A strip holds at most
    STRIP_CELLS cells, unless one feature's rows alone need more."""

    STRIP_CELLS = 1 << 23  # 32 MiB of float32, 64 of float64

    def __init__(self, raster, band):
        self.raster, self.band = raster, band
        self.dtype = working_dtype(raster.dtypes[band - 1])
        self.integral = np.issubdtype(raster.dtypes[band - 1], np.integer)
        self.rows = max(1, self.STRIP_CELLS // raster.width)
        self.first, self.values = 0, np.empty((0, raster.width), self.dtype)

    def window(self, r0, r1, c0, c1):
        if not (self.first <= r0 and r1 <= self.first + len(self.values)):
            last = min(max(r1, r0 + self.rows), self.raster.height)
            values = self.raster.read(self.band, window=((r0, last), (0, self.raster.width)), out_dtype=self.dtype)
            nodata = self.raster.nodata
            if nodata is not None and not np.isnan(nodata):
                values[values == self.dtype(nodata)] = np.nan
            self.first, self.values = r0, values
        return self.values[r0 - self.first:r1 - self.first, c0:c1]


class CellAreas:
    """The area of the raster's cells: on a projected raster (or one without CRS) the same for
    every cell, in the CRS's units²; on a geographic one geodesic, in m² on the CRS's ellipsoid,
    the same along a row of a north-up raster and so computed once per row, when first needed."""

    # Points per cell side: a side along a parallel is no geodesic, and a cell taken as a polygon
    # of its corners alone would be off by up to 5e-5 of its area for 1° cells; 8 points per side
    # bring that under 1e-6.
    SIDE_POINTS = 8

    def __init__(self, raster):
        self.transform = tuple(raster.transform)[:6]
        a, b, _, d, e, _ = self.transform
        self.geod = None
        if raster.crs is not None and raster.crs.is_geographic:
            from pyproj import CRS

            self.geod = CRS.from_wkt(raster.crs.to_wkt()).get_geod()
        self.planar = abs(a * e - b * d)
        self.north_up = b == 0 and d == 0
        self.rows = np.full(raster.height, np.nan)

    def window(self, r0, r1, c0, c1):
        """The areas of the window's cells, shaped to broadcast over it."""
        if self.geod is None:
            return np.float64(self.planar)
        if self.north_up:
            missing = np.flatnonzero(np.isnan(self.rows[r0:r1])) + r0
            self.rows[missing] = [self.geodesic(r, 0) for r in missing]
            return self.rows[r0:r1, None]
        return np.array([[self.geodesic(r, c) for c in range(c0, c1)] for r in range(r0, r1)])

    def geodesic(self, row, col):
        a, b, c, d, e, f = self.transform
        corners = np.array([(col, row), (col + 1, row), (col + 1, row + 1), (col, row + 1), (col, row)], float)
        steps = np.linspace(0, 1, self.SIDE_POINTS, endpoint=False)
        ring = np.concatenate([start + steps[:, None] * (end - start) for start, end in zip(corners, corners[1:])])
        lons = a * ring[:, 0] + b * ring[:, 1] + c
        lats = np.clip(d * ring[:, 0] + e * ring[:, 1] + f, -90, 90)
        return abs(self.geod.polygon_area_perimeter(lons, lats)[0])


def feature_statistics(raster, frame, band, chosen):
    """The chosen statistics of every feature of `frame` (in the raster's CRS), an array of a row
    per feature and a column per statistic, and which features cover a cell of the raster. Each
    feature's coverage is computed over its own bounding window only, and the raster is read in
    strips of rows, the features taken in row order."""
    transform = tuple(raster.transform)[:6]
    geometries = frame.geometry.values
    windows = feature_windows(geometries, raster.transform, (raster.height, raster.width))
    polygons = feature_polygons(geometries)
    functions = list(chosen.values())
    table = np.empty((len(frame), len(functions)))
    table[:] = [function(Cells.none()) for function in functions]
    reached = np.zeros(len(frame), bool)
    strips, areas = Strips(raster, band), CellAreas(raster)
    for k in np.argsort(windows[:, 0], kind="stable"):
        r0, r1, c0, c1 = (int(v) for v in windows[k])
        if r0 >= r1 or c0 >= c1 or not polygons[k]:
            continue
        cover = velkan.pixel_coverage(polygons[k], shifted_transform(transform, r0, c0), (r1 - r0, c1 - c0),
                                      n_threads=1)
        cells = Cells(strips.window(r0, r1, c0, c1), cover, areas.window(r0, r1, c0, c1), strips.integral)
        table[k] = [function(cells) for function in functions]
        reached[k] = cells.covered_areas.size > 0
    return table, reached


@contextlib.contextmanager
def raster_dataset(raster):
    """An open rasterio dataset as it is, or a path opened for the block."""
    if isinstance(raster, (str, os.PathLike)):
        from .rasters import opened

        with opened(os.fspath(raster), "raster") as source:
            yield source
    else:
        yield raster


def layer_ids(path, layer, where):
    """The layer's feature ids (FIDs) of the features `where` selects, in the order they are read."""
    import pyogrio

    return pyogrio.read_dataframe(path, layer=chosen_layer(path, layer), where=where, read_geometry=False,
                                  columns=[], fid_as_index=True).index


def layer_features(path, crs, layer, where):
    """read_features of the file with the layer's own FIDs as its index (read_features numbers
    its rows from 0, so the FIDs are read again, alone: no geometry nor attribute)."""
    if crs is None:
        raise InputError(f"the raster has no CRS: cannot place the features of {path} on it")
    frame = read_features(path, layer, where, crs)
    ids = layer_ids(path, layer, where)
    if len(ids) != len(frame):
        raise InputError(f"polygons {path}: the layer changed while it was read")
    frame.index = ids
    return frame


def given_features(frame, crs):
    """A GeoDataFrame or GeoSeries given as such, checked as read_features checks a file, with
    its invalid polygons repaired and reprojected to the raster's `crs`."""
    import geopandas

    from .rasters import crs_name

    if isinstance(frame, geopandas.GeoSeries):
        frame = geopandas.GeoDataFrame(geometry=frame)
    if not isinstance(frame, geopandas.GeoDataFrame):
        raise TypeError(f"polygons: give a path, a GeoDataFrame or a GeoSeries, not a {type(frame).__name__}")
    shapes = present_geometries(frame)
    others = shapes[~shapes.geom_type.isin(["Polygon", "MultiPolygon"])]
    if len(others):
        raise InputError(f"{len(others)} of the features are not polygons ({', '.join(sorted(set(others.geom_type)))})")
    if (frame.crs is None) != (crs is None):
        raise InputError(f"the features' CRS is {crs_name(frame.crs)}, the raster's {crs_name(crs)}: cannot "
                         "place one on the other")
    frame = repaired(frame, "(a GeoDataFrame)")
    return frame.to_crs(crs) if crs is not None and len(frame) else frame


def column_name(name, frame):
    """A statistic or the feature id under its name, or velkan_<name> when an attribute has it."""
    return f"velkan_{name}" if name in frame.columns else name


def result_frame(frame, columns, table):
    """The features' id, attributes, statistics and geometry, indexed by the feature ids."""
    import geopandas
    import pandas

    geometry = frame.geometry.name
    result = pandas.DataFrame(frame.drop(columns=geometry)).reset_index(drop=True)
    result.insert(0, column_name(FEATURE_ID, frame), frame.index.to_numpy())
    for j, name in enumerate(columns):
        result[column_name(name, frame)] = table[:, j]
    result[geometry] = frame.geometry.values
    result = geopandas.GeoDataFrame(result, geometry=geometry, crs=frame.crs)
    result.index = frame.index.rename(None)
    return result


def warn_of_misses(frame, reached):
    """One warning counting the features that cover no cell of the raster."""
    missed = int((~reached).sum())
    if missed:
        without = int((frame.geometry.isna() | frame.geometry.is_empty).sum())
        of_them = f" ({without:,} of them without geometry)" if without else ""
        warnings.warn(f"{missed:,} of {len(frame):,} features miss the raster entirely{of_them}: their count is 0 "
                      "and their statistics are empty", UserWarning, stacklevel=3)


def zonal_statistics(raster, polygons, stats=DEFAULT_STATS, *, band=1, layer=None, where=None):
    """Statistics of a raster band per polygon, each cell weighed by the fraction of it the
    polygon covers.

    `raster` is a path rasterio opens or an open rasterio dataset. `polygons` is a path of a
    vector file (its `layer`, the features `where` selects, SQL) or a GeoDataFrame or GeoSeries;
    they are reprojected to the raster's CRS. `stats` names the statistics, a sequence or one
    string separated by commas: any of STATISTICS, or quantile(q) for q in [0, 1]
    (column quantile_<100 q>). Returns a GeoDataFrame indexed by the feature ids (the layer's
    FIDs for a file, the index of a frame given), with a column `feature_id` that holds them, the
    features' attributes, a float column per statistic (velkan_<name> where an attribute has that
    name) and the features' geometry in the raster's CRS. Features that miss the raster have a
    count of 0 and empty statistics, and a warning counts them.

    Example:

        from velkan_tools.zonal import zonal_statistics

        table = zonal_statistics("elevation.tif", "parcels.gpkg", ["mean", "quantile(0.9)", "majority"])
        table[["feature_id", "mean", "quantile_90", "majority"]].head()
    """
    chosen = chosen_statistics(stats)
    with raster_dataset(raster) as source:
        if not 1 <= band <= source.count:
            raise InputError(f"band {band}: the raster has {source.count} band(s)")
        if isinstance(polygons, (str, os.PathLike)):
            frame = layer_features(os.fspath(polygons), source.crs, layer, where)
        elif layer is not None or where is not None:
            raise InputError("layer and where select the features of a file; give a path, or select the rows of "
                             "the GeoDataFrame")
        else:
            frame = given_features(polygons, source.crs)
        table, reached = feature_statistics(source, frame, band, chosen)
    warn_of_misses(frame, reached)
    return result_frame(frame, chosen, table)
