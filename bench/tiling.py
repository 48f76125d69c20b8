"""Tiling overhead: one whole-raster call against the tiled run and a dask run of the same raster.

    python bench/tiling.py [--size N] [--repeat K]

A fixed-seed N x N landscape (default 600: 3 x 3 tiles of the default 256 cells, the last ones
partial), ~5 % NaN cells, levels [1, 2, 4, 8], window 3, outer 11 (a halo of 96 cells),
lambdas [2, 20, 200], projected 100 m cells. Every run uses 2 threads in all: the whole call and
the tiled run with n_threads=2, the dask run on a LocalCluster of 2 worker processes of one
thread each. Best of K runs (default 2), the runs of each kind interleaved. The tiled and dask
results are checked against the whole call, bit for bit.
"""
import argparse
import os
import time

import numpy as np
from distributed import Client, LocalCluster

import velkan
from velkan_tools import connectivity_dask, connectivity_tiled, level_transforms
from velkan_tools.tiled import DEFAULT_TILE_SIZE

LEVELS = [1, 2, 4, 8]
BASE = (100.0, 0.0, 500_000.0, 0.0, -100.0, 7_000_000.0)
SETTINGS = dict(levels=LEVELS, lambdas=[2.0, 20.0, 200.0], is_geo=False, max_cost=10.0, window_size=3, outer_window=11,
                offsets=(0, 0))


def landscape(size, seed=2026):
    """Smooth random condition in [0, 1] (a sum of random bumps) with ~5 % NaN cells."""
    rng = np.random.default_rng(seed)
    rows, cols = np.mgrid[0:size, 0:size]
    field = np.zeros((size, size))
    for _ in range(size // 10):
        r, c, width = rng.uniform(0, size), rng.uniform(0, size), rng.uniform(5, 40)
        field += np.exp(-((rows - r) ** 2 + (cols - c) ** 2) / (2 * width ** 2))
    condition = ((field - field.min()) / (field.max() - field.min())).astype(np.float32)
    condition[rng.random(condition.shape) < 0.05] = np.nan
    return condition


def timed(run):
    start = time.perf_counter()
    values = run()
    return time.perf_counter() - start, values


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--size", type=int, default=600)
    parser.add_argument("--repeat", type=int, default=2)
    options = parser.parse_args()
    condition = landscape(options.size)
    mask = np.isnan(condition)
    focal = int((~mask).sum())
    transforms = level_transforms(BASE, (0, 0), LEVELS)
    settings = dict(SETTINGS)
    offsets = settings.pop("offsets")

    def whole():
        return velkan.connectivity(condition, mask, None, transforms, LEVELS, settings["lambdas"], False, 10.0, 3, 11,
                                   offsets, n_threads=2)

    def tiled():
        return connectivity_tiled(condition, mask, None, BASE, **SETTINGS, n_threads=2, progress=False)

    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        def on_dask():
            return client.compute(connectivity_dask(condition, mask, None, BASE, **SETTINGS, n_threads=1)).result()

        runs = {"whole call": whole, f"tiled, {DEFAULT_TILE_SIZE} cells": tiled, "dask, 2 workers": on_dask}
        best, reference = {}, None
        for _ in range(options.repeat):
            for name, run in runs.items():
                seconds, values = timed(run)
                reference = values if reference is None else reference
                assert values.tobytes() == reference.tobytes(), f"{name} differs from the whole call"
                best[name] = min(seconds, best.get(name, np.inf))

    print(f"tiling overhead, {options.size} x {options.size} landscape, {focal:,} focal cells, "
          f"{os.cpu_count()} logical CPUs, best of {options.repeat}")
    print(f"{'run':22s} {'seconds':>8s} {'cells/s':>9s} {'vs whole':>9s}")
    for name, seconds in best.items():
        print(f"{name:22s} {seconds:8.2f} {focal / seconds:9.0f} {seconds / best['whole call']:9.3f}")


if __name__ == "__main__":
    main()
