"""connectivity's argument conversions, their texts and the order of the checks."""
import numpy as np
import pytest

import velkan

F32 = np.float32


def call(args):
    return velkan.connectivity(**args)


def raises(args, cls, text):
    with pytest.raises(BaseException) as info:
        call(args)
    assert type(info.value) is cls, (type(info.value), str(info.value))
    assert str(info.value) == text
    return info.value


@pytest.mark.parametrize(
    "name, value, cls, text",
    [
        ("levels", "124", TypeError, "argument 'levels': Can't extract `str` to `Vec`"),
        ("levels", 1, TypeError, "argument 'levels': 'int' object is not an instance of 'Sequence'"),
        ("levels", [1.0], TypeError, "argument 'levels': 'float' object cannot be interpreted as an integer"),
        ("lambdas", "2", TypeError, "argument 'lambdas': Can't extract `str` to `Vec`"),
        ("lambdas", [2.0, "x"], TypeError, "argument 'lambdas': must be real number, not str"),
        ("is_geo", 1, TypeError, "argument 'is_geo': 'int' object is not an instance of 'bool'"),
        ("is_geo", None, TypeError, "argument 'is_geo': 'None' is not an instance of 'bool'"),
        ("max_cost", "0.2", TypeError, "argument 'max_cost': must be real number, not str"),
        ("window_size", 3.0, TypeError, "argument 'window_size': 'float' object cannot be interpreted as an integer"),
        ("offsets", [0, 0], TypeError, "argument 'offsets': 'list' object is not an instance of 'tuple'"),
        ("offsets", (0, 0, 0), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ("window_mode", None, TypeError, "argument 'window_mode': 'None' is not an instance of 'str'"),
        ("pa_to_pa", 0, TypeError, "argument 'pa_to_pa': 'int' object is not an instance of 'bool'"),
        ("n_threads", "2", TypeError, "argument 'n_threads': 'str' object cannot be interpreted as an integer"),
    ],
)
def test_scalar_refusals(conn_args, name, value, cls, text):
    raises(conn_args(**{name: value}), cls, text)


@pytest.mark.parametrize(
    "name, value",
    [("levels", [1, -2]), ("offsets", (-1, 0)), ("window_size", 2**31), ("outer_window", -(2**31) - 1),
     ("n_threads", -1)],
)
def test_out_of_range_integers_are_unprefixed_overflow_errors(conn_args, name, value):
    with pytest.raises(OverflowError) as info:
        call(conn_args(**{name: value}))
    assert type(info.value) is OverflowError
    assert not str(info.value).startswith("argument")


def test_scalar_conversions_stop_at_the_first_in_order(conn_args):
    # levels is converted before is_geo, is_geo before offsets
    raises(conn_args(levels="1", is_geo=1), TypeError, "argument 'levels': Can't extract `str` to `Vec`")
    raises(conn_args(is_geo=1, offsets=[0]), TypeError, "argument 'is_geo': 'int' object is not an instance of 'bool'")


@pytest.mark.parametrize(
    "overrides, text",
    [
        ({"condition": np.ones((3, 3))},
         "Reading condition failed: Failed to extract 2D array: 'ndarray' object is not an instance of 'ndarray'"),
        ({"condition": [[1.0]]},
         "Reading condition failed: Failed to extract 2D array: 'list' object is not an instance of 'ndarray'"),
        ({"condition": np.ones((3, 3, 1), F32)},
         "Reading condition failed: Failed to extract 2D array: 'ndarray' object is not an instance of 'ndarray'"),
        ({"mask": None}, "Reading mask failed: Mask must be provided!"),
        ({"mask": np.zeros((6, 7), np.uint8)},
         "Reading mask failed: Failed to extract mask array: 'ndarray' object is not an instance of 'ndarray'"),
        ({"traversal": np.ones((6, 7))},
         "Reading traversal failed: Failed to extract 2D array: 'ndarray' object is not an instance of 'ndarray'"),
        # a bad condition is reported before a missing mask
        ({"condition": np.ones((3, 3)), "mask": None},
         "Reading condition failed: Failed to extract 2D array: 'ndarray' object is not an instance of 'ndarray'"),
    ],
)
def test_array_refusals(conn_args, overrides, text):
    raises(conn_args(**overrides), RuntimeError, text)


TRANSFORM_PREFIX = "Faild getting transform information: "


@pytest.mark.parametrize(
    "transforms, text",
    [
        ({1: [1.0, 0, 0, 0, 1, 0]}, "TypeError: 'list' object is not an instance of 'tuple'"),
        ({1: (1.0, 0, 0, 0, 1)}, "ValueError: expected tuple of length 6, but got tuple of length 5"),
        ({1: (1.0, 0, 0, 0, 1, "x")}, "TypeError: must be real number, not str"),
        ({"1": (1.0, 0, 0, 0, 1, 0)}, "TypeError: 'str' object cannot be interpreted as an integer"),
        ({2**31: (1.0, 0, 0, 0, 1, 0)}, "OverflowError: Python int too large to convert to C int"),
        ([(1, (1.0, 0, 0, 0, 1, 0))], "AttributeError: 'list' object has no attribute 'items'"),
    ],
)
def test_transform_refusals(conn_args, transforms, text):
    raises(conn_args(transforms=transforms), RuntimeError, TRANSFORM_PREFIX + text)


def test_transform_items_that_raise(conn_args):
    class Broken:
        def items(self):
            raise KeyError("nope")

    raises(conn_args(transforms=Broken()), RuntimeError, TRANSFORM_PREFIX + "KeyError: 'nope'")


def test_transgrid_list_must_be_a_list(conn_args):
    grid = np.ones((6, 7, 2), F32)
    raises(conn_args(transgrid_list=(grid,)), TypeError, "'tuple' object is not an instance of 'list'")


def test_bad_transgrid_item_is_internal(conn_args):
    with pytest.raises(BaseException) as info:
        call(conn_args(transgrid_list=[np.ones((6, 7), F32)]))
    assert type(info.value).__name__ == "InternalError"
    assert "Failed to extract 3D array: 'ndarray' object is not an instance of 'ndarray'" in str(info.value)


@pytest.mark.parametrize(
    "mode, shown",
    [("", ""), ("   ", ""), ("Squares", "squares"), ("\u00a0CIRCLE\u3000", "circle"), ("Ärea", "Ärea")],
)
def test_window_mode_names_no_mode(conn_args, mode, shown):
    raises(conn_args(window_mode=mode), ValueError, f"Invalid window_mode '{shown}'. Expected 'square' or 'circular'.")


def test_window_mode_value_checked_after_arrays(conn_args):
    # the bad mask is reported first, though window_mode comes later in the signature...
    raises(conn_args(window_mode="hexagon", mask=None), RuntimeError, "Reading mask failed: Mask must be provided!")
    # ...while a window_mode that is not a str at all is reported before any array
    raises(conn_args(window_mode=3, mask=None), TypeError, "argument 'window_mode': 'int' object is not an instance of 'str'")


def test_window_mode_with_lone_surrogate_keeps_encoding_error(conn_args):
    with pytest.raises(UnicodeEncodeError):
        call(conn_args(window_mode="\ud800"))
