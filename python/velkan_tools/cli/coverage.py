"""`velkan coverage`: the exact fraction of each raster cell that a vector file's polygons cover."""
from .checks import RASTER_EXTENSIONS, add_output_options, at_least_one, check_outputs, creation_options
from .config import PARAMETERS_EXPLAINED, add_config_options
from .errors import InputError


def add_vector_options(parser, of):
    parser.add_argument("--layer", metavar="NAME", help=f"the layer {of} to read (needed when it has several)")
    parser.add_argument("--where", metavar="SQL", help=f"an SQL condition selecting the features {of}")


def run(args):
    from .. import __version__
    from ..cog import provenance_tags
    from ..rasters import read_grid, save_cog
    from ..vectors import coverage_of

    at_least_one("--threads", args.threads)
    options = creation_options(args.co)
    check_outputs([("-o", args.output, RASTER_EXTENSIONS)], [args.polygons, args.like], args.overwrite)
    grid = read_grid(args.like, "--like raster")
    if grid.crs is None:
        raise InputError(f"--like raster {args.like} has no CRS: cannot reproject polygons onto it")
    cover = coverage_of(args.polygons, grid, args.threads, layer=args.layer, where=args.where)
    tags = provenance_tags(__version__, {"value": "covered fraction", "layer": args.layer, "where": args.where,
                                         "config": args.config_text},
                           {"polygons": args.polygons, "like": args.like})
    save_cog(args.output, cover, grid, "covered fraction", tags, options, nodata=None)
    if not args.quiet:
        print(f"coverage of {args.polygons} on {grid.describe()}: {args.output}")


def add_parser(commands, common):
    parser = commands.add_parser("coverage", parents=[common], epilog=PARAMETERS_EXPLAINED,
                                 help="rasterise polygons into the fraction of each cell they cover",
                                 description="Fraction of each cell of --like's grid covered by the polygons "
                                             "(any vector file geopandas reads), reprojected to its CRS and unioned.")
    parser.add_argument("polygons", metavar="POLYGONS", nargs="?")
    parser.add_argument("-o", "--output", metavar="OUT.tif")
    add_output_options(parser)
    add_config_options(parser)
    parser.add_argument("--like", metavar="RASTER.tif", help="the raster whose grid to cover")
    add_vector_options(parser, "of POLYGONS")
    parser.add_argument("--threads", type=int, default=None, metavar="N")
    parser.set_defaults(run=run, required=[("polygons", "POLYGONS"), ("output", "-o/--output"), ("like", "--like")])
