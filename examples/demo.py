"""Runs velkan on built-in examples: the exact pixel coverage of a polygon with a hole (the native
engine), and habitat connectivity on a synthetic landscape generated from a fixed seed (the
library, with its defaults; it needs the `tools` extra).
"""
import time

import numpy as np

import velkan
import velkan_tools


def star(cx, cy, radius, points=12, inner=0.55):
    angles = np.linspace(0.0, 2.0 * np.pi, 2 * points, endpoint=False)
    radii = np.where(np.arange(2 * points) % 2 == 0, radius, radius * inner)
    return np.column_stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)])


def smooth_landscape(rows, cols, seed):
    """Condition in [0, 1]: smoothed noise, with a few cells without data."""
    rng = np.random.default_rng(seed)
    noise = rng.standard_normal((rows + 8, cols + 8))
    kernel = np.ones(9) / 9.0
    for axis in (0, 1):
        noise = np.apply_along_axis(lambda v: np.convolve(v, kernel, mode="same"), axis, noise)
    field = noise[4:-4, 4:-4]
    condition = ((field - field.min()) / (field.max() - field.min())).astype(np.float32)
    condition[rng.random((rows, cols)) < 0.02] = np.nan
    return condition


def connectivity_demo():
    rows, cols = 200, 200
    condition = smooth_landscape(rows, cols, seed=2026)  # cells without data are not focal sources
    base = (100.0, 0.0, 600_000.0, 0.0, -100.0, 6_700_000.0)  # 100 m cells, north up
    start = time.perf_counter()
    # The library's defaults: levels 1, 2, 4, 8, bandwidths 2, 20 and 200 km, max_cost 10.
    values = velkan_tools.connectivity(condition, transform=base, crs="EPSG:3067").values
    seconds = time.perf_counter() - start
    finite = values[np.isfinite(values)]
    print(f"\nconnectivity of a {rows} x {cols} synthetic landscape (100 m cells, the library's defaults):")
    print(f"  {finite.size:,} focal cells in {seconds:.2f} s ({finite.size / seconds:,.0f} cells/s)")
    print(f"  value min / mean / max : {finite.min():.4f} / {finite.mean():.4f} / {finite.max():.4f}")


def main():
    # A 40 x 60 raster of 10 m cells, north up, its corner at (500000, 4100000).
    transform = (10.0, 0.0, 500_000.0, 0.0, -10.0, 4_100_000.0)
    shape = (40, 60)
    exterior = star(500_300.0, 4_099_800.0, 180.0)
    hole = star(500_300.0, 4_099_800.0, 50.0, points=6)
    coverage = velkan.pixel_coverage([(exterior, [hole])], transform, shape)

    print(f"pixel_coverage of a 12-point star with a hole on a {shape[0]} x {shape[1]} grid of 10 m cells")
    print(f"  covered area     : {coverage.sum() * 100.0:,.1f} m^2")
    print(f"  fully covered    : {(coverage == 1.0).sum()} cells")
    print(f"  partly covered   : {((coverage > 0) & (coverage < 1)).sum()} cells")
    rows = coverage[::4, ::3]
    shades = " .:-=+*#%@"
    for row in rows:
        print("  " + "".join(shades[min(int(v * 9.999), 9)] for v in row))
    connectivity_demo()


if __name__ == "__main__":
    main()
