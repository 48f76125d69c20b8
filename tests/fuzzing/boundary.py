"""Fuzzed boundary: arbitrary values at every parameter of both functions.

Each example starts from a valid call and replaces some of its arguments with
arbitrary values or near misses (the right kind of object with a wrong dtype,
dimension count, layout or size), then passes them by position or keyword,
sometimes with a missing, duplicated or unknown argument.
"""
import operator

import numpy as np
from hypothesis import given
from hypothesis import strategies as st

import velkan
from fuzzing.harness import checked_call
from fuzzing.values import (
    any_array,
    anything,
    arrays_of,
    containers_that_misbehave,
    floats_of_every_kind,
    hook_objects,
    ints_of_every_size,
    numpy_scalars,
    texts,
)

CONNECTIVITY_PARAMETERS = ["condition", "mask", "transgrid_list", "transforms", "levels", "lambdas", "is_geo",
                           "max_cost", "window_size", "outer_window", "offsets", "traversal", "n_threads",
                           "window_mode", "pa_to_pa"]
COVERAGE_PARAMETERS = ["polygons", "transform", "shape", "n_threads"]

# Thread counts from 9 up to 2^64 - 1 build pools of thousands of threads (each
# call then takes seconds); they are left out, everything else is fair game.
def cheap_thread_count(value):
    try:
        count = operator.index(value)
    except Exception:  # noqa: BLE001 - no integer value: refused before any pool exists
        return True
    return not 9 <= count < 2**64


thread_counts = st.one_of(st.none(), st.integers(-3, 8), st.integers(max_value=-1), st.integers(min_value=2**64),
                          hook_objects(), anything()).filter(cheap_thread_count)


def sometimes(strategy, *others):
    """`strategy` or one of `others`: the valid value or a near miss."""
    return st.one_of(strategy, *others)


def affine_tuples():
    return st.tuples(*[floats_of_every_kind()] * 6)


def f32_rasters(shape):
    return arrays_of(np.float32, shape, elements=st.floats(width=32))


@st.composite
def near_miss_arrays(draw, ndim, dtype):
    """Arrays close to what a parameter wants: its dtype in another dimension count, or another dtype."""
    shape = draw(st.lists(st.integers(0, 4), min_size=max(ndim - 1, 0), max_size=ndim + 1).map(tuple))
    chosen = draw(st.sampled_from([dtype, np.dtype(dtype).newbyteorder(), np.float64, np.float32, np.bool_,
                                   np.uint8, np.float16, object]))
    return draw(arrays_of(chosen, shape))


@st.composite
def connectivity_arguments(draw):
    rows, cols = draw(st.integers(0, 6)), draw(st.integers(0, 6))
    levels = draw(st.sampled_from([[1], [1, 2], [1, 2, 4], [2, 1], [1, 1, 2]]))
    transforms = {level: (100.0 * level, 0.0, 0.0, 0.0, -100.0 * level, 0.0) for level in set(levels)}
    bands = draw(st.integers(0, 3))
    valid = dict(
        condition=draw(f32_rasters((rows, cols))),
        mask=draw(arrays_of(np.bool_, (rows + draw(st.integers(0, 1)), cols))),
        transgrid_list=draw(st.one_of(st.none(), st.lists(st.one_of(st.none(), f32_rasters((rows, cols, bands))),
                                                          max_size=2))),
        transforms=transforms,
        levels=levels,
        lambdas=draw(st.lists(st.floats(0.5, 500.0), min_size=1, max_size=3)),
        is_geo=draw(st.booleans()),
        max_cost=draw(st.floats(0.0, 1.0)),
        window_size=draw(st.sampled_from([1, 3, 5])),
        outer_window=draw(st.sampled_from([3, 5, 7])),
        offsets=(draw(st.integers(0, 40)), draw(st.integers(0, 40))),
        traversal=draw(st.one_of(st.none(), f32_rasters((rows, cols)))),
        n_threads=draw(st.one_of(st.none(), st.integers(0, 3))),
        window_mode=draw(st.sampled_from(["circular", "square", " Square\t"])),
        pa_to_pa=draw(st.sampled_from([False, True, np.bool_(True)])),
    )
    odd = {
        "condition": near_miss_arrays(2, np.float32),
        "mask": near_miss_arrays(2, np.bool_),
        "transgrid_list": st.one_of(st.lists(st.one_of(st.none(), near_miss_arrays(3, np.float32), anything()),
                                             max_size=3),
                                    st.lists(f32_rasters((rows, cols, 1)), max_size=2).map(tuple)),
        "transforms": st.one_of(st.dictionaries(st.one_of(ints_of_every_size(), hook_objects(), st.none(),
                                                          floats_of_every_kind(), texts(), st.tuples(st.integers())),
                                                st.one_of(affine_tuples(), anything()), max_size=3),
                                containers_that_misbehave()),
        "levels": st.one_of(st.lists(st.one_of(ints_of_every_size(), hook_objects()), max_size=4),
                            arrays_of(np.int64, (draw(st.integers(0, 3)),), elements=st.integers(-4, 8)),
                            texts()),
        "lambdas": st.one_of(st.lists(st.one_of(floats_of_every_kind(), numpy_scalars(), hook_objects()),
                                      max_size=4), any_array(max_dims=2)),
        "is_geo": st.one_of(numpy_scalars(), hook_objects()),
        "max_cost": st.one_of(floats_of_every_kind(), numpy_scalars(), hook_objects()),
        "window_size": st.one_of(ints_of_every_size(), hook_objects()),
        "outer_window": st.one_of(ints_of_every_size(), hook_objects()),
        "offsets": st.one_of(st.tuples(ints_of_every_size(), ints_of_every_size()),
                             st.lists(ints_of_every_size(), max_size=3).map(tuple)),
        "traversal": near_miss_arrays(2, np.float32),
        "n_threads": thread_counts,
        "window_mode": texts(),
        "pa_to_pa": st.one_of(numpy_scalars(), hook_objects()),
    }
    return valid, odd


@st.composite
def coverage_arguments(draw):
    ring = st.one_of(arrays_of(np.float64, (draw(st.integers(0, 6)), 2), elements=floats_of_every_kind()),
                     near_miss_arrays(2, np.float64), anything())
    polygon = st.one_of(st.tuples(ring, st.lists(ring, max_size=2)), anything())
    small = st.integers(0, 12)
    valid = dict(
        polygons=draw(st.lists(st.tuples(arrays_of(np.float64, (4, 2), elements=st.floats(-2, 14)),
                                         st.lists(arrays_of(np.float64, (3, 2), elements=st.floats(-2, 14)),
                                                  max_size=1)), max_size=3)),
        transform=draw(st.sampled_from([(1.0, 0.0, 0.0, 0.0, 1.0, 0.0), (0.5, 0.0, 1.0, 0.0, -0.5, 8.0),
                                        (1.0, 0.3, 0.0, -0.2, 1.0, 0.0)])),
        shape=(draw(small), draw(small)),
        n_threads=draw(st.one_of(st.none(), st.integers(0, 3))),
    )
    # Shapes are either small or far beyond any memory: a shape of a few GB
    # would be allocated and filled, which proves nothing and takes long.
    huge = st.integers(min_value=2**36)
    shape_items = st.one_of(small, huge, st.integers(max_value=-1), hook_objects(), anything())
    odd = {
        "polygons": st.one_of(st.lists(polygon, max_size=3), anything()),
        "transform": st.one_of(affine_tuples(), st.lists(floats_of_every_kind(), max_size=7).map(tuple),
                               st.lists(st.one_of(floats_of_every_kind(), hook_objects(), numpy_scalars()),
                                        min_size=6, max_size=6).map(tuple), anything()),
        "shape": st.one_of(st.tuples(shape_items, shape_items).filter(lambda s: not big_but_allocatable(s)),
                           st.lists(small, max_size=3).map(tuple), anything()),
        "n_threads": thread_counts,
    }
    return valid, odd


def big_but_allocatable(shape):
    """True for integer shapes of more than 10^6 cells that a machine could still allocate."""
    try:
        rows, cols = (int(v) for v in shape)
    except Exception:  # noqa: BLE001 - not integers: not a size
        return False
    return rows > 0 and cols > 0 and 10**6 < rows * cols < 2**36


@st.composite
def arrangements(draw, arguments, parameters, required):
    """Arguments with some replaced by odd values, passed by position and keyword."""
    valid, odd = draw(arguments)
    values = dict(valid)
    for name in draw(st.sets(st.sampled_from(parameters), max_size=len(parameters))):
        values[name] = draw(odd[name])
    given_names = [name for i, name in enumerate(parameters) if i < required or draw(st.booleans())]
    if draw(st.integers(0, 9)) == 0 and given_names:  # leave one out
        given_names.remove(draw(st.sampled_from(given_names)))
    positional = draw(st.integers(0, len(given_names)))
    # Positional arguments fill parameters in order; past a gap the rest must be keywords.
    in_order = 0
    while in_order < positional and given_names[in_order] == parameters[in_order]:
        in_order += 1
    args = [values[name] for name in given_names[:in_order]]
    kwargs = {name: values[name] for name in given_names[in_order:]}
    extra = draw(st.integers(0, 19))
    if extra == 0:
        kwargs[draw(st.sampled_from(["threads", "Shape", "\ud800", "", "condition", "polygons"]))] = None
    elif extra == 1:
        args = args + [None] * draw(st.integers(1, 3))
    return args, kwargs, values


def expect_connectivity_result(values):
    def check(result):
        condition = values["condition"]
        assert type(result) is np.ndarray and result.dtype == np.float32
        assert result.shape == condition.shape, (result.shape, condition.shape)
        assert result.flags.c_contiguous and result.flags.owndata
        rows, cols = result.shape
        assert np.isnan(result[np.asarray(values["mask"])[:rows, :cols]]).all(), "a masked cell has a value"
    return check


def expect_coverage_result(values):
    def check(result):
        assert type(result) is np.ndarray and result.dtype == np.float32 and result.ndim == 2
        assert result.shape == tuple(int(v) for v in values["shape"]), (result.shape, values["shape"])
        assert result.flags.c_contiguous and result.flags.owndata
        assert ((result >= 0) & (result <= 1)).all(), "coverage outside [0, 1] or NaN"
    return check


@given(arrangements(connectivity_arguments(), CONNECTIVITY_PARAMETERS, 11))
def connectivity_survives_any_arguments(call):
    args, kwargs, values = call
    checked_call("connectivity_survives_any_arguments", velkan.connectivity, args, kwargs,
                 expect_connectivity_result(values), rtol=1e-5)


@given(arrangements(coverage_arguments(), COVERAGE_PARAMETERS, 3))
def pixel_coverage_survives_any_arguments(call):
    args, kwargs, values = call
    checked_call("pixel_coverage_survives_any_arguments", velkan.pixel_coverage, args, kwargs,
                 expect_coverage_result(values))


def any_float32_raster(result):
    assert type(result) is np.ndarray and result.dtype == np.float32 and result.ndim == 2


@given(st.lists(anything(), max_size=16), st.dictionaries(st.text(max_size=12), anything(), max_size=4))
def both_survive_arbitrary_argument_lists(args, kwargs):
    for function in (velkan.connectivity, velkan.pixel_coverage):
        checked_call("both_survive_arbitrary_argument_lists", function, args, kwargs, any_float32_raster)


PROPERTIES = [connectivity_survives_any_arguments, pixel_coverage_survives_any_arguments,
              both_survive_arbitrary_argument_lists]
