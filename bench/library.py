"""The library's overhead: `velkan_tools.connectivity` against one native `velkan.connectivity` call.

    python bench/library.py [--size 2000]

A smooth fixed-seed condition of SIZE x SIZE cells (100 m, ~2 % NaN; every cell with data a
focal cell), at the library's defaults (levels 1, 2, 4, 8, window 3, outer window 11, lambdas 2,
20, 200 km, max_cost 10, tiles of 256, every processor). The native call gets the same mask and
level transforms built by hand; the library takes a NumPy array with its transform and CRS, and
a rioxarray DataArray. One run each; the values must be the same bits.
"""
import argparse
import os
import time

import numpy as np
import rioxarray  # noqa: F401 (the .rio accessor)
import xarray

import velkan
import velkan_tools
from velkan_tools import ConnectivitySettings, level_transforms

TRANSFORM = (100.0, 0.0, 300_000.0, 0.0, -100.0, 7_500_000.0)


def condition_of(size):
    r, c = np.meshgrid(np.arange(size, dtype=np.float64), np.arange(size, dtype=np.float64), indexing="ij")
    field = 0.5 + 0.25 * np.sin(r / 37.0) * np.cos(c / 53.0) + 0.25 * np.sin((r + c) / 211.0)
    return np.where(((r * 7919 + c * 104729) % 97) < 2, np.nan, field).astype(np.float32)


def timed(run):
    start = time.perf_counter()
    values = run()
    return time.perf_counter() - start, values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--size", type=int, default=2000)
    size = parser.parse_args().size
    print(f"velkan library benchmark, {os.cpu_count()} logical CPUs, load average {os.getloadavg()[0]:.2f}\n")
    condition = condition_of(size)
    s = ConnectivitySettings()
    levels = list(s.levels)

    def native():
        return velkan.connectivity(condition, np.isnan(condition), None, level_transforms(TRANSFORM, (0, 0), levels),
                                   levels, list(s.lambdas), False, s.max_cost, s.window_size, s.outer_window, (0, 0))

    def from_numpy():
        return velkan_tools.connectivity(condition, transform=TRANSFORM, crs="EPSG:3067").values

    array = xarray.DataArray(condition, dims=("y", "x")).rio.write_transform(
        __import__("affine").Affine(*TRANSFORM)).rio.write_crs("EPSG:3067")

    def from_data_array():
        return velkan_tools.connectivity(array).values

    rows = [("one native call", *timed(native))]
    rows += [("velkan_tools.connectivity, NumPy", *timed(from_numpy))]
    rows += [("velkan_tools.connectivity, DataArray", *timed(from_data_array))]
    reference = rows[0][2]
    print(f"| {size:,} x {size:,} cells, {np.isfinite(condition).sum():,} focal | seconds | over the native call |")
    print("|---|---|---|")
    for name, seconds, values in rows:
        same = "" if values.tobytes() == reference.tobytes() else " (values differ!)"
        print(f"| {name} | {seconds:.1f} | {seconds / rows[0][1] - 1:+.1%}{same} |")


if __name__ == "__main__":
    main()
