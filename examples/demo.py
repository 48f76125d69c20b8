"""Runs velkan on a built-in example: the exact pixel coverage of a polygon with a hole.

Once the connectivity engine is in, this also computes connectivity on a synthetic landscape.
"""
import numpy as np

import velkan


def star(cx, cy, radius, points=12, inner=0.55):
    angles = np.linspace(0.0, 2.0 * np.pi, 2 * points, endpoint=False)
    radii = np.where(np.arange(2 * points) % 2 == 0, radius, radius * inner)
    return np.column_stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)])


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


if __name__ == "__main__":
    main()
