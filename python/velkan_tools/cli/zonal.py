"""`velkan zonal`: per-feature summaries of a raster, weighted by the exact fraction of each cell
that the feature covers."""
from .checks import at_least_one, check_outputs
from .errors import InputError

TABLE_EXTENSIONS = (".gpkg", ".csv")
def run(args):
    import geopandas
    import pandas
    import rasterio

    from ..rasters import atomic_output, crs_name, opened
    from ..vectors import read_features
    from ..zonal import zonal_statistics

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
