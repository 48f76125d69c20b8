"""Fuzzed geometry for pixel_coverage: random and adversarial rings and transforms.

Every result lies in [0, 1] and is the same for any thread count; where the
rings are simple and finite the values agree with shapely's exact areas.
"""
import math

import numpy as np
import shapely
from hypothesis import assume, example, given
from hypothesis import strategies as st

import velkan
from fuzzing.harness import checked_call

TOLERANCE = 1e-6
THREAD_COUNTS = (1, 2, 3)
IDENTITY = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)

# Found by this suite: an edge from the smallest subnormal column to column 0
# is too narrow to divide its height by (a sanitized run stopped on the
# undefined conversion that followed; the row's later cells came out 1).
SUBNORMAL_TRIANGLE = [(6.506071632442581, 0.0), (0.0, 0.0), (5e-324, 2.3320491906965035)]
# The same in a hole, and edges of width 5e-309 (1e300-wide pixels from world x of +-5e-9).
SUBNORMAL_HOLE = [(-1e-310, 0.25), (4.5, 0.25), (4.5, 2.75), (1e-310, 2.75)]
FRAME = [(-0.5, -0.5), (6.5, -0.5), (6.5, 3.5), (-0.5, 3.5)]
SUBNORMAL_QUAD = [(-5e-309, 0.0), (2.5, 0.0), (1.5, 3.0), (5e-309, 3.0)]


def coordinates():
    """Pixel-space coordinates: mostly near the grid, sometimes far, huge or not finite."""
    return st.one_of(
        st.floats(-4, 44), st.floats(-4, 44), st.integers(-4, 44).map(float),
        st.sampled_from([1e15, -1e15, 1e15 + 0.5, 1e300, -1e300, 1.7976931348623157e308, 5e-324, -0.0,
                         math.inf, -math.inf, math.nan]),
        st.floats(),
    )


@st.composite
def adversarial_rings(draw):
    kind = draw(st.sampled_from(["random", "repeated", "sliver", "short", "star", "spiky"]))
    if kind == "random":  # usually self-intersecting
        return draw(st.lists(st.tuples(coordinates(), coordinates()), min_size=3, max_size=12))
    if kind == "repeated":
        base = draw(st.lists(st.tuples(coordinates(), coordinates()), min_size=1, max_size=5))
        return [vertex for vertex in base for _ in range(draw(st.integers(1, 3)))]
    if kind == "sliver":  # points on one line: zero area
        x0, y0, dx, dy = (draw(st.floats(-4, 40)) for _ in range(4))
        return [(x0 + t * dx, y0 + t * dy) for t in draw(st.lists(st.floats(-2, 2), min_size=3, max_size=8))]
    if kind == "short":
        return draw(st.lists(st.tuples(coordinates(), coordinates()), max_size=2))
    # Many vertices, so that the ring's rows are spread over the pool.
    cx, cy, radius = draw(st.floats(-5, 45)), draw(st.floats(-5, 45)), draw(st.floats(0.5, 40))
    n = draw(st.integers(200, 1500))
    angles = np.linspace(0, 2 * np.pi, n, endpoint=False)
    radii = radius * (1 + (0.3 if kind == "spiky" else 0.05) * np.sin(angles * draw(st.integers(3, 40))))
    ring = np.column_stack([cx + radii * np.cos(angles), cy + radii * np.sin(angles)])
    if kind == "spiky":
        ring[draw(st.integers(0, n - 1))] = (draw(coordinates()), draw(coordinates()))
    return ring


def transforms():
    normal = st.tuples(st.floats(0.25, 4), st.floats(-1, 1), st.floats(-50, 50), st.floats(-1, 1),
                       st.floats(-4, -0.25), st.floats(-50, 50))
    coefficient = st.one_of(st.floats(), st.sampled_from([0.0, 1e-300, 1e-160, 1e300, 1e15, math.nan, math.inf]))
    return st.one_of(
        st.just(IDENTITY),
        normal,
        st.tuples(*[coefficient] * 6),
        st.sampled_from([(1.0, 2.0, 0.0, 2.0, 4.0, 0.0), (0.0,) * 6, (1e-160, 0.0, 0.0, 0.0, 1e-160, 0.0),
                         (1e-300, 1e-300, 0.0, 1e-300, 1.000001e-300, 0.0), (1.0, 0.0, 1e15, 0.0, 1.0, 1e15)]),
    )


def ring_array(vertices, layout):
    array = np.asarray(vertices, dtype=np.float64).reshape(-1, 2)
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "reversed":  # the ring walked backwards
        return array[::-1]
    return array


def run_all_thread_counts(name, polygons, transform, shape):
    first = checked_call(name, velkan.pixel_coverage, [polygons, transform, shape], {"n_threads": 1},
                         lambda out: check_range(out, shape))
    for n_threads in THREAD_COUNTS[1:]:
        other = velkan.pixel_coverage(polygons, transform, shape, n_threads=n_threads)
        assert other.tobytes() == first.tobytes(), f"n_threads={n_threads} changes the result"
    return first


def check_range(out, shape):
    assert out.dtype == np.float32 and out.shape == shape
    assert ((out >= 0) & (out <= 1)).all(), f"values outside [0, 1]: {out[~((out >= 0) & (out <= 1))][:5]}"


@example([(SUBNORMAL_TRIANGLE, []), (FRAME, [SUBNORMAL_TRIANGLE])], IDENTITY, (2, 5), "plain")
@given(st.lists(st.tuples(adversarial_rings(), st.lists(adversarial_rings(), max_size=2)), min_size=1, max_size=3),
       transforms(), st.tuples(st.integers(0, 48), st.integers(0, 48)), st.sampled_from(["plain", "fortran",
                                                                                         "reversed"]))
def any_rings_stay_in_range_for_every_thread_count(polygons, transform, shape, layout):
    polygons = [(ring_array(exterior, layout), [ring_array(h, layout) for h in holes]) for exterior, holes in polygons]
    run_all_thread_counts("any_rings_stay_in_range_for_every_thread_count", polygons, transform, shape)


@given(adversarial_rings(), transforms(), st.tuples(st.integers(1, 48), st.integers(1, 48)))
def a_hole_equal_to_its_exterior_cancels_it(ring, transform, shape):
    ring = ring_array(ring, "plain")
    out = run_all_thread_counts("a_hole_equal_to_its_exterior_cancels_it", [(ring, [ring.copy()])], transform,
                                shape)
    assert not out.any(), f"{np.count_nonzero(out)} cells keep a value"


@st.composite
def sliver_rings(draw):
    """Rings of zero area: all vertices on one line, visited back and forth."""
    x0, y0 = draw(st.floats(-4, 40)), draw(st.floats(-4, 40))
    angle = draw(st.one_of(st.sampled_from([0.0, math.pi / 2, math.pi / 4]), st.floats(0, math.pi)))
    ts = draw(st.lists(st.floats(-20, 20), min_size=3, max_size=10))
    return [(x0 + t * math.cos(angle), y0 + t * math.sin(angle)) for t in ts]


@example([(5e-324, 0.5), (0.0, 2.5), (-5e-324, 3.5)], (4, 3))
@given(sliver_rings(), st.tuples(st.integers(1, 40), st.integers(1, 40)))
def zero_area_slivers_cover_nothing(ring, shape):
    out = run_all_thread_counts("zero_area_slivers_cover_nothing", [(ring_array(ring, "plain"), [])],
                                (1.0, 0.0, 0.0, 0.0, 1.0, 0.0), shape)
    assert out.max() <= TOLERANCE, f"a zero-area ring covers {out.max()}"


# ---- simple, finite rings against shapely -----------------------------------------------

@st.composite
def star_ring(draw, cx, cy, max_radius):
    """A simple ring: vertices at increasing angles around (cx, cy), some repeated or collinear."""
    n = draw(st.integers(3, 40))
    angles = sorted(set(draw(st.lists(st.floats(0, 2 * math.pi, exclude_max=True), min_size=n, max_size=n))))
    assume(len(angles) >= 3)
    radii = draw(st.lists(st.floats(0.05 * max_radius, max_radius), min_size=len(angles), max_size=len(angles)))
    ring = [(cx + r * math.cos(a), cy + r * math.sin(a)) for a, r in zip(angles, radii)]
    extras = draw(st.sampled_from(["none", "repeat", "midpoints", "closed"]))
    if extras == "repeat":
        i = draw(st.integers(0, len(ring) - 1))
        ring.insert(i, ring[i])
    elif extras == "midpoints":  # collinear vertices
        ring = [p for a, b in zip(ring, ring[1:] + ring[:1]) for p in (a, ((a[0] + b[0]) / 2, (a[1] + b[1]) / 2))]
    elif extras == "closed":
        ring.append(ring[0])
    if draw(st.booleans()):
        ring.reverse()
    return ring


@st.composite
def simple_polygons(draw):
    """(exterior, holes) in pixel space, valid by shapely's rules (holes inside, no crossings)."""
    cx, cy = draw(st.floats(-3, 35)), draw(st.floats(-3, 35))
    radius = draw(st.floats(0.2, 25))
    exterior = draw(star_ring(cx, cy, radius))
    holes = []
    for _ in range(draw(st.integers(0, 2))):
        hx, hy = cx + draw(st.floats(-0.3, 0.3)) * radius, cy + draw(st.floats(-0.3, 0.3)) * radius
        holes.append(draw(star_ring(hx, hy, radius * draw(st.floats(0.01, 0.3)))))
    return exterior, holes


def transform_families():
    """Identity, north-up grids of power-of-two cells near 1e15, general affine grids."""
    far = st.builds(lambda k, x0, y0: (2.0**k, 0.0, x0, 0.0, -(2.0**k), y0),
                    st.integers(0, 3), st.floats(9e14, 1e15).map(round), st.floats(-1e15, -9e14).map(round))
    general = st.tuples(st.floats(0.3, 3), st.floats(-1, 1), st.floats(-1e4, 1e4), st.floats(-1, 1),
                        st.floats(0.3, 3).map(lambda v: -v), st.floats(-1e4, 1e4)).filter(
        lambda t: abs(t[0] * t[4] - t[1] * t[3]) > 0.05)
    return st.one_of(st.just((1.0, 0.0, 0.0, 0.0, 1.0, 0.0)), far, general)


def to_world(ring, t):
    a, b, c, d, e, f = t
    return [(a * u + b * v + c, d * u + e * v + f) for u, v in ring]


def to_pixels(ring, t):
    """The pixel-space ring of world vertices, by the rasteriser's own formula."""
    a, b, c, d, e, f = t
    det = a * e - b * d
    x, y = np.asarray(ring)[:, 0] - c, np.asarray(ring)[:, 1] - f
    return np.column_stack([(e * x - b * y) / det, (a * y - d * x) / det])


def expected_coverage(pixel_polygons, shape):
    """Per-pixel areas from shapely, exteriors minus holes, summed over polygons and clamped.

    Measured in pixel space against axis-aligned unit boxes: GEOS's overlay of
    a sliver with a sheared world-space pixel once returned the whole pixel. An
    example where shapely contradicts itself is set aside.
    """
    rows, cols = shape
    r, k = np.mgrid[0:rows, 0:cols]
    cells = shapely.box(k.ravel(), r.ravel(), k.ravel() + 1, r.ravel() + 1)
    grid = shapely.box(0, 0, cols, rows)
    total = np.zeros(rows * cols)
    for exterior, holes in pixel_polygons:
        polygon = shapely.Polygon(exterior, holes)
        areas = shapely.area(shapely.intersection(polygon, cells))
        # The reference must agree with itself: its cells add up to its overlap with the grid.
        assume(abs(areas.sum() - shapely.intersection(polygon, grid).area) < 1e-9)
        total += areas
    return np.clip(total, 0, 1).reshape(rows, cols)


@example([(SUBNORMAL_TRIANGLE, [])], IDENTITY, (2, 5))
@example([(FRAME, [SUBNORMAL_HOLE])], IDENTITY, (4, 7))
@example([(SUBNORMAL_QUAD, [])], (1e300, 0.0, 0.0, 0.0, 1.0, 0.0), (3, 3))
@given(st.lists(simple_polygons(), min_size=1, max_size=3), transform_families(),
       st.tuples(st.integers(1, 40), st.integers(1, 40)))
def simple_rings_match_shapely(polygons, transform, shape):
    world = [(np.array(to_world(ext, transform)), [np.array(to_world(h, transform)) for h in holes])
             for ext, holes in polygons]
    pixels = [(to_pixels(ext, transform), [to_pixels(h, transform) for h in holes]) for ext, holes in world]
    for exterior, holes in pixels:
        assume(shapely.Polygon(exterior, holes).is_valid)
    out = run_all_thread_counts("simple_rings_match_shapely", world, transform, shape)
    expected = expected_coverage(pixels, shape)
    worst = np.abs(out - expected).max()
    assert worst <= TOLERANCE, f"off shapely by {worst} at {np.unravel_index(np.abs(out - expected).argmax(), shape)}"


PROPERTIES = [any_rings_stay_in_range_for_every_thread_count, a_hole_equal_to_its_exterior_cancels_it,
              zero_area_slivers_cover_nothing, simple_rings_match_shapely]
