"""`velkan demo`: a synthetic landscape with protected areas, run through coverage, connectivity and KOVA."""
import os
import time
from pathlib import Path

from .checks import writable_folder
from .errors import InputError


def prepared_folder(args, files):
    """The demo's folder, made if need be, with the paths of its files; refused when it cannot be
    written or already holds a demo (unless --overwrite)."""
    folder = Path(args.output)
    try:
        folder.mkdir(parents=True, exist_ok=True)
    except OSError as error:
        raise InputError(f"-o {folder}: cannot make the folder ({error.strerror})") from None
    writable_folder(str(folder), "-o", str(folder))
    paths = {name: str(folder / file) for name, file in files}
    existing = [path for path in paths.values() if os.path.exists(path)]
    if existing and not args.overwrite:
        raise InputError(f"-o {folder} already holds {existing[0]}; give --overwrite to replace the demo")
    return paths


def run(args):
    import numpy as np

    from .. import __version__
    from ..cog import provenance_tags
    from ..landscape import GRID, SEED, protected_areas, synthetic_condition
    from ..maps import Panel, plot_maps
    from ..rasters import atomic_output, read_raster, save_cog
    from ..vectors import read_polygons

    run_command = args.run_command  # the command line's own runner, for each step
    paths = prepared_folder(args, [
        ("condition", "condition.tif"), ("protected", "protected.gpkg"), ("coverage", "protected_cover.tif"),
        ("connectivity", "connectivity.tif"), ("kova", "kova.tif"), ("figure", "demo.png")])
    rng = np.random.default_rng(SEED)
    start = time.perf_counter()
    save_cog(paths["condition"], synthetic_condition(GRID.shape, rng), GRID, "habitat condition",
             provenance_tags(__version__, {"value": "habitat condition", "seed": SEED}, {}))
    with atomic_output(paths["protected"]) as temporary:
        protected_areas(GRID, rng).to_file(temporary, driver="GPKG", layer="protected_areas")
    # The folder was checked above: the steps may replace what a former demo left.
    shared = ["--overwrite"] + (["-q"] if args.quiet else [])
    # Bandwidths of 0.5 to 2 km suit a landscape 20 km across (the command's default of 2, 20
    # and 200 km suits national rasters).
    settings = ["--lambdas", "0.5,1,2"] + (["--no-progress"] if args.no_progress else [])
    run_command(["coverage", paths["protected"], "-o", paths["coverage"], "--like", paths["condition"]] + shared)
    run_command(["connectivity", paths["condition"], "-o", paths["connectivity"]] + shared + settings)
    run_command(["connectivity", paths["condition"], "--protected", paths["protected"], "--pa-to-pa",
                 "-o", paths["kova"]] + shared + settings)
    panels = [("habitat condition of the landscape", "condition", "habitat condition", False),
              ("protected areas: covered fraction of each cell", "coverage", "covered fraction", True),
              ("habitat connectivity", "connectivity", "habitat connectivity", True),
              ("KOVA: connectivity between protected areas", "kova", "KOVA", True)]
    outlines = read_polygons(paths["protected"], GRID.crs)
    with atomic_output(paths["figure"]) as temporary:
        plot_maps(temporary, [Panel(title, read_raster(paths[key], key)[0], label, outlined)
                              for title, key, label, outlined in panels], GRID, outlines=outlines)
    if args.quiet:
        return
    print(f"\nvelkan demo: a landscape of {GRID.describe()} of 100 m, done in {time.perf_counter() - start:.1f} s")
    for name, path in paths.items():
        print(f"  {name:13s} {path}")


def add_parser(commands, common):
    parser = commands.add_parser("demo", parents=[common],
                                 help="run coverage, connectivity and KOVA on a synthetic landscape",
                                 description="Build a synthetic landscape with protected areas from a fixed seed, "
                                             "run coverage, habitat connectivity and KOVA on it, and write GeoTIFFs "
                                             "and one PNG figure.")
    parser.add_argument("-o", "--output", default="velkan-demo", metavar="DIR", help="folder (default velkan-demo)")
    parser.add_argument("--overwrite", action="store_true", help="replace the files of an earlier demo")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bars")
    parser.set_defaults(run=run)
