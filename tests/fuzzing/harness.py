"""One checked call of a velkan function, as the fuzz properties make it.

The call must return a result that the property's own check accepts, or raise
one of the documented classes with a text. Around it the harness checks that
the call kept no reference to any argument (or to anything inside one, apart
from objects the whole interpreter shares), left
every argument array as it was, and gave the same result as the same call on
plain C-ordered copies of the arrays. Before the call a description of the
arguments goes to the trace file, so that the parent process can name the input
of a call that crashed; a call still running after HANG_SECONDS ends the
process with a traceback.
"""
import collections
import faulthandler
import gc
import os
import sys

import numpy as np

from fuzzing.values import HOOK_ERRORS, children, describe

DOCUMENTED = (TypeError, ValueError, OverflowError, RuntimeError, MemoryError)
HANG_SECONDS = float(os.environ.get("VELKAN_FUZZ_HANG_SECONDS", "60"))

# Calls made per property, reported to the parent.
calls_made = collections.Counter()


class Trace:
    """The description of the call in progress, kept in a file the parent reads after a crash."""

    def __init__(self):
        path = os.environ.get("VELKAN_FUZZ_TRACE")
        self.fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644) if path else None
        self.text = ""

    def record(self, text):
        self.text = text
        if self.fd is None:
            return
        data = text.encode("utf-8", "backslashreplace")
        os.ftruncate(self.fd, 0)
        os.pwrite(self.fd, data, 0)


trace = Trace()


def is_internal_error(error):
    return type(error).__name__ == "InternalError" and type(error).__module__ == "velkan"


def tracked_objects(args, kwargs):
    """Every object reachable from the arguments through lists, tuples and dicts, once each."""
    seen, out = set(), []
    stack = list(args) + [part for pair in kwargs.items() for part in pair]
    while stack:
        value = stack.pop()
        if id(value) in seen:
            continue
        seen.add(id(value))
        out.append(value)
        stack.extend(children(value))
    return out


def is_shared(value):
    """Objects the whole interpreter shares (None, small ints, interned names, types).

    Their reference counts move with unrelated activity, such as a cache that
    NumPy or CPython fills on first use, so they cannot show a leak.
    """
    if value is None or value is Ellipsis or value is NotImplemented or isinstance(value, (bool, type)):
        return True
    if value is np.True_ or value is np.False_:  # NumPy's own bool singletons, held by its caches too
        return True
    if type(value) is int and -5 <= value <= 256:
        return True
    if isinstance(value, str) and value.isidentifier():  # keyword names: interned, shared with code objects
        return True
    return sys.getrefcount(value) > (50 if isinstance(value, str) else 1000)


def array_snapshot(array):
    if array.dtype == object:
        return [id(item) for item in array.ravel().tolist()]
    return (array.shape, array.dtype.str, array.tobytes(), array.flags.writeable)


def canonical(value):
    """The same arguments with every array a plain, C-ordered, aligned copy.

    Masked arrays stay as they are: where an argument is read as a Python
    sequence (levels, lambdas) their items convert differently from a plain
    array's, so a plain copy is not the same argument.
    """
    if isinstance(value, np.ndarray) and not isinstance(value, np.ma.MaskedArray):
        return np.array(np.asarray(value), order="C", copy=True)
    if type(value) is list:
        return [canonical(v) for v in value]
    if type(value) is tuple:
        return tuple(canonical(v) for v in value)
    if type(value) is dict:
        return {k: canonical(v) for k, v in value.items()}
    return value


def has_unusual_array(objects):
    return any(isinstance(o, np.ndarray) and (type(o) is not np.ndarray or not o.flags.c_contiguous
                                              or not o.flags.aligned or not o.flags.writeable)
               for o in objects)


def invoke(function, args, kwargs):
    """(result, None) or (None, (class, text)) of one call, with the hang watchdog armed."""
    faulthandler.dump_traceback_later(HANG_SECONDS, exit=True)
    try:
        return function(*args, **kwargs), None
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - InternalError derives from BaseException
        failure = (type(error), str(error))
        del error  # its traceback holds the frames of the hooks that raised
        return None, failure
    finally:
        faulthandler.cancel_dump_traceback_later()


def checked_call(name, function, args, kwargs, check_result, rtol=0.0):
    """Runs one call and every check around it; returns the result or None after an accepted failure."""
    calls_made[name] += 1
    objects = tracked_objects(args, kwargs)
    arrays = [(o, array_snapshot(o)) for o in objects if isinstance(o, np.ndarray)]
    counted = [o for o in objects if not is_shared(o)]
    # A collection during the call would release references held by garbage.
    gc.disable()
    try:
        counts = [sys.getrefcount(o) for o in counted]
        result = call_and_check(name, function, args, kwargs, check_result, rtol, objects)
        after = [sys.getrefcount(o) for o in counted]
    finally:
        gc.enable()
    changed = [(describe(o), b, a) for o, b, a in zip(counted, counts, after) if a != b]
    assert not changed, f"reference counts changed (object, before, after): {changed}\nin {trace.text}"
    for array, snapshot in arrays:
        assert array_snapshot(array) == snapshot, f"an argument array was modified: {describe(array)}\nin {trace.text}"
    return result


def call_and_check(name, function, args, kwargs, check_result, rtol, objects):
    """The call itself: its outcome must be an accepted failure or a result that passes the checks."""
    text = f"{name}: {function.__name__}(*{describe(list(args))}, **{describe(kwargs)})"
    trace.record(text)

    result, failure = invoke(function, args, kwargs)

    where = f"\nin {text}"
    if failure is not None:
        cls, message = failure
        accepted = issubclass(cls, DOCUMENTED + HOOK_ERRORS) or cls.__name__ == "InternalError"
        assert accepted, f"undocumented {cls.__name__}: {message}{where}"
        assert message, f"{cls.__name__} without a text{where}"
    else:
        check_result(result)
        if has_unusual_array(objects):
            again, failure = invoke(function, canonical(list(args)), canonical(kwargs))
            assert failure is None, f"plain copies of the arrays fail with {failure}{where}"
            same = np.allclose(result, again, rtol=rtol, atol=0.0, equal_nan=True) if rtol else \
                np.array_equal(result, again, equal_nan=True)
            assert same, f"plain copies of the arrays give another result{where}"
    return result
