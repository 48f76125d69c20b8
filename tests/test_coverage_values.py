"""pixel_coverage values: hand-computed cases and shapely's exact intersection areas."""
from fractions import Fraction

import numpy as np
import pytest
import shapely
from shapely.geometry import Polygon

import velkan

IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)


def ring(*points):
    return np.array(points, dtype=np.float64)


UNIT = ring((0, 0), (1, 0), (1, 1), (0, 1))


def cover(polygons, shape=(3, 3), transform=IDENTITY, n_threads=None):
    return velkan.pixel_coverage(polygons, transform, shape, n_threads=n_threads)


def only(out, cells):
    expected = np.zeros_like(out)
    for (r, c), v in cells.items():
        expected[r, c] = v
    return expected


@pytest.mark.parametrize(
    "polygons, cells",
    [
        ([(UNIT, [])], {(0, 0): 1.0}),
        ([(UNIT[::-1].copy(), [])], {(0, 0): 1.0}),  # clockwise
        ([(ring((0, 0), (1, 0), (0, 1)), [])], {(0, 0): 0.5}),
        ([(UNIT + 0.5, [])], {(0, 0): 0.25, (0, 1): 0.25, (1, 0): 0.25, (1, 1): 0.25}),
        ([(UNIT, [UNIT])], {}),  # hole equal to the exterior
        ([(UNIT, []), (UNIT, [])], {(0, 0): 1.0}),  # overlap clamps to 1
        ([(UNIT, [UNIT + (1, 0)])], {(0, 0): 1.0}),  # a hole outside its exterior clamps to 0
        ([(np.vstack([UNIT, UNIT[:1]]), [])], {(0, 0): 1.0}),  # repeated closing vertex
        ([(UNIT - 5, [])], {}),  # outside the grid
        ([(UNIT * 2 - 1, [])], {(0, 0): 1.0}),  # straddles the corner: only the inside counts
        ([(UNIT * 3 + (2, 2), [])], {(2, 2): 1.0}),  # straddles the far border
    ],
)
def test_hand_values(polygons, cells):
    out = cover(polygons)
    np.testing.assert_allclose(out, only(out, cells), atol=1e-7)


def test_north_up_transform_maps_world_y_downwards():
    res, x0, y0 = 30.0, 500000.0, 4100000.0
    transform = (res, 0.0, x0, 0.0, -res, y0)
    # the world square of pixel (row 1, col 1): x in [x0+res, x0+2res], y in [y0-2res, y0-res]
    sq = ring((x0 + res, y0 - res), (x0 + 2 * res, y0 - res), (x0 + 2 * res, y0 - 2 * res), (x0 + res, y0 - 2 * res))
    out = cover([(sq, [])], transform=transform)
    np.testing.assert_allclose(out, only(out, {(1, 1): 1.0}), atol=1e-6)


def test_singular_transform_gives_zeros():
    out = cover([(UNIT, [])], transform=(1.0, 2.0, 0.0, 0.5, 1.0, 0.0))
    assert not out.any()


def test_non_finite_coordinates_stay_in_range():
    bad = ring((0, 0), (np.nan, 0.5), (2, 2), (np.inf, 1), (0, 2), (-np.inf, np.nan))
    out = cover([(bad, [UNIT]), (UNIT + 0.5, [])])
    assert np.isfinite(out).all() and (out >= 0).all() and (out <= 1).all()


def random_polygon(rng, centre, radius, n):
    """A star-shaped (hence simple) polygon with a smaller star-shaped hole inside."""
    # jittered, evenly spread angles keep every exterior edge farther out than the hole
    angles = (np.arange(n) + rng.uniform(0, 0.8, n)) * (2 * np.pi / n)
    radii = rng.uniform(0.7, 1.0, n) * radius
    outer = np.column_stack([centre[0] + radii * np.cos(angles), centre[1] + radii * np.sin(angles)])
    m = max(3, n // 2)
    hole_angles = (np.arange(m) + rng.uniform(0, 0.8, m)) * (2 * np.pi / m)
    hole_radii = rng.uniform(0.1, 0.3, m) * radius
    hole = np.column_stack([centre[0] + hole_radii * np.cos(hole_angles), centre[1] + hole_radii * np.sin(hole_angles)])
    return outer, hole


def shapely_coverage(polygons, transform, shape):
    """Per-pixel intersection areas over pixel areas, the reference for exactness."""
    a, b, c, d, e, f = transform
    geom = shapely.union_all([Polygon(ext, [h]) for ext, h in polygons])
    out = np.zeros(shape)
    pixel_area = abs(a * e - b * d)
    for r in range(shape[0]):
        for k in range(shape[1]):
            corners = [(k, r), (k + 1, r), (k + 1, r + 1), (k, r + 1)]
            pixel = Polygon([(a * u + b * v + c, d * u + e * v + f) for u, v in corners])
            out[r, k] = geom.intersection(pixel).area / pixel_area
    return out


@pytest.mark.parametrize(
    "transform",
    [
        (10.0, 0.0, 1000.0, 0.0, -10.0, 2000.0),  # north up
        (10.0, 3.0, 1000.0, -2.0, -9.0, 2000.0),  # sheared and rotated
    ],
)
@pytest.mark.parametrize("seed", range(4))
def test_matches_shapely_exact_areas(transform, seed):
    rng = np.random.default_rng(seed)
    shape = (14, 17)
    a, b, c, d, e, f = transform
    polygons = []
    for _ in range(2):
        u, v = rng.uniform(3, 12), rng.uniform(3, 10)
        centre = (a * u + b * v + c, d * u + e * v + f)
        polygons.append(random_polygon(rng, centre, rng.uniform(15, 50), int(rng.integers(8, 40))))
    # disjoint polygons only: velkan takes them as already unioned
    geoms = [Polygon(ext, [h]) for ext, h in polygons]
    if geoms[0].intersects(geoms[1]):
        polygons = polygons[:1]
    out = cover([(ext, [h]) for ext, h in polygons], shape=shape, transform=transform)
    expected = shapely_coverage(polygons, transform, shape)
    np.testing.assert_allclose(out, expected, atol=1e-6)
    assert out.any()


def test_identical_bytes_for_any_thread_count():
    rng = np.random.default_rng(42)
    polygons = [random_polygon(rng, rng.uniform(0, 300, 2), rng.uniform(5, 80), 300) for _ in range(6)]
    polygons = [(ext, [h]) for ext, h in polygons]
    outs = [cover(polygons, shape=(300, 300), n_threads=n).tobytes() for n in (1, 2, 7)]
    assert outs[0] == outs[1] == outs[2]
    assert np.frombuffer(outs[0], np.float32).any()


def test_ring_blown_up_by_a_tiny_determinant_still_cancels_with_its_hole():
    # Found by the geometry fuzz suite: the 1e-320 determinant scales the ring to
    # ~1e161 pixels, rounding gave a cell piece an area beyond float32, and the
    # equal hole then subtracted inf from inf, leaving NaN in the result.
    t = np.linspace(0, 2 * np.pi, 13, endpoint=False)
    ring = np.column_stack([0.3 + 14.5 * np.cos(t), -0.2 + 14.5 * np.sin(t)])
    tiny = (1e-160, 0.0, 0.0, 0.0, 1e-160, 0.0)
    alone = velkan.pixel_coverage([(ring, [])], tiny, (1, 1))
    assert 0.0 <= alone[0, 0] <= 1.0
    assert velkan.pixel_coverage([(ring, [ring])], tiny, (1, 1))[0, 0] == 0.0


def test_small_rings_beyond_one_batch_are_each_counted_once():
    # 300,000 small rings (1.2 million vertices) go in several batches; each
    # covers a known share of its own cell, so a ring lost or added twice where
    # one batch ends and the next begins shows in that cell.
    shape = (600, 500)
    rows, cols = np.indices(shape).reshape(2, -1).astype(np.float64)
    widths = ((rows * shape[1] + cols) % 7 + 1) / 8
    x0, x1 = cols + (1 - widths) / 2, cols + (1 + widths) / 2
    corners = np.stack([np.column_stack(p) for p in
                        [(x0, rows), (x1, rows), (x1, rows + 1), (x0, rows + 1)]], axis=1)
    out = cover([(c, []) for c in corners], shape=shape)
    np.testing.assert_array_equal(out, widths.reshape(shape).astype(np.float32))


# ---- columns closer than a height can be divided by, near the grid's left edge ----------

def clip_exact(ring, axis, value, keep_above):
    """One Sutherland–Hodgman pass in rational arithmetic: the part of `ring` on the kept side of the line."""
    out = []
    for prev, cur in zip(ring[-1:] + ring[:-1], ring):
        prev_in = prev[axis] >= value if keep_above else prev[axis] <= value
        cur_in = cur[axis] >= value if keep_above else cur[axis] <= value
        if prev_in != cur_in:
            t = (value - prev[axis]) / (cur[axis] - prev[axis])
            out.append(tuple(p + (c - p) * t for p, c in zip(prev, cur)))
        if cur_in:
            out.append(cur)
    return out


def exact_coverage(pixel_polygons, shape):
    """Every cell's |overlap| with each ring, exteriors minus holes, clamped, all in Fractions.

    The rings are in pixel space; each is clipped to every cell exactly, so the
    only rounding is that of the vertices themselves.
    """
    rows, cols = shape
    total = [[Fraction(0)] * cols for _ in range(rows)]
    for exterior, holes in pixel_polygons:
        for sign, ring in [(1, exterior)] + [(-1, h) for h in holes]:
            ring = [(Fraction(u), Fraction(v)) for u, v in ring]
            for r in range(rows):
                strip = clip_exact(clip_exact(ring, 1, r, True), 1, r + 1, False)
                for k in range(cols):
                    piece = clip_exact(clip_exact(strip, 0, k, True), 0, k + 1, False)
                    twice = sum(u0 * v1 - v0 * u1 for (u0, v0), (u1, v1) in zip(piece, piece[1:] + piece[:1]))
                    total[r][k] += sign * abs(twice) / 2
    return np.array([[float(min(max(c, 0), 1)) for c in row] for row in total])


def pixel_ring(world, transform):
    """World vertices in pixel space, by the rasteriser's own formula."""
    a, b, c, d, e, f = transform
    det = a * e - b * d
    x, y = world[:, 0] - c, world[:, 1] - f
    return np.column_stack([(e * x - b * y) / det, (a * y - d * x) / det])


def expect_exact(polygons, transform, shape):
    pixels = [(pixel_ring(ext, transform), [pixel_ring(h, transform) for h in holes]) for ext, holes in polygons]
    expected = exact_coverage(pixels, shape)
    out = cover(polygons, shape=shape, transform=transform)
    np.testing.assert_allclose(out, expected, atol=1e-6, rtol=0)
    return expected


FRAME = ring((-0.5, -0.5), (6.5, -0.5), (6.5, 3.5), (-0.5, 3.5))


@pytest.mark.parametrize(
    "polygons, transform, shape",
    [
        # a height of 1 over 5e-309 columns: the first piece's rate overflows
        ([(ring((0, 0), (5e-309, 1), (3, 1)), [])], IDENTITY, (1, 4)),
        ([(ring((0, 0), (5.57e-309, 1), (3, 1)), [])], IDENTITY, (1, 4)),  # just wide enough to divide by
        ([(FRAME, [ring((-1e-310, 0.25), (4.5, 0.25), (4.5, 2.75), (1e-310, 2.75))])], IDENTITY, (4, 7)),
        # drawn by the geometry fuzz suite, the smallest subnormal against 0
        ([(ring((6.506071632442581, 0.0), (0.0, 0.0), (5e-324, 2.3320491906965035)), [])], IDENTITY, (2, 5)),
        # pixels 1e300 wide: world x of +-5e-9 are subnormal columns
        ([(ring((-5e-9, 0), (2.5e300, 0), (1.5e300, 3), (5e-9, 3)), [])], (1e300, 0.0, 0.0, 0.0, 1.0, 0.0), (3, 3)),
        ([(ring((5e-9, 0), (-5e-9, 3), (2.5e300, 1.5)), [])], (1e300, 0.0, 0.0, 0.0, -1.0, 3.0), (3, 3)),
    ],
)
def test_columns_too_close_to_divide_by(polygons, transform, shape):
    assert expect_exact(polygons, transform, shape).any()


def tiny_column(rng):
    """A column position within 1e-290 of the grid's left edge, on either side, often subnormal."""
    return float(rng.choice([-1.0, 1.0]) * 10.0 ** rng.uniform(-323.5, -290))


def subnormal_case(kind, rng):
    """(polygons, shape) of one drawn ring of `kind` hugging column 0, in pixel (= world) coordinates."""
    shape = (int(rng.integers(1, 4)), int(rng.integers(1, 5)))
    rows, cols = shape

    def v():
        return float(rng.uniform(-0.5, rows + 0.5))

    if kind == "sliver":  # no area at all, yet its edges cross every row it spans
        return [(ring(*[(tiny_column(rng), v()) for _ in range(int(rng.integers(3, 7)))]), [])], shape
    if kind == "triangle":  # one or two corners at column 0, the rest across the grid
        corners = [(tiny_column(rng), v()), (float(rng.uniform(0.2, cols + 1)), v())]
        corners.append((tiny_column(rng), v()) if rng.random() < 0.5 else (float(rng.uniform(0.2, cols + 1)), v()))
        return [(ring(*corners), [])], shape
    # a hole whose left side runs down column 0, inside a frame over the whole grid
    top, bottom, right = float(rng.uniform(0, rows / 2)), float(rng.uniform(rows / 2, rows)), float(rng.uniform(0.3, cols))
    frame = ring((-1, -1), (cols + 1, -1), (cols + 1, rows + 1), (-1, rows + 1))
    hole = ring((tiny_column(rng), top), (right, top), (right, bottom), (tiny_column(rng), bottom))
    return [(frame, [hole])], shape


@pytest.mark.parametrize("kind", ["sliver", "triangle", "hole"])
def test_rings_hugging_column_zero_match_exact_areas(kind):
    rng = np.random.default_rng(["sliver", "triangle", "hole"].index(kind) + 20261210)
    wrong = []
    for draw in range(150):
        polygons, shape = subnormal_case(kind, rng)
        try:
            expect_exact(polygons, IDENTITY, shape)
        except AssertionError as error:
            wrong.append(f"draw {draw}: {polygons}\n{error}")
    assert not wrong, f"{len(wrong)} of 150 draws off the exact areas; the first:\n{wrong[0]}"
