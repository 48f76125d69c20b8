"""pixel_coverage's argument conversions and polygon reading: classes, texts, order."""
import numpy as np
import pytest

import velkan

T = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)
RING = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype=np.float64)
PREFIX = "Reading polygons failed: "


def raises(cls, text, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        velkan.pixel_coverage(*args, **kwargs)
    assert type(info.value) is cls, (type(info.value), str(info.value))
    assert str(info.value) == text


@pytest.mark.parametrize(
    "transform, shape, kwargs, cls, text",
    [
        ([1.0, 0, 0, 0, 1, 0], (1, 1), {}, TypeError, "argument 'transform': 'list' object is not an instance of 'tuple'"),
        ((1.0,) * 9, (1, 1), {}, ValueError, "expected tuple of length 6, but got tuple of length 9"),
        ((1.0, 0, 0, 0, 1, "x"), (1, 1), {}, TypeError, "argument 'transform': must be real number, not str"),
        (T, [1, 1], {}, TypeError, "argument 'shape': 'list' object is not an instance of 'tuple'"),
        (T, (1,), {}, ValueError, "expected tuple of length 2, but got tuple of length 1"),
        (T, (1.5, 1), {}, TypeError, "argument 'shape': 'float' object cannot be interpreted as an integer"),
        (T, (1, 1), {"n_threads": 1.0}, TypeError,
         "argument 'n_threads': 'float' object cannot be interpreted as an integer"),
    ],
)
def test_argument_refusals(transform, shape, kwargs, cls, text):
    raises(cls, text, [(RING, [])], transform, shape, **kwargs)


@pytest.mark.parametrize("shape", [(-1, 5), (5, 2**64)])
def test_out_of_range_shape_is_unprefixed_overflow(shape):
    with pytest.raises(OverflowError) as info:
        velkan.pixel_coverage([], T, shape)
    assert not str(info.value).startswith("argument")


def test_transform_and_shape_accept_ints_and_numpy_scalars():
    out = velkan.pixel_coverage([(RING, [])], (1, 0, 0, 0, 1, 0), (np.int64(2), np.uint8(3)))
    assert out.shape == (2, 3) and out.dtype == np.float32
    assert out.flags.c_contiguous and out.flags.owndata
    assert out[0, 0] == 1.0 and out.sum() == 1.0


@pytest.mark.parametrize(
    "polygons, text",
    [
        ((RING, []), "Expected a list of polygons: 'tuple' object is not an instance of 'list'"),
        ([[RING, []]], "Each polygon must be (exterior, holes): TypeError: 'list' object is not an instance of 'tuple'"),
        ([(RING,)], "Each polygon must be (exterior, holes): ValueError: expected tuple of length 2, "
                    "but got tuple of length 1"),
        ([(RING, (RING,))], "Holes must be a list of arrays: 'tuple' object is not an instance of 'list'"),
        ([(RING.tolist(), [])], "Ring must be a 2D float64 array: 'list' object is not an instance of 'ndarray'"),
        ([(RING.astype(np.float32), [])], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        ([(RING.astype(">f8"), [])], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        ([(np.zeros((5, 3)), [])], "Ring array must have shape (N, 2), got [5, 3]"),
        ([(RING, [np.zeros(4)])], "Ring must be a 2D float64 array: 'ndarray' object is not an instance of 'ndarray'"),
        # a bad exterior is reported before holes that are not a list
        ([(None, None)], "Ring must be a 2D float64 array: 'None' is not an instance of 'ndarray'"),
        # the first bad polygon in list order is reported
        ([(RING, []), (np.zeros((1, 3)), []), 7], "Ring array must have shape (N, 2), got [1, 3]"),
    ],
)
def test_polygon_refusals(polygons, text):
    raises(RuntimeError, PREFIX + text, polygons, T, (2, 2))


def test_bad_shape_is_reported_before_bad_polygons():
    raises(ValueError, "expected tuple of length 2, but got tuple of length 3", "not a list", T, (1, 2, 3))


@pytest.mark.parametrize("shape", [(0, 5), (3, 0), (0, 0)])
def test_empty_shapes(shape):
    out = velkan.pixel_coverage([(RING, [])], T, shape)
    assert out.shape == shape and out.dtype == np.float32


def test_empty_list_gives_zeros():
    out = velkan.pixel_coverage([], T, (3, 4))
    assert out.shape == (3, 4) and not out.any()


@pytest.mark.parametrize("ring", [np.zeros((0, 2)), np.array([[0.0, 0.0], [1.0, 1.0]])])
def test_short_rings_are_accepted_and_contribute_nothing(ring):
    out = velkan.pixel_coverage([(ring, [ring])], T, (2, 2))
    assert not out.any()


def test_rings_are_read_by_logical_index():
    # the same ring as a Fortran-ordered, a reversed-step and a strided view
    fortran = np.asfortranarray(RING + 0.5)
    backwards = (RING + 0.5)[::-1]
    wide = np.zeros((4, 4))
    wide[:, ::2] = RING + 0.5
    strided = wide[:, ::2]
    expected = velkan.pixel_coverage([(np.ascontiguousarray(RING + 0.5), [])], T, (2, 2))
    for view in (fortran, backwards, strided):
        assert np.array_equal(velkan.pixel_coverage([(view, [])], T, (2, 2)), expected)
    assert np.allclose(expected, 0.25)


def test_ndarray_subclass_rings_are_read_by_their_data():
    class Tagged(np.ndarray):
        pass

    out = velkan.pixel_coverage([(RING.view(Tagged), [])], T, (1, 1))
    assert out[0, 0] == 1.0
