"""Hypothesis strategies for arbitrary and adversarial Python values.

Every value here is something a caller could pass: plain scalars of every size,
text with lone surrogates, nested containers, NumPy arrays of every dtype, byte
order, layout and dimension count, and objects whose conversion hooks raise or
lie about their types.
"""
import sys

import numpy as np
from hypothesis import strategies as st
from hypothesis.extra import numpy as hnp


class Boom(Exception):
    """Raised by the hooks of the odd objects below; must reach the caller unchanged."""


# Exceptions the odd objects raise from their hooks. A TypeError is re-raised
# with the argument-name prefix; any other class reaches the caller unchanged.
HOOK_ERRORS = (TypeError, ValueError, OverflowError, Boom, ZeroDivisionError)


def raising(name, error):
    def hook(self, *args):
        raise error(f"{name} refused")

    return hook


def odd_class(base, **hooks):
    return type(f"Odd{base.__name__.title()}", (base,), hooks)


class RaisingIterList(list):
    def __iter__(self):
        raise Boom("no iteration")


class RaisingLenTuple(tuple):
    def __len__(self):
        raise Boom("no length")


class RaisingItemsDict(dict):
    def items(self):
        raise Boom("no items")


class NonIterableItems(dict):
    def items(self):
        return 5


class HalfwayItems(dict):
    """items() yields one good pair, then fails."""

    def items(self):
        yield 1, (1.0, 0.0, 0.0, 0.0, -1.0, 0.0)
        raise Boom("items ran dry")


class LyingSequence:
    """Passes the sequence check but fails in length and iteration."""

    def __getitem__(self, index):
        raise IndexError(index) if index > 2 else Boom("no item")

    def __len__(self):
        raise Boom("no length")


class FakeNumpyBool:
    """Looks like numpy's bool scalar by module and name; __bool__ misbehaves."""

    def __init__(self, result):
        self.result = result

    def __bool__(self):
        if isinstance(self.result, type) and issubclass(self.result, BaseException):
            raise self.result("no truth")
        return self.result


FakeNumpyBool.__module__ = "numpy"
FakeNumpyBool.__name__ = FakeNumpyBool.__qualname__ = "bool_"


class TaggedArray(np.ndarray):
    """An ndarray subclass with extra attributes; only its data may be read."""

    def __array_finalize__(self, obj):
        self.tag = getattr(obj, "tag", "tagged")


def hook_objects():
    """Objects whose __index__, __float__, __bool__ or __str__ hooks raise or return junk."""
    errors = st.sampled_from(HOOK_ERRORS)
    plain = st.builds(
        lambda error, which: type("Odd", (), {which: raising(which, error)})(),
        errors,
        st.sampled_from(["__index__", "__float__", "__bool__", "__len__", "__iter__", "__str__"]),
    )
    junk_returns = st.sampled_from([
        type("IndexGivesStr", (), {"__index__": lambda self: "3"})(),
        type("IndexGivesHuge", (), {"__index__": lambda self: 2**100})(),
        type("IndexGivesNegative", (), {"__index__": lambda self: -7})(),
        type("FloatGivesStr", (), {"__float__": lambda self: "1.5"})(),
        type("FloatGivesNaN", (), {"__float__": lambda self: float("nan")})(),
        type("GoodIndex", (), {"__index__": lambda self: 2})(),
        type("GoodFloat", (), {"__float__": lambda self: 0.5})(),
    ])
    fake_bools = st.sampled_from([True, False, 1, None, "yes", Boom, TypeError]).map(FakeNumpyBool)
    subclass_values = st.one_of(
        st.builds(odd_class(int, __index__=raising("__index__", Boom)), st.integers()),
        st.builds(odd_class(float, __float__=raising("__float__", Boom)), st.floats()),
        st.builds(odd_class(str, __str__=raising("__str__", Boom)), st.text(max_size=5)),
    )
    return st.one_of(plain, junk_returns, fake_bools, subclass_values)


def containers_that_misbehave():
    pair = st.tuples(st.integers(-3, 3), st.tuples(*[st.floats()] * 6))
    return st.one_of(
        st.lists(st.integers(0, 4), max_size=3).map(RaisingIterList),
        st.lists(st.integers(0, 4), max_size=3).map(lambda v: RaisingLenTuple(v)),
        st.dictionaries(st.integers(-2, 2), st.none(), max_size=2).map(RaisingItemsDict),
        st.just(NonIterableItems()),
        st.just(HalfwayItems()),
        st.just(LyingSequence()),
        st.lists(pair, max_size=3).map(dict),
    )


def ints_of_every_size():
    edges = [0, 1, -1, 2**31 - 1, 2**31, -(2**31), -(2**31) - 1, 2**32, 2**63 - 1, 2**63, 2**64 - 1, 2**64,
             -(2**63) - 1, 2**100, -(2**100), 10**400]
    return st.one_of(st.integers(-8, 8), st.sampled_from(edges), st.integers())


def floats_of_every_kind():
    return st.one_of(st.floats(), st.sampled_from([float("nan"), float("inf"), -float("inf"), -0.0, 5e-324,
                                                   1.7976931348623157e308, 1e15, -1e15]))


def texts():
    # Any code point, lone surrogates included, plus the white space the
    # window-mode parser trims.
    return st.one_of(
        st.text(st.characters(codec=None, exclude_categories=()), max_size=8),
        st.sampled_from(["circular", "square", " Square\t", "CIRCULAR", "\u2003square\u3000", "\ud800", "squares",
                         "", "   ", "circular\x00"]),
    )


def numpy_scalars():
    return st.one_of(
        st.integers(-128, 127).map(np.int8),
        st.integers(0, 2**64 - 1).map(np.uint64),
        st.integers(-(2**63), 2**63 - 1).map(np.int64),
        st.floats(width=32).map(np.float32),
        st.floats().map(np.float64),
        st.booleans().map(np.bool_),
        st.complex_numbers().map(np.complex128),
        st.just(np.datetime64("2020-01-01")),
    )


def dtypes():
    return st.one_of(
        hnp.boolean_dtypes(),
        hnp.integer_dtypes(endianness="?"),
        hnp.unsigned_integer_dtypes(endianness="?"),
        hnp.floating_dtypes(endianness="?"),
        hnp.complex_number_dtypes(endianness="?"),
        hnp.datetime64_dtypes(endianness="?"),
        hnp.timedelta64_dtypes(endianness="?"),
        hnp.byte_string_dtypes(endianness="?", max_len=3),
        hnp.unicode_string_dtypes(endianness="?", max_len=3),
        st.just(np.dtype([("x", "<f8"), ("y", "<f8")])),
        st.just(np.dtype(object)),
    )


def with_layout(draw, array):
    """The same values in another memory layout, as a view or odd object."""
    layout = draw(st.sampled_from(["plain", "fortran", "transposed", "reversed", "strided", "readonly",
                                   "subclass", "unaligned", "masked", "broadcast"]))
    if layout == "fortran":
        return np.asfortranarray(array)
    if layout == "transposed":
        return array.T
    if layout == "reversed" and array.ndim:
        return array[::-1, ...]
    if layout == "strided" and array.ndim:
        doubled = np.repeat(array, 2, axis=array.ndim - 1)
        return doubled[..., ::2]
    if layout == "readonly":
        array = array.copy()
        array.setflags(write=False)
        return array
    if layout == "subclass":
        return array.view(TaggedArray)
    if layout == "unaligned" and array.dtype != object and array.dtype.itemsize > 1:
        raw = np.zeros(array.nbytes + 1, np.uint8)
        view = raw[1:].view(array.dtype).reshape(array.shape)
        view[...] = array
        return view
    if layout == "masked" and array.dtype != object:
        return np.ma.masked_array(array, mask=np.zeros(array.shape, bool))
    if layout == "broadcast" and array.ndim and array.shape[0] == 1:
        return np.broadcast_to(array, (3,) + array.shape[1:])
    return array


@st.composite
def arrays_of(draw, dtype, shape, elements=None):
    """An array of `dtype` and `shape` in an arbitrary layout."""
    if np.dtype(dtype) == object:
        array = np.empty(shape, object)
        for index in np.ndindex(*shape):
            array[index] = draw(st.one_of(st.none(), st.integers(), st.floats()))
    else:
        array = draw(hnp.arrays(dtype, shape, elements=elements))
    return with_layout(draw, array)


@st.composite
def any_array(draw, max_dims=4):
    shape = draw(hnp.array_shapes(min_dims=0, max_dims=max_dims, min_side=0, max_side=4))
    return draw(arrays_of(draw(dtypes()), shape))


def anything():
    """Arbitrary values, nested containers included."""
    leaves = st.one_of(
        st.none(), st.booleans(), ints_of_every_size(), floats_of_every_kind(), st.complex_numbers(), texts(),
        st.binary(max_size=4), numpy_scalars(), any_array(), hook_objects(), containers_that_misbehave(),
        st.sampled_from([object(), int, np.ndarray, sys, Ellipsis, NotImplemented, range(3), b"xy", bytearray(2)]),
    )
    keys = st.one_of(st.integers(), st.text(max_size=3), st.none(), st.tuples(st.integers()), st.floats(),
                     st.booleans())
    return st.recursive(
        leaves,
        lambda inner: st.one_of(
            st.lists(inner, max_size=3),
            st.lists(inner, max_size=3).map(tuple),
            st.dictionaries(keys, inner, max_size=3),
        ),
        max_leaves=6,
    )


def children(value):
    """The items of a list, tuple or dict (keys and values), bypassing overridden hooks."""
    if isinstance(value, dict):
        return [part for pair in dict.items(value) for part in pair]
    if isinstance(value, list):
        return [list.__getitem__(value, i) for i in range(list.__len__(value))]
    if isinstance(value, tuple):
        return [tuple.__getitem__(value, i) for i in range(tuple.__len__(value))]
    return []


def describe(value, depth=0):
    """A short, reproducible text for a value (arrays with their dtype, layout and data)."""
    if depth > 4:
        return "..."
    if isinstance(value, np.ndarray):
        layout = "C" if value.flags.c_contiguous else ("F" if value.flags.f_contiguous else "strided")
        flags = f"{type(value).__name__} {value.dtype.str} {layout} strides={value.strides}" + \
                ("" if value.flags.writeable else " readonly") + ("" if value.flags.aligned else " unaligned")
        data = value.tolist() if value.size <= 64 else f"<{value.size} values>"
        return f"array({data!r}, shape={value.shape}, {flags})"
    if isinstance(value, (list, tuple, dict)):
        inner = ", ".join(describe(item, depth + 1) for item in children(value))
        return f"{type(value).__name__}[{inner}]"
    try:
        text = repr(value)
    except BaseException as error:  # noqa: BLE001 - an odd object may refuse even repr
        text = f"<{type(value).__name__}, repr failed: {type(error).__name__}>"
    return text if len(text) < 200 else text[:200] + "..."
