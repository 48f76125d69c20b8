"""pixel_coverage on a 4,000 x 4,000 grid against exactextract and rasterio, in one run.

    python bench/coverage.py [--quick]

Cases: (a) one 20,000-vertex ring spanning most of the grid; (b) 2,000 small polygons with
one hole each; (c) one polygon with 200 holes and 50,000 vertices in all; and (a) again with
every edge split at its midpoint (40,000 vertices, the same area), to show how time grows
with vertices. A last row, one 10 x 10 square, shows the fixed cost of a call on this grid.
Peers: exactextract (cell_id + coverage on a NumPyRasterSource, scattered into a dense raster,
as its users do: it has no dense coverage output) and rasterio.features.rasterize(all_touched=True),
the common inexact choice. Times are the best
of 5 (--quick: best of 1), velkan and its peers taking turns in every repeat so that a slow
spell of a shared machine falls on all of them alike; the header gives the share of CPU time
the host gave to other guests meanwhile. Needs the bench extra: pip install ".[bench]".
"""
import argparse
import os
from datetime import date

# OpenBLAS's worker threads keep spinning for a while after NumPy uses them; on a
# 2-core machine they take time from velkan's 2-thread runs. Set before NumPy loads.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

import numpy as np
from exactextract import exact_extract
from exactextract.raster import NumPyRasterSource
from rasterio.features import rasterize
from rasterio.transform import Affine
from timing import StolenTime, interleaved_best

import velkan

N = 4000
# North up, row 0 at the top: the layout exactextract's NumPyRasterSource assumes.
TRANSFORM = (1.0, 0.0, 0.0, 0.0, -1.0, float(N))


def wobbly_ring(cx, cy, radius, vertices, rng, wobble=0.05):
    angles = np.linspace(0.0, 2.0 * np.pi, vertices, endpoint=False)
    radii = radius * (1.0 + wobble * np.sin(7 * angles) + 0.01 * rng.standard_normal(vertices))
    return np.column_stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)])


def split_edges(ring):
    """The same ring with a vertex added at every edge's midpoint: twice the vertices, same area."""
    midpoints = 0.5 * (ring + np.roll(ring, -1, axis=0))
    return np.stack([ring, midpoints], axis=1).reshape(-1, 2)


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


def case_many_holes(rng):
    """A 10,000-vertex exterior and 200 holes of 200 vertices on a lattice inside it."""
    spacing = 0.04 * N
    lattice = np.arange(0.1 * N, 0.9 * N + 1, spacing)
    centres = [(x, y) for y in lattice for x in lattice if np.hypot(x - N / 2, y - N / 2) < 0.38 * N][:200]
    holes = [wobbly_ring(x, y, 0.015 * N, 200, rng) for x, y in centres]
    return [(wobbly_ring(N / 2, N / 2, 0.45 * N, 10_000, rng), holes)]


def case_floor():
    """One 10 x 10 square: what a call costs before any real polygon work."""
    return [(np.array([[10.0, 10.0], [20.0, 10.0], [20.0, 20.0], [10.0, 20.0]]), [])]


def geojson_polygon(exterior, holes):
    closed = [np.vstack([ring, ring[:1]]).tolist() for ring in [exterior, *holes]]
    return {"type": "Polygon", "coordinates": closed}


def exactextract_dense(source, features):
    """Dense coverage raster from exactextract's per-feature cell ids and fractions."""
    dense = np.zeros(N * N)
    for feature in exact_extract(source, features, ["cell_id", "coverage"]):
        dense[feature["properties"]["cell_id"]] += feature["properties"]["coverage"]
    return np.minimum(dense, 1.0).reshape(N, N)


def measure(polygons, repeats):
    """Every figure of one case's row.

    velkan's two thread counts take turns in a loop of their own, three times as many repeats
    as the peers' loop: a call of a few tens of milliseconds right after a peer's run of
    seconds finds the machine's memory in the state the peer left it (a 1-thread call took
    up to 1.5x its time alone), which made the speed-up swing from run to run. The peers take
    turns with a 1-thread call, which their ratios are taken against."""
    # Peer inputs are built outside the timing, as velkan's NumPy rings are.
    shapes = [geojson_polygon(exterior, holes) for exterior, holes in polygons]
    features = [{"type": "Feature", "properties": {}, "geometry": shape} for shape in shapes]
    source = NumPyRasterSource(np.zeros((N, N), np.float32), 0.0, 0.0, float(N), float(N))
    row, _ = interleaved_best(3 * repeats, {
        "velkan_1": lambda: velkan.pixel_coverage(polygons, TRANSFORM, (N, N), n_threads=1),
        "velkan_2": lambda: velkan.pixel_coverage(polygons, TRANSFORM, (N, N), n_threads=2),
    })
    peers, results = interleaved_best(repeats, {
        "velkan_1": lambda: velkan.pixel_coverage(polygons, TRANSFORM, (N, N), n_threads=1),
        "exactextract": lambda: exactextract_dense(source, features),
        "rasterio": lambda: rasterize([(shape, 1) for shape in shapes], out_shape=(N, N),
                                      transform=Affine(*TRANSFORM), all_touched=True, dtype="uint8"),
    })
    row["velkan_1_with_peers"] = peers["velkan_1"]
    row["exactextract"], row["rasterio"] = peers["exactextract"], peers["rasterio"]
    row["max_diff"] = float(np.abs(results["velkan_1"].astype(np.float64) - results["exactextract"]).max())
    return row


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--quick", action="store_true", help="best of 1 instead of 5")
    repeats = 1 if parser.parse_args().quick else 5
    load_at_start = os.getloadavg()[0]
    stolen = StolenTime()
    rng = np.random.default_rng(2026)
    big_ring = case_big_ring(rng)
    cases = {
        "(a) one 20k-vertex ring": big_ring,
        "(b) 2,000 polygons with holes": case_small_polygons(rng),
        "(c) 200 holes, 50k vertices": case_many_holes(rng),
        "floor: one 10 x 10 square": case_floor(),
    }
    # Other work on the machine skews the times, the 2-thread ones most: say how busy it was.
    print(f"load average (1 min) at start {load_at_start:.2f}, at end {os.getloadavg()[0]:.2f}; "
          f"time stolen by other guests of the host: {stolen.share():.1%} of CPU time")
    print(f"pixel_coverage, {N} x {N} grid, {os.cpu_count()} logical CPUs, best of {repeats}, {date.today()}")
    print(f"seconds; 1 and 2 threads best of {3 * repeats} taking turns; the peers best of {repeats}, taking turns "
          "with a 1-thread call ('amid peers'), which their ratios are over; max diff is |velkan - exactextract|\n")
    print(f"{'case':30s} {'1 thread':>9s} {'2 threads':>9s} {'speed-up':>8s} {'amid peers':>10s} {'exactext.':>9s} "
          f"{'ratio':>6s} {'rasterio':>9s} {'ratio':>6s} {'max diff':>9s}")
    rows = {}
    for name, polygons in cases.items():
        r = rows[name] = measure(polygons, repeats)
        amid = r["velkan_1_with_peers"]
        print(f"{name:30s} {r['velkan_1']:9.3f} {r['velkan_2']:9.3f} {r['velkan_1'] / r['velkan_2']:8.2f} "
              f"{amid:10.3f} {r['exactextract']:9.3f} {r['exactextract'] / amid:6.2f} "
              f"{r['rasterio']:9.3f} {r['rasterio'] / amid:6.2f} {r['max_diff']:9.1e}")

    doubled = [(split_edges(exterior), holes) for exterior, holes in big_ring]
    growth, _ = interleaved_best(repeats, {
        "single": lambda: velkan.pixel_coverage(big_ring, TRANSFORM, (N, N), n_threads=1),
        "doubled": lambda: velkan.pixel_coverage(doubled, TRANSFORM, (N, N), n_threads=1),
    })
    seconds, single = growth["doubled"], growth["single"]
    print(f"\n(a) with its edges split (40k vertices, same area), 1 thread: {seconds:.3f} s, "
          f"{seconds / single:.2f}x the 20k-vertex time")


if __name__ == "__main__":
    main()
