"""`velkan connectivity`: connectivity of GeoTIFF rasters, tile by tile or on a dask cluster."""
import contextlib
import logging
import math
import sys
import time

import numpy as np

from ..checks import unit_range_problem
from ..grid import check_window_sizes, checked_levels
from ..tiled import DEFAULT_TILE_SIZE, connectivity_tiled, tile_cores
from .checks import (
    PICTURE_EXTENSIONS,
    RASTER_EXTENSIONS,
    at_least_one,
    check_bandwidths,
    check_fraction,
    check_max_cost,
    check_outputs,
    check_scale,
)
from .coverage import add_vector_options, coverage_of
from .errors import InputError
from .plot import plot_map
from .rasters import atomic_output, is_geographic, is_raster, read_matching, read_raster, write_geotiff

log = logging.getLogger("velkan_tools")

# A cell of traversal 0 costs this many times its length: a barrier, ten times as hard to
# cross as intact habitat (traversal 1, weight 1).
DEFAULT_MAX_COST = 10.0
# A cell counts as protected when polygons cover at least half of it.
DEFAULT_PROTECTED_COVER = 0.5


def parse_levels(text):
    """"1,2,4,8": powers of two doubling from 1, as the coarse links need."""
    try:
        levels = [int(v) for v in text.split(",")]
    except ValueError:
        raise InputError(f"--levels {text}: give whole numbers separated by commas, as in 1,2,4,8") from None
    try:
        checked_levels(levels)
    except ValueError as error:
        raise InputError(f"--levels {text}: {error}") from None
    if levels != [2 ** k for k in range(len(levels))]:
        raise InputError(f"--levels {text}: levels must start at 1 and double (1,2,4,...)")
    return levels


def parse_bandwidths(text):
    try:
        lambdas = [float(v) for v in text.split(",")]
    except ValueError:
        raise InputError(f"--lambdas {text}: give numbers separated by commas, as in 2,20,200") from None
    check_bandwidths(lambdas, text)
    return lambdas


def read_fractions(path, role, scale, scale_option, reference=None):
    """A condition or traversal raster divided by `scale`, refused unless its values lie in [0, 1];
    `reference` is the (path, grid) whose grid it must share."""
    values, grid = read_raster(path, role) if reference is None else (read_matching(path, role, *reference),
                                                                       reference[1])
    if scale != 1:
        values = values / np.float32(scale)
    if problem := unit_range_problem(values):
        raise InputError(f"{role} {path}: {problem}{scale_hint(values, scale, scale_option)}")
    return values, grid


def scale_hint(values, scale, option):
    """How to bring values that are not fractions into [0, 1]."""
    finite = values[np.isfinite(values)]
    if not finite.size:
        return ""
    if finite.min() >= 0:
        return f"; divide them with {option} {scale * 10 ** math.ceil(math.log10(finite.max())):g}"
    return "; rescale them into [0, 1] first"


def protected_cells(args, grid):
    """True on protected cells: non-zero cells of a raster on the condition's grid, or cells that
    polygons cover by at least --protected-cover."""
    if is_raster(args.protected):
        values = read_matching(args.protected, "--protected raster", args.condition, grid)
        return np.isfinite(values) & (values != 0)
    cover = coverage_of(args.protected, grid, args.threads, layer=args.layer, where=args.where)
    return cover >= args.protected_cover


def focal_mask(args, condition, grid):
    """True where a cell is no focal source: cells without data, what --mask excludes and, with
    --protected, the cells outside protected areas."""
    if args.pa_to_pa and not (args.mask or args.protected):
        raise InputError("--pa-to-pa needs --protected (or --mask) to say which cells are protected")
    mask = np.isnan(condition)
    if args.mask:
        values = read_matching(args.mask, "mask", args.condition, grid)
        mask |= np.isnan(values) | (values != 0)
    if args.protected:
        mask |= ~protected_cells(args, grid)
    return mask


def run_settings(args):
    """The arguments of the tiled or dask run, checked before any raster is read."""
    try:
        check_window_sizes(args.window_size, args.outer_window, names=("--window-size", "--outer-window"))
    except ValueError as error:
        raise InputError(str(error)) from None
    at_least_one("--tile-size", args.tile_size)
    at_least_one("--threads", args.threads)
    check_max_cost(args.max_cost)
    check_fraction("--protected-cover", args.protected_cover)
    check_scale("--condition-scale", args.condition_scale)
    check_scale("--traversal-scale", args.traversal_scale)
    if (args.layer or args.where) and (not args.protected or is_raster(args.protected)):
        raise InputError("--layer and --where select features of a --protected vector file")
    return dict(levels=parse_levels(args.levels), lambdas=parse_bandwidths(args.lambdas),
                max_cost=args.max_cost, window_size=args.window_size, outer_window=args.outer_window,
                n_threads=args.threads, window_mode=args.window_mode, pa_to_pa=args.pa_to_pa)


def check_paths(args):
    inputs = [args.condition] + [p for p in (args.mask, args.protected, args.traversal) if p] + args.transition
    outputs = [("-o", args.output, RASTER_EXTENSIONS)] + ([("--plot", args.plot, PICTURE_EXTENSIONS)]
                                                         if args.plot else [])
    check_outputs(outputs, inputs, args.overwrite)


def compute(args, settings, inputs):
    condition, mask, traversal, grids = inputs
    tiles = sum(1 for _ in tile_cores(condition.shape, args.tile_size))
    log.info("%s tiles of up to %d x %d cells, %s focal cells", f"{tiles:,}", args.tile_size, args.tile_size,
             f"{np.count_nonzero(~mask):,}")
    show_progress = False if (args.no_progress or args.quiet) else None
    if args.scheduler:
        return compute_on_cluster(args.scheduler, args.tile_size, condition, mask, grids, traversal, settings,
                                  show_progress)
    return connectivity_tiled(condition, mask, grids, traversal=traversal, tile_size=args.tile_size,
                              progress=show_progress, **settings)


def compute_on_cluster(address, chunk, condition, mask, grids, traversal, settings, show_progress):
    """The run as a dask graph on the distributed scheduler at `address`."""
    from distributed import Client, progress

    from ..on_dask import connectivity_dask

    try:
        client = Client(address, timeout="10s")
    except (OSError, ValueError) as error:
        raise InputError(f"--scheduler {address}: cannot reach it ({error})") from None
    with client:
        lazy = connectivity_dask(condition, mask, grids, traversal=traversal, chunk_size=chunk, **settings)
        future = client.compute(lazy)
        if show_progress is not False and sys.stderr.isatty():
            progress(future)
        return future.result()


def read_inputs(args):
    """Every raster of the run, read and checked, and the condition's grid."""
    condition, grid = read_fractions(args.condition, "condition", args.condition_scale, "--condition-scale")
    log.info("read condition %s: %s", args.condition, grid.describe())
    traversal = None
    if args.traversal:
        traversal, _ = read_fractions(args.traversal, "traversal", args.traversal_scale, "--traversal-scale",
                                      reference=(args.condition, grid))
    grids = [read_matching(path, "transition grid", args.condition, grid, bands=None) for path in args.transition]
    return (condition, focal_mask(args, condition, grid), traversal, grids), grid


def form_of(args):
    """What the value of a cell is, by the options that choose it."""
    if args.transition:
        return "OLVI"
    return "KOVA" if args.pa_to_pa else "habitat connectivity"


def run(args):
    settings = run_settings(args)
    check_paths(args)
    start = time.perf_counter()
    inputs, grid = read_inputs(args)
    settings.update(transform=grid.coefficients, is_geo=is_geographic(args.condition, grid))
    with contextlib.ExitStack() as outputs:
        raster = outputs.enter_context(atomic_output(args.output))
        picture = args.plot and outputs.enter_context(atomic_output(args.plot))
        values = compute(args, settings, inputs)
        write_geotiff(raster, values, grid)
        if picture:
            plot_map(picture, values, grid, title=f"{form_of(args)} of {args.condition}", label=form_of(args))
    log.info("computed and written in %.1f s", time.perf_counter() - start)
    finite = values[np.isfinite(values)]
    summary = f", mean {finite.mean():.4f}" if finite.size else ""
    if not args.quiet:
        print(f"{form_of(args)} of {finite.size:,} focal cells{summary}: {args.output}"
              + (f", map {args.plot}" if args.plot else ""))


def add_parser(commands, common):
    parser = commands.add_parser(
        "connectivity", parents=[common], help="habitat connectivity, KOVA or OLVI of a condition GeoTIFF",
        description="Connectivity of every cell of CONDITION.tif (nodata cells are no focal sources), "
                    "written as a float32 GeoTIFF with NaN as nodata on the same grid. Condition and "
                    "traversal values are fractions in [0, 1], 1 for intact habitat.")
    parser.add_argument("condition", metavar="CONDITION.tif")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.tif")
    parser.add_argument("--overwrite", action="store_true", help="replace existing outputs")
    parser.add_argument("--mask", metavar="M.tif", help="cells that are no focal sources (non-zero or nodata)")
    parser.add_argument("--protected", metavar="AREAS",
                        help="protected areas: polygons (any vector file), or a raster on the condition's grid "
                             "whose non-zero cells are protected; cells outside them are no focal sources")
    parser.add_argument("--protected-cover", type=float, default=DEFAULT_PROTECTED_COVER, metavar="F",
                        help="fraction of a cell that polygons must cover to protect it "
                             f"(default {DEFAULT_PROTECTED_COVER:g})")
    add_vector_options(parser, "of the --protected vector file")
    parser.add_argument("--traversal", metavar="T.tif", help="traversal values in [0, 1] for the path weights only")
    parser.add_argument("--transition", nargs="+", default=[], metavar="G.tif",
                        help="transition grids (one band each per variable): computes OLVI")
    parser.add_argument("--condition-scale", type=float, default=1.0, metavar="S",
                        help="divide the condition values by S first (100 for percentages)")
    parser.add_argument("--traversal-scale", type=float, default=1.0, metavar="S",
                        help="divide the traversal values by S first")
    parser.add_argument("--levels", default="1,2,4,8", help="resolution levels (default 1,2,4,8)")
    parser.add_argument("--lambdas", default="2,20,200", help="kernel bandwidths in km (default 2,20,200)")
    parser.add_argument("--max-cost", type=float, default=DEFAULT_MAX_COST, metavar="N",
                        help="path weight of a cell of traversal 0: such a cell costs N times its length, an "
                             f"intact one (traversal 1) once; at least 1 (default {DEFAULT_MAX_COST:g})")
    parser.add_argument("--window-size", type=int, default=3,
                        help="odd window width below the coarsest level (default 3)")
    parser.add_argument("--outer-window", type=int, default=11,
                        help="odd window width at the coarsest level (default 11)")
    parser.add_argument("--window-mode", choices=["circular", "square"], default="circular")
    parser.add_argument("--pa-to-pa", action="store_true", help="KOVA: only protected cells count as destinations")
    parser.add_argument("--threads", type=int, default=None, metavar="N", help="threads per native call (default: all)")
    parser.add_argument("--tile-size", type=int, default=DEFAULT_TILE_SIZE, metavar="N",
                        help=f"tile (or dask chunk) side in cells (default {DEFAULT_TILE_SIZE})")
    parser.add_argument("--scheduler", metavar="URL", help="run on the dask.distributed scheduler at URL")
    parser.add_argument("--plot", metavar="OUT.png", help="also write a PNG map with a colour bar")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.set_defaults(run=run)
