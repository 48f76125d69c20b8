"""`velkan connectivity`: connectivity of GeoTIFF rasters, tile by tile or on a dask cluster."""
import contextlib
import logging
import math
import os
import time

from .checks import PICTURE_EXTENSIONS, RASTER_EXTENSIONS, add_output_options, check_outputs, creation_options
from .config import PARAMETERS_EXPLAINED, add_config_options
from .coverage import add_vector_options
from .errors import InputError, Interrupted
from .options import add_setting_options, settings_from_options

# rasterio, the streamed run, the vector readers and matplotlib load only when the command runs:
# `velkan --help` stays quick.

log = logging.getLogger("velkan_tools")


def scale_hint(error, scale, option):
    """How to bring values that are not fractions into [0, 1], from the span OutOfRange found."""
    if error.low is None or error.low > error.high:
        return ""
    if error.low >= 0 and error.high > 1:
        return f"; divide them with {option} {scale * 10 ** math.ceil(math.log10(error.high)):g}"
    return "; rescale them into [0, 1] first" if error.low < 0 else ""


def check_inputs_match(args):
    """The condition's grid, every other raster checked to share it (metadata only)."""
    from ..rasters import check_same_grid, read_grid

    grid = read_grid(args.condition, "condition", bands=1)
    for path, role in ((args.mask, "mask"), (args.traversal, "traversal")):
        if path:
            check_same_grid(role, path, read_grid(path, role, bands=1), args.condition, grid)
    for path in args.transition:
        check_same_grid("transition grid", path, read_grid(path, "transition grid"), args.condition, grid)
    return grid


def protected_areas(args, grid):
    """(raster path, polygons) of --protected: one of them, or neither."""
    from ..rasters import check_same_grid, is_raster, read_grid
    from ..vectors import read_polygons

    if not args.protected:
        return None, None
    if is_raster(args.protected):
        check_same_grid("--protected raster", args.protected, read_grid(args.protected, "--protected raster",
                                                                        bands=1), args.condition, grid)
        return args.protected, None
    polygons = read_polygons(args.protected, grid.crs, args.layer, args.where)
    if not polygons:
        chosen = " that --layer and --where choose" if args.layer or args.where else ""
        raise InputError(f"--protected {args.protected}: it holds no polygons{chosen}, so no cell would be protected")
    return None, polygons


def resolved_settings(args):
    """The run's parameters with their defaults, by option destination, for --write-config; the
    protected cover only where protected polygons use it."""
    from ..rasters import is_raster

    resolved = settings_from_options(args).record()
    if not args.protected or is_raster(args.protected):
        resolved.pop("protected_cover")
    return resolved


def run_settings(args):
    """The run's settings, checked before any raster is read."""
    from ..rasters import is_raster

    if (args.layer or args.where) and (not args.protected or is_raster(args.protected)):
        raise InputError("--layer and --where select features of a --protected vector file")
    if args.protected_cover is not None and (not args.protected or is_raster(args.protected)):
        raise InputError(f"--protected-cover {args.protected_cover:g} applies to protected polygons; a --protected "
                         "raster's non-zero cells are protected whole")
    return settings_from_options(args)


def check_paths(args):
    inputs = [args.condition] + [p for p in (args.mask, args.protected, args.traversal, args.reclass) if p]
    inputs += args.transition
    outputs = [("-o", args.output, RASTER_EXTENSIONS)] + ([("--plot", args.plot, PICTURE_EXTENSIONS)]
                                                         if args.plot else [])
    check_outputs(outputs, inputs, args.overwrite)


@contextlib.contextmanager
def cluster_client(address):
    """A dask.distributed client of the scheduler at `address`, or None without one."""
    if not address:
        yield None
        return
    from distributed import Client

    try:
        client = Client(address, timeout="10s")
    except (OSError, ValueError) as error:
        raise InputError(f"--scheduler {address}: cannot reach it ({error})") from None
    with client:
        yield client


def form_of(args):
    """What the value of a cell is, by the options that choose it."""
    from ..blocks import value_name

    return value_name(args.transition, args.pa_to_pa)


def kept_tiles(args):
    """What the checkpoint keeps for a resume, in words, or ""."""
    from ..checkpoint import checkpoint_path, finished_tiles

    count = finished_tiles(checkpoint_path(args.output))
    return f"{checkpoint_path(args.output)} keeps {count:,} finished tile{'s' * (count != 1)}" if count else ""


def compute(args, settings, grid, raster, polygons):
    from ..checkpoint import CheckpointError, CheckpointMismatch
    from ..rasters import is_geographic
    from ..streaming import connectivity_from_files
    from ..survey import OutOfRange
    from ..tile_task import TileFailed

    selection = ", ".join(f"{name} {value}" for name, value in (("layer", args.layer), ("where", args.where))
                          if value)
    with cluster_client(args.scheduler) as client:
        try:
            return connectivity_from_files(
                args.condition, args.output, mask=args.mask, traversal=args.traversal, transition=args.transition,
                protected=raster, protected_polygons=polygons,
                protected_source=args.protected if polygons is not None else None, protected_selection=selection,
                is_geo=is_geographic(args.condition, grid), reclass=args.reclass, resume=args.resume,
                overwrite=args.overwrite,
                client=client, progress=False if (args.no_progress or args.quiet) else None,
                creation_options=args.creation_options, config=args.config_text, settings=settings)
        except OutOfRange as error:
            option, scale = f"--{error.role}-scale", getattr(settings, f"{error.role}_scale")
            raise InputError(f"{error}{scale_hint(error, scale, option)}") from None
        except CheckpointMismatch as error:
            raise InputError(f"--resume: {error}; give --overwrite to start again") from None
        except CheckpointError as error:
            raise InputError(f"-o {args.output}: {error}") from None
        except TileFailed as error:
            if client is None:
                raise InputError(f"{error} ({error.where})") from None
            raise InputError(f"{error.where}: {error}; the workers need the same file system as this command, "
                             "with the files at the same paths") from None
        except KeyboardInterrupt:
            kept = kept_tiles(args)
            raise Interrupted(f"{kept}: run the same command with --resume to go on" if kept else "") from None


def run(args):
    settings = run_settings(args)
    args.creation_options = creation_options(args.co)
    check_paths(args)
    if args.pa_to_pa and not (args.mask or args.protected):
        raise InputError("--pa-to-pa needs --protected (or --mask) to say which cells are protected")
    grid = check_inputs_match(args)
    start = time.perf_counter()
    log.info("read condition %s: %s", args.condition, grid.describe())
    raster, polygons = protected_areas(args, grid)
    summary = compute(args, settings, grid, raster, polygons)
    if args.plot:
        from ..maps import plot_map
        from ..rasters import atomic_output, read_preview

        with atomic_output(args.plot) as picture:
            plot_map(picture, read_preview(args.output), grid, f"{form_of(args)} of {os.path.basename(args.condition)}",
                     form_of(args), outlines=polygons)
    log.info("computed and written in %.1f s", time.perf_counter() - start)
    mean = f", mean {summary.value_sum / summary.value_count:.4f}" if summary.value_count else ""
    if not args.quiet:
        print(f"{form_of(args)} of {summary.value_count:,} focal cells{mean}: {args.output}"
              + (f", map {args.plot}" if args.plot else ""))


def add_parser(commands, common):
    parser = commands.add_parser(
        "connectivity", parents=[common], epilog=PARAMETERS_EXPLAINED,
        help="habitat connectivity, KOVA or OLVI of a condition GeoTIFF",
        description="Connectivity of every cell of CONDITION.tif (nodata cells are no focal sources), "
                    "written as a float32 GeoTIFF with NaN as nodata on the same grid. Condition and "
                    "traversal values are fractions in [0, 1], 1 for intact habitat.")
    parser.add_argument("condition", metavar="CONDITION.tif", nargs="?")
    parser.add_argument("-o", "--output", metavar="OUT.tif")
    add_output_options(parser)
    add_config_options(parser)
    parser.add_argument("--resume", action="store_true",
                        help="continue an interrupted run from the finished tiles of its checkpoint")
    parser.add_argument("--mask", metavar="M.tif", help="cells that are no focal sources (non-zero or nodata)")
    parser.add_argument("--protected", metavar="AREAS",
                        help="protected areas: polygons (any vector file), or a raster on the condition's grid "
                             "whose non-zero cells are protected; cells outside them are no focal sources")
    add_vector_options(parser, "of the --protected vector file")
    parser.add_argument("--reclass", metavar="TABLE.csv",
                        help="CONDITION.tif is a land cover of integer classes, mapped by this table (columns "
                             "class,condition[,traversal][,name]; an empty condition makes a class no data)")
    parser.add_argument("--traversal", metavar="T.tif", help="traversal values in [0, 1] for the path weights only")
    parser.add_argument("--transition", nargs="+", default=[], metavar="G.tif",
                        help="transition grids (one band each per variable): computes OLVI")
    add_setting_options(parser)
    parser.add_argument("--scheduler", metavar="URL",
                        help="run on the dask.distributed scheduler at URL: each tile a task that reads and writes "
                             "its own windows (the workers must see the same files)")
    parser.add_argument("--plot", metavar="OUT.png", help="also write a PNG map with a colour bar")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.set_defaults(run=run, kept=kept_tiles, resolved=resolved_settings,
                        required=[("condition", "CONDITION.tif"), ("output", "-o/--output")])
