"""Zonal statistics: `velkan zonal`'s summaries against exactextract's on the same layer and raster.

    python bench/zonal.py [--features N] [--size N] [--stats NAME,...]

A fixed-seed float32 raster of N x N cells (default 4,000, 100 m, a corner without data) and N
features (default 3,000): discs of 2 to 20 cells' radius, a tenth of them with a hole, spread over
the raster. Both compute the coverage-weighted mean, min, max, standard deviation and count per
feature (or the statistics --stats names, as velkan writes them: median, quantile(0.9), ...),
reading the raster window by window (velkan's `zonal_statistics`, as the command runs it, and
`exactextract.exact_extract` on the same rasterio dataset and GeoDataFrame). Best of 3, the two
taking turns; the largest relative difference of the statistics is printed too.
"""
import argparse
import os
import tempfile
import time

import geopandas
import numpy as np
import rasterio
import shapely
from exactextract import exact_extract
from rasterio.transform import Affine

from velkan_tools.zonal import zonal_statistics

TRANSFORM = Affine(100.0, 0.0, 300_000.0, 0.0, -100.0, 7_000_000.0)
STATISTICS = "mean,min,max,stdev,count"


def raster_file(path, size):
    rng = np.random.default_rng(8)
    with rasterio.open(path, "w", driver="GTiff", height=size, width=size, count=1, dtype="float32",
                       crs="EPSG:3067", transform=TRANSFORM, nodata=np.nan, tiled=True, compress="deflate") as target:
        for r0 in range(0, size, 512):
            block = rng.random((min(512, size - r0), size)).astype(np.float32)
            if r0 < size // 8:
                block[:, : size // 8] = np.nan
            target.write(block, 1, window=((r0, r0 + block.shape[0]), (0, size)))


def features(count, size):
    rng = np.random.default_rng(9)
    x0, y0 = TRANSFORM * (0, 0)
    shapes = []
    for k in range(count):
        centre = shapely.Point(x0 + rng.uniform(0, size * 100), y0 - rng.uniform(0, size * 100))
        radius = rng.uniform(200, 2000)
        disc = centre.buffer(radius)
        shapes.append(disc.difference(centre.buffer(radius / 3)) if k % 10 == 0 else disc)
    return geopandas.GeoDataFrame({"id": range(count)}, geometry=shapes, crs="EPSG:3067")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--features", type=int, default=3000)
    parser.add_argument("--size", type=int, default=4000)
    parser.add_argument("--stats", default=STATISTICS, help=f"velkan's names of the statistics (default {STATISTICS})")
    args = parser.parse_args()
    ours_names = [name.strip() for name in args.stats.split(",")]
    theirs_names = [name.replace("(", "(q=") for name in ours_names]  # exactextract names its argument
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "values.tif")
        raster_file(path, args.size)
        frame = features(args.features, args.size)
        best = {"velkan": np.inf, "exactextract": np.inf}
        with rasterio.open(path) as source:
            for _ in range(3):
                start = time.perf_counter()
                ours = zonal_statistics(source, frame, ours_names)
                best["velkan"] = min(best["velkan"], time.perf_counter() - start)
                start = time.perf_counter()
                theirs = exact_extract(source, frame, theirs_names, output="pandas")
                best["exactextract"] = min(best["exactextract"], time.perf_counter() - start)
    def relative(name):
        mine = ours[name].to_numpy()
        return float(np.nanmax(np.abs(mine - theirs[name]) / np.maximum(np.abs(theirs[name]), 1e-12)))

    worst = max(relative(name) for name in theirs.columns)  # both name quantile(0.9)'s column quantile_90
    print(f"velkan zonal benchmark: {args.features:,} features on {args.size:,} x {args.size:,} cells, "
          f"statistics {args.stats}, load average {os.getloadavg()[0]:.2f}\n")
    print("| tool | seconds | features/s | exactextract / velkan |")
    print("|---|---|---|---|")
    for name, seconds in best.items():
        print(f"| {name} | {seconds:.3f} | {args.features / seconds:,.0f} | {best['exactextract'] / seconds:.2f} |")
    print(f"\nlargest relative difference of the statistics: {worst:.1e}")


if __name__ == "__main__":
    main()
