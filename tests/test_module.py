"""The module object, its function table and the binder's TypeErrors."""
import inspect

import numpy as np
import pytest

import velkan


def test_all_lists_functions_in_table_order():
    assert velkan.__all__ == ["connectivity", "pixel_coverage"]
    assert not hasattr(velkan, "InternalError")


@pytest.mark.parametrize("name", ["connectivity", "pixel_coverage"])
def test_text_signature_reproduces_first_docstring_line(name):
    function = getattr(velkan, name)
    assert function.__module__ == "velkan"
    first_line = function.__text_signature__
    assert f"{name}{inspect.signature(function)}".replace("'", '"') == f"{name}{first_line}"


def test_docstrings_describe_arguments():
    doc = velkan.connectivity.__doc__
    assert doc.startswith("Compute habitat/KOVA connectivity and OLVI.\n\n# Arguments\n")
    assert "\n* `offsets` -\n" in doc
    assert "(e.g. 3 gives an effective 6×6 current-level window)." in doc
    assert doc.endswith("A 2D array of connectivity values for each cell at the native resolution.")
    assert "`levels`" not in doc
    cov = velkan.pixel_coverage.__doc__
    assert cov.startswith("Compute the proportion of each raster pixel covered by a (multi)polygon.")
    assert cov.endswith("A 2D float32 array of shape `shape` with values in [0, 1].")


SQUARE = np.array([[0, 0], [1, 0], [1, 1], [0, 1]], dtype=np.float64)
T = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)


@pytest.mark.parametrize(
    "args, kwargs, text",
    [
        ((), {}, "pixel_coverage() missing 3 required positional arguments: 'polygons', 'transform', and 'shape'"),
        (([], T), {}, "pixel_coverage() missing 1 required positional argument: 'shape'"),
        (([],), {}, "pixel_coverage() missing 2 required positional arguments: 'transform' and 'shape'"),
        (([], T, (1, 1), None, 5), {}, "pixel_coverage() takes from 3 to 4 positional arguments but 5 were given"),
        (([], T, (1, 1)), {"polygons": []}, "pixel_coverage() got multiple values for argument 'polygons'"),
        (([], T, (1, 1)), {"threads": 2}, "pixel_coverage() got an unexpected keyword argument 'threads'"),
        # a keyword that is not valid UTF-8 names no parameter either
        (([], T, (1, 1)), {"\ud800s": 2}, "pixel_coverage() got an unexpected keyword argument '\ud800s'"),
        # a wrong keyword is reported before the missing arguments
        (([],), {"threads": 2}, "pixel_coverage() got an unexpected keyword argument 'threads'"),
    ],
)
def test_pixel_coverage_binder(args, kwargs, text):
    with pytest.raises(TypeError) as info:
        velkan.pixel_coverage(*args, **kwargs)
    assert type(info.value) is TypeError
    assert str(info.value) == text


def test_connectivity_binder(conn_args):
    positional = list(conn_args().values())
    with pytest.raises(TypeError, match=r"^connectivity\(\) missing 2 required positional arguments: "
                                        r"'outer_window' and 'offsets'$"):
        velkan.connectivity(*positional[:9])
    with pytest.raises(TypeError, match=r"^connectivity\(\) takes from 11 to 15 positional arguments but 16 were given$"):
        velkan.connectivity(*positional, None, None, "circular", False, None)
    with pytest.raises(TypeError, match=r"^connectivity\(\) got multiple values for argument 'condition'$"):
        velkan.connectivity(*positional, condition=None)


def test_prefix_keeps_the_cause_of_the_underlying_error():
    class Exploding:
        def __index__(self):
            try:
                raise KeyError("inner")
            except KeyError as exc:
                raise TypeError("no index here") from exc

    with pytest.raises(TypeError) as info:
        velkan.pixel_coverage([], T, (Exploding(), 1))
    assert str(info.value) == "argument 'shape': no index here"
    assert isinstance(info.value.__cause__, KeyError)


def test_prefix_only_for_exact_type_error():
    class MyTypeError(TypeError):
        pass

    class Odd:
        def __index__(self):
            raise MyTypeError("subclass")

    with pytest.raises(MyTypeError, match="^subclass$"):
        velkan.pixel_coverage([], T, (Odd(), 1))


def internal_error_class():
    """Provoke an internal error (a shape whose byte size overflows) and return its class."""
    try:
        velkan.pixel_coverage([], T, (2**62, 2**62))
    except BaseException as exc:  # noqa: B036 - that is the point
        return type(exc)
    raise AssertionError("expected an internal error")


def test_internal_error_derives_from_base_exception_only():
    cls = internal_error_class()
    assert cls.__name__ == "InternalError"
    assert issubclass(cls, BaseException) and not issubclass(cls, Exception)
    assert "BaseException" in cls.__doc__
    caught_by_exception = False
    try:
        try:
            velkan.pixel_coverage([], T, (2**62, 2**62))
        except Exception:
            caught_by_exception = True
    except BaseException as exc:
        assert type(exc) is cls
        assert "overflow" in str(exc)
    assert not caught_by_exception


@pytest.mark.parametrize("n_threads", [None, 0, 1, 3])
def test_thread_counts_are_accepted(n_threads):
    out = velkan.pixel_coverage([(SQUARE, [])], T, (2, 2), n_threads=n_threads)
    assert out[0, 0] == 1.0 and out.sum() == 1.0
