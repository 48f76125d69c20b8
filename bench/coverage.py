"""pixel_coverage on a 4,000 x 4,000 grid: wall time and pixels per second.

    python bench/coverage.py

Cases: (a) one 20,000-vertex ring spanning most of the grid; (b) 2,000 small
polygons with one hole each. Prints one row per case and thread count.
"""
import os
import time

import numpy as np

import velkan

N = 4000
TRANSFORM = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)


def wobbly_ring(cx, cy, radius, vertices, rng, wobble=0.05):
    angles = np.linspace(0.0, 2.0 * np.pi, vertices, endpoint=False)
    radii = radius * (1.0 + wobble * np.sin(7 * angles) + 0.01 * rng.standard_normal(vertices))
    return np.column_stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)])


def case_big_ring(rng):
    return [(wobbly_ring(N / 2, N / 2, 0.45 * N, 20_000, rng), [])]


def case_small_polygons(rng):
    polygons = []
    side = int(np.ceil(np.sqrt(2000)))
    spacing = N / side
    for i in range(2000):
        cx, cy = (i % side + 0.5) * spacing, (i // side + 0.5) * spacing
        r = 0.4 * spacing
        polygons.append((wobbly_ring(cx, cy, r, 40, rng), [wobbly_ring(cx, cy, 0.4 * r, 16, rng)]))
    return polygons


def best_of(repeats, fn):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        fn()
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    rng = np.random.default_rng(2026)
    cases = {"(a) one 20k-vertex ring": case_big_ring(rng), "(b) 2,000 polygons with holes": case_small_polygons(rng)}
    print(f"pixel_coverage, {N} x {N} grid, {os.cpu_count()} logical CPUs, best of 3")
    print(f"{'case':32s} {'threads':>7s} {'seconds':>9s} {'Mpixel/s':>9s} {'speed-up':>9s}")
    for name, polygons in cases.items():
        single = None
        for threads in (1, 2):
            seconds = best_of(3, lambda: velkan.pixel_coverage(polygons, TRANSFORM, (N, N), n_threads=threads))
            single = single or seconds
            print(f"{name:32s} {threads:7d} {seconds:9.3f} {N * N / seconds / 1e6:9.1f} {single / seconds:9.2f}")


if __name__ == "__main__":
    main()
