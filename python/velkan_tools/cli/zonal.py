"""`velkan zonal`: per-feature summaries of a raster, weighted by the exact fraction of each cell
that the feature covers."""
import contextlib
import glob
import os
import shutil
import warnings

from .._extras import INSTALL_HINT
from .checks import at_least_one, check_outputs
from .config import PARAMETERS_EXPLAINED, add_config_options
from .errors import InputError

# The OGR driver that writes each vector format, by the output's extension; .parquet and .csv
# have writers of their own (GeoParquet, and a table without geometry). FlatGeobuf's spatial
# index stores the features in an order of its own: the feature_id column says which is which.
DRIVERS = {
    ".gpkg": "GPKG",
    ".shp": "ESRI Shapefile",
    ".geojson": "GeoJSON",
    ".json": "GeoJSON",
    ".geojsonl": "GeoJSONSeq",
    ".fgb": "FlatGeobuf",
    ".sqlite": "SQLite",
}
TABLE_EXTENSIONS = (*DRIVERS, ".parquet", ".csv")
# The files a shapefile is made of, besides its .shp, that a replaced one may have left.
SHAPEFILE_PARTS = (".shx", ".dbf", ".prj", ".cpg", ".qix", ".sbn", ".sbx")


def extension(path):
    return os.path.splitext(path)[1].lower()


def check_writer(path):
    """Refuse, before any work, an output whose writer is missing."""
    if extension(path) == ".parquet":
        try:
            import pyarrow  # noqa: F401
        except ImportError:
            raise InputError(f"-o {path}: GeoParquet needs pyarrow, of the tools extra ({INSTALL_HINT})") from None


def chosen_statistics(text):
    from ..zonal import chosen_statistics

    try:
        return chosen_statistics(text)
    except InputError as error:
        raise InputError(f"--stats {text}: {error}") from None


def write_vectors(table, path, driver):
    """Any format OGR writes; FlatGeobuf's spatial index cannot hold a feature without geometry."""
    options = {}
    if driver == "FlatGeobuf" and (table.geometry.isna() | table.geometry.is_empty).any():
        options["SPATIAL_INDEX"] = "NO"
    if driver != "ESRI Shapefile":  # a shapefile's layer is its file's name
        options["layer"] = "zonal"
    table.to_file(path, driver=driver, index=False, **options)


@contextlib.contextmanager
def shapefile_output(path):
    """A temporary .shp path whose files (a shapefile is several) are written in a folder beside
    `path` and moved out of it when the block succeeds, the .shp last: a .shp found is whole. The
    files of the one replaced go first, so that no index of old features stays beside the new."""
    from ..rasters import raise_as_write_of
    from ..temporaries import remove_stale_temporaries, temporary_name

    remove_stale_temporaries(path)
    folder = temporary_name(path)
    os.mkdir(folder)
    try:
        written = os.path.join(folder, os.path.basename(path))
        yield written
        stem, written_stem = os.path.splitext(path)[0], os.path.splitext(written)[0]
        for part in SHAPEFILE_PARTS:
            with contextlib.suppress(FileNotFoundError):
                os.remove(stem + part)
        parts = sorted(glob.glob(glob.escape(written_stem) + ".*"), key=lambda part: extension(part) == ".shp")
        for part in parts:
            os.replace(part, stem + os.path.splitext(part)[1])
    except OSError as error:
        raise_as_write_of(path, error)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def write_shapefile(table, path):
    """A shapefile, with one warning naming the fields its 10 characters a name cut short."""
    import pyogrio

    with shapefile_output(path) as temporary, warnings.catch_warnings():
        warnings.simplefilter("ignore")  # GDAL's own, a line per field; the one below says it all
        write_vectors(table, temporary, DRIVERS[".shp"])
        written = list(pyogrio.read_info(temporary)["fields"])
    attributes = [column for column in table.columns if column != table.geometry.name]
    renamed = [f"{name} as {field}" for name, field in zip(attributes, written) if name != field]
    if renamed:
        warnings.warn(f"{path}: a shapefile's field names have at most 10 characters; written {', '.join(renamed)}",
                      UserWarning, stacklevel=2)


def write_table(table, path):
    """The table in the output's format, whole or not at all."""
    import pandas

    from ..rasters import atomic_output

    kind = extension(path)
    if kind == ".shp":
        write_shapefile(table, path)
        return
    with atomic_output(path) as temporary:
        if kind == ".csv":
            pandas.DataFrame(table.drop(columns=table.geometry.name)).to_csv(temporary, index=False)
        elif kind == ".parquet":
            table.to_parquet(temporary, index=False)
        else:
            write_vectors(table, temporary, DRIVERS[kind])


def run(args):
    import rasterio

    from ..rasters import crs_name, opened
    from ..zonal import zonal_statistics

    at_least_one("--band", args.band)
    chosen_statistics(args.stats)
    check_outputs([("-o", args.output, TABLE_EXTENSIONS)], [args.raster, args.polygons], args.overwrite)
    check_writer(args.output)
    with opened(args.raster, "raster") as raster:
        if raster.crs is None:
            raise InputError(f"raster {args.raster} has no CRS: cannot place the features on it")
        if args.band > raster.count:
            raise InputError(f"--band {args.band}: raster {args.raster} has {raster.count} band(s)")
        with rasterio.Env(GDAL_CACHEMAX=64):
            table = zonal_statistics(raster, args.polygons, args.stats, band=args.band, layer=args.layer,
                                     where=args.where)
    write_table(table, args.output)
    if not args.quiet:
        print(f"zonal statistics of {len(table):,} features on {args.raster} ({crs_name(raster.crs)}): {args.output}")


def add_parser(commands, common):
    from ..zonal import DEFAULT_STATS, known_statistics
    from .coverage import add_vector_options

    parser = commands.add_parser(
        "zonal", parents=[common], epilog=PARAMETERS_EXPLAINED,
        help="per-feature statistics of a raster, weighted by exact cell coverage",
        description="For each feature of POLYGONS (reprojected to the raster's CRS): statistics of the raster's "
                    "cells it covers, each cell weighed by the fraction of it covered (as exactextract weighs its "
                    "statistics of the same names), with the feature's id (its FID in the layer) and attributes, "
                    "written in the format of the output's extension: "
                    f"{', '.join(DRIVERS)}, .parquet (GeoParquet) or .csv (without geometry). Covered areas are in m² "
                    "on a geographic raster (geodesic, on its ellipsoid) and in the CRS's units² on a projected one.")
    parser.add_argument("raster", metavar="RASTER.tif", nargs="?")
    parser.add_argument("polygons", metavar="POLYGONS", nargs="?")
    parser.add_argument("-o", "--output", metavar="OUT",
                        help="the output, in the format of its extension (.gpkg, .shp, .parquet, .csv, ...)")
    parser.add_argument("--stats", default=",".join(DEFAULT_STATS), metavar="NAME,...",
                        help=f"the statistics, a column each: {known_statistics()}; quantile(0.9) is column "
                             f"quantile_90 (default {','.join(DEFAULT_STATS)})")
    parser.add_argument("--band", type=int, default=1, help="the raster band to summarise (default 1)")
    add_vector_options(parser, "of POLYGONS")
    parser.add_argument("--overwrite", action="store_true", help="replace an existing output")
    add_config_options(parser)
    parser.set_defaults(run=run, required=[("raster", "RASTER.tif"), ("polygons", "POLYGONS"),
                                           ("output", "-o/--output")])
