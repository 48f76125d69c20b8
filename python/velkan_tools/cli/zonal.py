"""`velkan zonal`: per-feature summaries of a raster, weighted by the exact fraction of each cell
that the feature covers."""
from .checks import at_least_one, check_outputs
from .errors import InputError

TABLE_EXTENSIONS = (".gpkg", ".csv")
STATISTICS = ("mean", "min", "max", "stdev", "count", "covered_area", "covered_area_without_data")


def feature_polygons(geometries):
    """Every feature's polygons as velkan's (exterior, [holes]) pairs, a list per feature, taken
    apart for all the features at once."""
    import shapely

    from .vectors import ring_coordinates

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
    import numpy as np
    import shapely

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
    import numpy as np

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
        import numpy as np

        self.raster, self.band = raster, band
        self.rows = max(1, self.STRIP_CELLS // raster.width)
        self.first, self.values = 0, np.empty((0, raster.width), np.float32)

    def window(self, r0, r1, c0, c1):
        import numpy as np

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
    import numpy as np

    import velkan

    from ..grid import shifted_transform

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


def run(args):
    import geopandas
    import pandas
    import rasterio

    from .rasters import atomic_output, crs_name, opened
    from .vectors import read_features

    at_least_one("--band", args.band)
    check_outputs([("-o", args.output, TABLE_EXTENSIONS)], [args.raster, args.polygons], args.overwrite)
    with opened(args.raster, "raster") as raster:
        if raster.crs is None:
            raise InputError(f"raster {args.raster} has no CRS: cannot place the features on it")
        if args.band > raster.count:
            raise InputError(f"--band {args.band}: raster {args.raster} has {raster.count} band(s)")
        frame = read_features(args.polygons, args.layer, args.where, raster.crs)
        with rasterio.Env(GDAL_CACHEMAX=64):
            statistics = pandas.DataFrame(zonal_statistics(raster, frame, args.band), index=frame.index)
    # A statistic whose name an attribute has already is named velkan_<name>.
    table = frame.join(statistics.rename(columns={c: f"velkan_{c}" for c in statistics if c in frame.columns}))
    with atomic_output(args.output) as temporary:
        if args.output.lower().endswith(".csv"):
            pandas.DataFrame(table.drop(columns=table.geometry.name)).to_csv(temporary, index=False)
        else:
            geopandas.GeoDataFrame(table).to_file(temporary, driver="GPKG", layer="zonal")
    if not args.quiet:
        print(f"zonal statistics of {len(frame):,} features on {args.raster} ({crs_name(raster.crs)}): {args.output}")


def add_parser(commands, common):
    from .coverage import add_vector_options

    parser = commands.add_parser(
        "zonal", parents=[common], help="per-feature statistics of a raster, weighted by exact cell coverage",
        description="For each feature of POLYGONS (reprojected to the raster's CRS): the coverage-weighted mean, "
                    "min, max and standard deviation of the raster's cells with data, their covered count, and the "
                    "covered area with and without data (in the raster CRS's units), with the feature's attributes, "
                    "written as a GeoPackage or CSV by the output's extension.")
    parser.add_argument("raster", metavar="RASTER.tif")
    parser.add_argument("polygons", metavar="POLYGONS")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.gpkg|OUT.csv")
    parser.add_argument("--band", type=int, default=1, help="the raster band to summarise (default 1)")
    add_vector_options(parser, "of POLYGONS")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing output")
    parser.set_defaults(run=run)
