"""`velkan connectivity`: connectivity of GeoTIFF rasters, tile by tile or on a dask cluster."""
import contextlib
import sys

import numpy as np

from ..grid import check_window_sizes
from ..tiled import DEFAULT_TILE_SIZE, connectivity_tiled
from .coverage import coverage_of
from .errors import InputError
from .plot import plot_map
from .rasters import atomic_output, is_geographic, read_matching, read_raster, write_geotiff

# A cell counts as protected when polygons cover at least half of it.
PROTECTED_COVER = 0.5


def parse_levels(text):
    """"1,2,4,8": powers of two doubling from 1, as the coarse links need."""
    try:
        levels = [int(v) for v in text.split(",")]
    except ValueError:
        raise InputError(f"--levels {text}: give whole numbers separated by commas, as in 1,2,4,8") from None
    for level in levels:
        if level < 1 or level & (level - 1):
            raise InputError(f"--levels {text}: {level} is not a power of two")
    if levels != [2 ** k for k in range(len(levels))]:
        raise InputError(f"--levels {text}: levels must start at 1 and double (1,2,4,...)")
    return levels


def parse_numbers(text, option):
    try:
        return [float(v) for v in text.split(",")]
    except ValueError:
        raise InputError(f"{option} {text}: give numbers separated by commas, as in 2,20,200") from None


def focal_mask(args, condition, grid):
    """True where a cell is no focal source: cells without data, and what --mask or --protected exclude."""
    if args.mask and args.protected:
        raise InputError("give --mask or --protected, not both")
    if args.pa_to_pa and not (args.mask or args.protected):
        raise InputError("--pa-to-pa needs --mask or --protected to say which cells are protected")
    mask = np.isnan(condition)
    if args.mask:
        values = read_matching(args.mask, "mask", args.condition, grid)
        mask |= np.isnan(values) | (values != 0)
    if args.protected:
        mask |= coverage_of(args.protected, grid, args.threads) < PROTECTED_COVER
    return mask


def run_settings(args):
    """The arguments of the tiled or dask run, checked before any raster is read."""
    try:
        check_window_sizes(args.window_size, args.outer_window, names=("--window-size", "--outer-window"))
    except ValueError as error:
        raise InputError(str(error)) from None
    for option, value in (("--tile-size", args.tile_size), ("--threads", args.threads)):
        if value is not None and value < 1:
            raise InputError(f"{option} must be at least 1, not {value}")
    return dict(levels=parse_levels(args.levels), lambdas=parse_numbers(args.lambdas, "--lambdas"),
                max_cost=args.max_cost, window_size=args.window_size, outer_window=args.outer_window,
                n_threads=args.threads, window_mode=args.window_mode, pa_to_pa=args.pa_to_pa)


def compute(args, settings, inputs):
    condition, mask, traversal, grids = inputs
    if args.scheduler:
        return compute_on_cluster(args.scheduler, args.tile_size, condition, mask, grids, traversal, settings)
    return connectivity_tiled(condition, mask, grids, traversal=traversal, tile_size=args.tile_size,
                              progress=False if args.no_progress else None, **settings)


def compute_on_cluster(address, chunk, condition, mask, grids, traversal, settings):
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
        if sys.stderr.isatty():
            progress(future)
        return future.result()


def run(args):
    settings = run_settings(args)
    condition, grid = read_raster(args.condition, "condition")
    settings.update(transform=grid.coefficients, is_geo=is_geographic(args.condition, grid))
    traversal = read_matching(args.traversal, "traversal", args.condition, grid) if args.traversal else None
    grids = [read_matching(path, "transition grid", args.condition, grid, bands=None) for path in args.transition]
    inputs = (condition, focal_mask(args, condition, grid), traversal, grids)
    with contextlib.ExitStack() as outputs:
        raster = outputs.enter_context(atomic_output(args.output))
        picture = args.plot and outputs.enter_context(atomic_output(args.plot))
        values = compute(args, settings, inputs)
        write_geotiff(raster, values, grid)
        if picture:
            plot_map(picture, values, grid, title=f"{'KOVA' if args.pa_to_pa else 'connectivity'} of {args.condition}")
    finite = values[np.isfinite(values)]
    summary = f", mean {finite.mean():.4f}" if finite.size else ""
    print(f"connectivity of {finite.size:,} focal cells{summary}: {args.output}" + (f", map {args.plot}" if args.plot else ""))


def add_parser(commands):
    parser = commands.add_parser(
        "connectivity", help="habitat connectivity, KOVA or OLVI of a condition GeoTIFF",
        description="Connectivity of every cell of CONDITION.tif (nodata cells are no focal sources), "
                    "written as a float32 GeoTIFF with NaN as nodata on the same grid.")
    parser.add_argument("condition", metavar="CONDITION.tif")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.tif")
    parser.add_argument("--mask", metavar="M.tif",
                        help="cells that are no focal sources (non-zero or nodata); with --pa-to-pa, the cells "
                             "outside protected areas")
    parser.add_argument("--protected", metavar="POLYGONS",
                        help="protected-area polygons: cells at least half covered are protected, the others masked")
    parser.add_argument("--traversal", metavar="T.tif", help="traversal values for the path weights only")
    parser.add_argument("--transition", nargs="+", default=[], metavar="G.tif",
                        help="transition grids (one band each per variable): computes OLVI")
    parser.add_argument("--levels", default="1,2,4,8", help="resolution levels (default 1,2,4,8)")
    parser.add_argument("--lambdas", default="2,20,200", help="kernel bandwidths in km (default 2,20,200)")
    parser.add_argument("--max-cost", type=float, default=0.2, help="path weight of a cell of traversal 0 (default 0.2)")
    parser.add_argument("--window-size", type=int, default=3, help="odd window width below the coarsest level (default 3)")
    parser.add_argument("--outer-window", type=int, default=11, help="odd window width at the coarsest level (default 11)")
    parser.add_argument("--window-mode", choices=["circular", "square"], default="circular")
    parser.add_argument("--pa-to-pa", action="store_true", help="KOVA: only protected cells count as destinations")
    parser.add_argument("--threads", type=int, default=None, metavar="N", help="threads per native call (default: all)")
    parser.add_argument("--tile-size", type=int, default=DEFAULT_TILE_SIZE, metavar="N",
                        help=f"tile (or dask chunk) side in cells (default {DEFAULT_TILE_SIZE})")
    parser.add_argument("--scheduler", metavar="URL", help="run on the dask.distributed scheduler at URL")
    parser.add_argument("--plot", metavar="OUT.png", help="also write a PNG map with a colour bar")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bar")
    parser.set_defaults(run=run)
