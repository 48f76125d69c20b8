"""National rasters: the streamed command's memory as the raster grows, and what streaming costs.

    python bench/scale.py [--sizes 2000,8000,20000] [--folder /tmp/velkan-scale]

1. Peak RSS of `velkan connectivity` (its own process) on condition GeoTIFFs of each size, with a
   mask that leaves the same band of 8 x 512 focal cells in every raster, so that the run stays
   short and only the raster's size changes: the survey, the tiles and the output are all
   streamed, so the peak should stay flat (under 500 MB) while the raster grows 100-fold.
2. Streaming overhead on 1,000 x 1,000 cells, every cell with data a focal cell: one
   whole-raster `velkan.connectivity` call on arrays in memory against `connectivity_from_files`
   on the same rasters as files, reading and writing included (2 threads each, one run each).
3. The same streamed run on a LocalCluster of 2 worker processes of one thread each.

Inputs are written once into the folder (a smooth condition in [0, 1] of 100 m cells, ~2 % NaN,
deflate-compressed, 256-cell tiles) and reused; they take a few GB for the largest size.
Levels [1, 2, 4, 8], window 3, outer window 11, lambdas [2, 20, 200], max_cost 10.
"""
import argparse
import os
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import rasterio
from rasterio.transform import Affine
from rasterio.windows import Window

import velkan
from velkan_tools import connectivity_from_files, level_transforms

LEVELS = [1, 2, 4, 8]
SETTINGS = dict(levels=LEVELS, lambdas=[2.0, 20.0, 200.0], max_cost=10.0, window_size=3, outer_window=11)
BAND = (8, 512)  # focal rows x columns, at the middle of every raster
TRANSFORM = Affine(100.0, 0.0, 300_000.0, 0.0, -100.0, 7_500_000.0)
BLOCK = 256


def condition_block(rows, cols):
    """The landscape on a window: smooth waves in [0, 1] with ~2 % NaN (from the cells' own indices)."""
    r, c = np.meshgrid(np.arange(*rows, dtype=np.float64), np.arange(*cols, dtype=np.float64), indexing="ij")
    field = 0.5 + 0.25 * np.sin(r / 37.0) * np.cos(c / 53.0) + 0.25 * np.sin((r + c) / 211.0)
    holes = ((r * 7919 + c * 104729) % 97) < 2
    return np.where(holes, np.nan, field).astype(np.float32)


def band_of(size):
    top, left = size // 2 - BAND[0] // 2, size // 2 - BAND[1] // 2
    return (top, top + BAND[0]), (left, left + BAND[1])


def write_inputs(folder, size, band=None):
    """condition.tif and mask.tif of size x size cells (written block by block), unless they exist."""
    paths = folder / f"condition-{size}.tif", folder / f"mask-{size}.tif"
    if all(p.exists() for p in paths):
        return paths
    (rows, cols) = band or band_of(size)
    common = dict(driver="GTiff", height=size, width=size, count=1, crs="EPSG:3067", transform=TRANSFORM,
                  tiled=True, blockxsize=BLOCK, blockysize=BLOCK, compress="deflate", BIGTIFF="IF_SAFER")
    with rasterio.open(paths[0], "w", dtype="float32", nodata=np.nan, predictor=3, **common) as condition, \
            rasterio.open(paths[1], "w", dtype="uint8", **common) as mask:
        for r0 in range(0, size, BLOCK):
            for c0 in range(0, size, BLOCK):
                rs, cs = (r0, min(r0 + BLOCK, size)), (c0, min(c0 + BLOCK, size))
                window = Window.from_slices(slice(*rs), slice(*cs))
                condition.write(condition_block(rs, cs), 1, window=window)
                block = np.ones((rs[1] - rs[0], cs[1] - cs[0]), np.uint8)
                top, bottom = max(rows[0] - rs[0], 0), max(rows[1] - rs[0], 0)
                block[top:bottom, max(cols[0] - cs[0], 0):max(cols[1] - cs[0], 0)] = 0
                mask.write(block, 1, window=window)
    return paths


def command_peak_rss(condition, mask, out):
    """(seconds, peak RSS in MiB) of one `velkan connectivity` process."""
    command = [sys.executable, "-m", "velkan_tools", "connectivity", str(condition), "--mask", str(mask),
               "-o", str(out), "--overwrite", "--threads", "2", "-q", "--levels", "1,2,4,8", "--outer-window", "11"]
    start = time.perf_counter()
    child = subprocess.Popen(command, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(child.pid, 0)
    seconds = time.perf_counter() - start
    if status != 0:
        raise SystemExit(f"velkan connectivity failed: {child.stderr.read().decode()[-2000:]}")
    return seconds, usage.ru_maxrss / 1024


def whole_call(condition, mask):
    with rasterio.open(condition) as source:
        values = source.read(1).astype(np.float32)
    with rasterio.open(mask) as source:
        masked = (source.read(1) != 0) | np.isnan(values)
    transforms = level_transforms(tuple(TRANSFORM)[:6], (0, 0), LEVELS)
    start = time.perf_counter()
    velkan.connectivity(values, masked, None, transforms, LEVELS, SETTINGS["lambdas"], False, SETTINGS["max_cost"],
                        SETTINGS["window_size"], SETTINGS["outer_window"], (0, 0), n_threads=2)
    return time.perf_counter() - start


def streamed(condition, mask, folder, client=None):
    out = Path(folder) / "streamed.tif"
    start = time.perf_counter()
    connectivity_from_files(condition, out, mask=mask, n_threads=None if client else 2, client=client, progress=False,
                            **SETTINGS)
    seconds = time.perf_counter() - start
    out.unlink()
    return seconds


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--sizes", default="2000,8000,20000")
    parser.add_argument("--folder", default=os.path.join(tempfile.gettempdir(), "velkan-scale"))
    args = parser.parse_args()
    folder = Path(args.folder)
    folder.mkdir(parents=True, exist_ok=True)
    load = os.getloadavg()[0]
    print(f"velkan scale benchmark, {os.cpu_count()} logical CPUs, load average {load:.2f}\n")

    print("| condition raster | cells | input files | seconds | peak RSS |")
    print("|---|---|---|---|---|")
    for size in (int(s) for s in args.sizes.split(",")):
        condition, mask = write_inputs(folder, size)
        seconds, peak = command_peak_rss(condition, mask, folder / f"out-{size}.tif")
        files = (condition.stat().st_size + mask.stat().st_size) / 2**20
        cells = f"{size * size / 1e6:,.0f} M"
        print(f"| {size:,} x {size:,} | {cells} | {files:,.0f} MiB | {seconds:.1f} | {peak:.0f} MiB |")
        (folder / f"out-{size}.tif").unlink()

    small = folder / "all-focal"
    small.mkdir(exist_ok=True)
    condition, mask = write_inputs(small, 1000, band=((0, 1000), (0, 1000)))
    whole = whole_call(condition, mask)
    tiled = streamed(condition, mask, small)
    from distributed import Client, LocalCluster

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None) as cluster, \
            Client(cluster) as client:
        clustered = streamed(condition, mask, small, client)
    print("\n| 1,000 x 1,000 cells, all focal | seconds | against the whole call |")
    print("|---|---|---|")
    print(f"| one whole-raster call, arrays in memory | {whole:.2f} | 1.00 |")
    print(f"| streamed from files, 2 threads | {tiled:.2f} | {tiled / whole:.2f} |")
    print(f"| streamed on 2 worker processes | {clustered:.2f} | {clustered / whole:.2f} |")
    peak_self = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"\n(this script's own peak RSS: {peak_self:.0f} MiB)")


if __name__ == "__main__":
    main()
