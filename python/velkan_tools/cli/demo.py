"""`velkan demo`: a synthetic landscape with protected areas, run through coverage, connectivity and KOVA."""
import time
from pathlib import Path

import geopandas
import numpy as np
import shapely
from affine import Affine
from rasterio.crs import CRS

from .plot import plot_maps
from .rasters import Grid, atomic_output, read_raster, save_geotiff

SEED = 2026
# 200 x 200 cells of 100 m in the Finnish national grid: 20 km a side.
GRID = Grid(CRS.from_epsg(3067), Affine(100.0, 0.0, 380_000.0, 0.0, -100.0, 6_720_000.0), (200, 200))


def synthetic_condition(shape, rng):
    """Condition in [0, 1]: smooth patches of good habitat, a lake without data and a road across."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    field = rng.normal(0.0, 0.04, shape)
    for _ in range(14):
        r, c = rng.uniform(0, shape[0]), rng.uniform(0, shape[1])
        width = rng.uniform(8, 30)
        field += rng.uniform(0.3, 1.0) * np.exp(-((rows - r) ** 2 + (cols - c) ** 2) / (2 * width ** 2))
    condition = np.clip((field - field.min()) / (field.max() - field.min()), 0.0, 1.0).astype(np.float32)
    condition[((rows - 140) / 18) ** 2 + ((cols - 50) / 28) ** 2 < 1] = np.nan
    condition[np.abs(rows - 0.6 * cols - 30) < 1.5] = 0.05
    return condition


def protected_areas(grid, rng):
    """Three protected areas in world coordinates: a ring with a hole, and two overlapping parks."""
    def at(row, col):
        return grid.transform @ (col, row)

    def blob(row, col, radius, points=40):
        angles = np.linspace(0, 2 * np.pi, points, endpoint=False)
        radii = radius * (1 + 0.25 * np.sin(3 * angles + rng.uniform(0, 2 * np.pi)))
        return [at(row + r * np.sin(a), col + r * np.cos(a)) for r, a in zip(radii, angles)]

    ring = shapely.Polygon(blob(55, 60, 32), [blob(55, 60, 12)])
    parks = [shapely.Polygon(blob(120, 150, 26)), shapely.Polygon(blob(150, 170, 20))]
    return geopandas.GeoDataFrame({"name": ["ring", "east park", "south park"]}, geometry=[ring] + parks,
                                  crs=grid.crs)


def run(args):
    from .main import run_command

    folder = Path(args.output)
    folder.mkdir(parents=True, exist_ok=True)
    paths = {name: str(folder / file) for name, file in [
        ("condition", "condition.tif"), ("protected", "protected.gpkg"), ("coverage", "protected_cover.tif"),
        ("connectivity", "connectivity.tif"), ("kova", "kova.tif"), ("figure", "demo.png")]}
    rng = np.random.default_rng(SEED)
    start = time.perf_counter()
    save_geotiff(paths["condition"], synthetic_condition(GRID.shape, rng), GRID)
    with atomic_output(paths["protected"]) as temporary:
        protected_areas(GRID, rng).to_file(temporary, driver="GPKG", layer="protected_areas")
    quiet = ["--no-progress"] if args.no_progress else []
    run_command(["coverage", paths["protected"], "-o", paths["coverage"], "--like", paths["condition"]])
    run_command(["connectivity", paths["condition"], "-o", paths["connectivity"]] + quiet)
    run_command(["connectivity", paths["condition"], "--protected", paths["protected"], "--pa-to-pa",
                 "-o", paths["kova"]] + quiet)
    panels = [("habitat condition", "condition", "condition"), ("protected areas", "coverage", "covered fraction"),
              ("habitat connectivity", "connectivity", "connectivity"), ("KOVA (protected-area edition)", "kova", "KOVA")]
    with atomic_output(paths["figure"]) as temporary:
        plot_maps(temporary, [(title, read_raster(paths[key], key)[0], label) for title, key, label in panels], GRID)
    print(f"\nvelkan demo: a landscape of {GRID.describe()} of 100 m, done in {time.perf_counter() - start:.1f} s")
    for name, path in paths.items():
        print(f"  {name:13s} {path}")


def add_parser(commands):
    parser = commands.add_parser("demo", help="run coverage, connectivity and KOVA on a synthetic landscape",
                                 description="Build a synthetic landscape with protected areas from a fixed seed, "
                                             "run coverage, habitat connectivity and KOVA on it, and write GeoTIFFs "
                                             "and one PNG figure.")
    parser.add_argument("-o", "--output", default="velkan-demo", metavar="DIR", help="folder (default velkan-demo)")
    parser.add_argument("--no-progress", action="store_true", help="hide the progress bars")
    parser.set_defaults(run=run)
