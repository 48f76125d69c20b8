"""connectivity throughput: focal cells per second on a fixed-seed 512 x 512 landscape.

    python bench/connectivity.py [--rows N]

Levels [1, 2, 4, 8], window_size 3, outer_window 11, lambdas [2, 20, 200], projected 100 m
cells, ~5 % NaN cells. Only a band of N rows in the middle (default 32) is computed as focal
cells, the rest masked, so a run takes seconds; the searches still see the whole landscape.
"""
import argparse
import os
import time

import numpy as np

import velkan

SIZE = 512
LEVELS = [1, 2, 4, 8]
BASE = (100.0, 0.0, 0.0, 0.0, -100.0, 0.0)


def smooth_landscape(seed=2026):
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal((SIZE + 16, SIZE + 16))
    kernel = np.ones(17) / 17.0
    for axis in (0, 1):
        noise = np.apply_along_axis(lambda v: np.convolve(v, kernel, mode="same"), axis, noise)
    field = noise[8:-8, 8:-8]
    condition = ((field - field.min()) / (field.max() - field.min())).astype(np.float32)
    condition[rng.random(condition.shape) < 0.05] = np.nan
    return condition


def transforms():
    a, b, c, d, e, f = BASE
    return {L: (a * L, b * L, c, d * L, e * L, f) for L in LEVELS}


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--rows", type=int, default=32)
    rows = parser.parse_args().rows
    condition = smooth_landscape()
    mask = np.ones(condition.shape, bool)
    top = (SIZE - rows) // 2
    mask[top:top + rows, :] = False
    focal = int((~mask).sum())
    print(f"connectivity, {SIZE} x {SIZE} landscape, {focal:,} focal cells, {os.cpu_count()} logical CPUs")
    print(f"{'configuration':12s} {'threads':>7s} {'seconds':>8s} {'cells/s':>9s} {'speed-up':>9s}")
    for mode in ("circular", "square"):
        single = None
        for threads in (1, 2):
            start = time.perf_counter()
            velkan.connectivity(condition, mask, None, transforms(), LEVELS, [2.0, 20.0, 200.0], False, 0.2, 3, 11,
                                (0, 0), n_threads=threads, window_mode=mode)
            seconds = time.perf_counter() - start
            single = single or seconds
            print(f"{mode:12s} {threads:7d} {seconds:8.2f} {focal / seconds:9.0f} {single / seconds:9.2f}")


if __name__ == "__main__":
    main()
