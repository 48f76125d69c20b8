"""Callers that try to break the module: no input, thread or signal handler may
crash the interpreter, end the process, leak or give a wrong answer.

Cases that could crash run in a child process, so that a crash fails the test
rather than the suite; the others run here.
"""
import json
import os
import resource
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest
from conftest import base_args

import velkan

UNDER_SANITIZER = bool(os.environ.get("VELKAN_SANITIZED"))
T = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)
UNIT_SQUARE = np.array([[0.0, 0.0], [1.0, 0.0], [1.0, 1.0], [0.0, 1.0]])


def run_child(code, limit_kib=None, timeout=600):
    """The finished child running `code` (tests/ on its path), optionally with its address space limited."""
    def limit():
        resource.setrlimit(resource.RLIMIT_AS, (limit_kib * 1024, resource.RLIM_INFINITY))

    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [str(Path(__file__).parent),
                                                                      os.environ.get("PYTHONPATH")])))
    return subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=timeout, env=env,
                          preexec_fn=limit if limit_kib else None)


def child_report(code, **kwargs):
    child = run_child(code, **kwargs)
    assert child.returncode == 0, f"exit status {child.returncode}\n{child.stderr[-5000:]}"
    return json.loads(child.stdout.splitlines()[-1])


# ---- Python code that runs while a call holds objects of its arguments ----

# Another thread starts the moment the call lets it run, empties the list the
# call is reading and fills the freed memory with other objects. The first call
# of a process once released the interpreter lock while loading NumPy's API.
FIRST_CALL_RACE = r"""
import json, sys, threading
import numpy as np
import velkan
from conftest import base_args

kind = sys.argv[1] if len(sys.argv) > 1 else "{kind}"
started = False
def empty_the_list():
    global junk
    while not started:
        pass
    box.clear()
    junk = [bytes(n) for n in range(1, 200) for _ in range(20)]

if kind == "pixel_coverage":
    box = [(np.array([[0.0, 0], [1, 0], [1, 1], [0, 1]]) * 1.0, [])]
    call = lambda: velkan.pixel_coverage(box, (1.0, 0, 0, 0, 1.0, 0), (2, 2)).tolist()
else:
    box = [np.ones((6, 7, 2), np.float32) + 0]
    # No condition: the grid is the first array the call reads.
    args = base_args(transgrid_list=box, condition=None)
    call = lambda: velkan.connectivity(**args)
sys.setswitchinterval(1e-6)  # the other thread asks for the lock at once
threading.Thread(target=empty_the_list).start()
started = True
try:
    outcome = call()
except BaseException as error:
    outcome = f"{{type(error).__name__}}: {{error}}"
print(json.dumps(outcome))
"""

RACE_OUTCOMES = {
    # The list read before or after it was emptied.
    "pixel_coverage": ([[1.0, 0.0], [0.0, 0.0]], [[0.0, 0.0], [0.0, 0.0]]),
    "connectivity": ("RuntimeError: Connectivity failed: No base level (key=1) in condition array",),
}


@pytest.mark.parametrize("kind", ["pixel_coverage", "connectivity"])
def test_another_thread_emptying_the_list_during_the_first_call(kind):
    # Each child's call is its process's first; one in two crashed or read freed memory.
    for _ in range(10):
        assert child_report(FIRST_CALL_RACE.format(kind=kind)) in RACE_OUTCOMES[kind]


def test_signal_handler_emptying_the_polygon_list_while_it_is_read():
    report = child_report(r"""
import json, signal
import numpy as np
import velkan
polygons = [(np.array([[0.0, 0], [1, 0], [1, 1], [0, 1]]), [])] * 300_000
state = {"emptied": False}
def empty_the_list(signum, frame):
    if not state["emptied"]:
        polygons.clear()
        state["emptied"] = True
signal.signal(signal.SIGALRM, empty_the_list)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
out = velkan.pixel_coverage(polygons, (1.0, 0, 0, 0, 1.0, 0), (2, 2))
signal.setitimer(signal.ITIMER_REAL, 0)
print(json.dumps({"emptied": state["emptied"], "cover": out.tolist()}))
""")
    # The polygons read before the handler ran count; the call then stops reading.
    assert report == {"emptied": True, "cover": [[1.0, 0.0], [0.0, 0.0]]}


class Custom(BaseException):
    pass


class RaisingItems(dict):
    def __init__(self, error):
        super().__init__()
        self.error = error

    def items(self):
        raise self.error


class RaisingIndex:
    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error


class RaisingFloat:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


TRANSFORM = (100.0, 0.0, 0.0, 0.0, -100.0, 0.0)
TRANSFORM_HOOKS = {
    "items()": lambda error: RaisingItems(error),
    "a key's __index__": lambda error: {RaisingIndex(error): TRANSFORM},
    "a value's __float__": lambda error: {1: (RaisingFloat(error),) + TRANSFORM[1:]},
}


@pytest.mark.parametrize("hook", TRANSFORM_HOOKS)
@pytest.mark.parametrize("error_class", [KeyboardInterrupt, SystemExit, GeneratorExit, Custom, ValueError])
def test_only_exceptions_are_wrapped_while_transforms_are_read(conn_args, hook, error_class):
    error = error_class("from the hook")
    with pytest.raises(BaseException) as info:
        velkan.connectivity(**conn_args(transforms=TRANSFORM_HOOKS[hook](error)))
    if issubclass(error_class, Exception):
        assert type(info.value) is RuntimeError
        assert str(info.value) == "Faild getting transform information: ValueError: from the hook"
    else:
        assert info.value is error  # Ctrl-C, SystemExit and the like go on as raised


# ---- texts that hold a NUL character ----

class Odd:
    pass


Odd.__qualname__ = "Od\0d"


class NulTypeError:
    def __index__(self):
        raise TypeError("no\0int")


class ValueErrorFloat:
    def __float__(self):
        raise ValueError("bad\0float")


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    return type(info.value).__name__, str(info.value)


@pytest.mark.parametrize("call, expected", [
    (lambda: velkan.connectivity(**base_args(window_mode="square\0x")),
     ("ValueError", "Invalid window_mode 'square\0x'. Expected 'square' or 'circular'.")),
    (lambda: velkan.connectivity(**base_args(levels=[NulTypeError()])), ("TypeError", "argument 'levels': no\0int")),
    (lambda: velkan.connectivity(**base_args(transforms={1: (ValueErrorFloat(),) + TRANSFORM[1:]})),
     ("RuntimeError", "Faild getting transform information: ValueError: bad\0float")),
    (lambda: velkan.pixel_coverage(Odd(), T, (2, 2)),
     ("RuntimeError", "Reading polygons failed: Expected a list of polygons: 'Od\0d' object is not an instance of 'list'")),
    (lambda: velkan.connectivity(**base_args(transgrid_list=[Odd()])),
     ("InternalError", "Reading transition grid 0 failed: Failed to extract 3D array: "
                       "'Od\0d' object is not an instance of 'ndarray'")),
    # Compared whole, the keyword names no parameter (it once bound `shape`).
    (lambda: velkan.pixel_coverage([], T, **{"shape\0x": (2, 2)}),
     ("TypeError", "pixel_coverage() got an unexpected keyword argument 'shape\0x'")),
], ids=["window_mode", "TypeError text", "transform error", "type name", "InternalError", "keyword"])
def test_texts_keep_their_nul_characters(call, expected):
    assert raised(call) == expected


# ---- sizes that lie or are beyond reason ----

class LyingList(list):
    def __init__(self, items, length):
        super().__init__(items)
        self.length = length

    def __len__(self):
        return self.length


@pytest.mark.parametrize("length", [2**40, 2**60])
@pytest.mark.parametrize("name", ["levels", "lambdas"])
def test_length_of_a_sequence_is_only_a_hint(conn_args, name, length):
    args = conn_args()
    expected = velkan.connectivity(**args)
    args[name] = LyingList(args[name], length)
    np.testing.assert_array_equal(velkan.connectivity(**args), expected)


def test_a_million_bandwidths_fit_in_little_memory():
    # Each bandwidth once took a 32 KiB table: 10^6 of them needed 30 GiB.
    limit = None if UNDER_SANITIZER else 1536 * 1024  # KiB; AddressSanitizer reserves terabytes
    report = child_report(r"""
import json
import numpy as np
import velkan
from conftest import base_args
args = base_args(n_threads=2)
args["mask"][:] = True
args["mask"][2, 3] = False
single = [velkan.connectivity(**dict(args, lambdas=[lam]))[2, 3] for lam in (2.0, 20.0)]
lambdas = [2.0, 20.0] * 500_000
many = velkan.connectivity(**dict(args, lambdas=lambdas))[2, 3]
# The mean as the engine takes it: float32 sums in bandwidth order, then one division.
total = np.add.accumulate(np.array(single * 500_000, np.float32))[-1]
print(json.dumps({"many": float(many), "expected": float(total / np.float32(len(lambdas)))}))
""", limit_kib=limit)
    assert report["many"] == report["expected"]


# ---- memory that runs short ----

RESULT_COPY_INTERRUPTED = r"""
import gc, json, signal, time, tracemalloc
import numpy as np
import velkan

rows = cols = 4000
condition = np.full((rows, cols), 0.5, np.float32)
mask = np.ones((rows, cols), bool)
mask[:4] = False
transforms = {1: (100.0, 0, 0, 0, -100.0, 0), 2: (200.0, 0, 0, 0, -200.0, 0)}
state = {"raised": False, "sleeping": False}

# Runs at every look for signals the call makes (a timer keeps one pending).
# Until the result array exists it sleeps through most of the look's period,
# so that the next look falls into the short copy of the values into it;
# there it raises KeyboardInterrupt.
def handler(signum, frame):
    if state["sleeping"] or state["raised"]:
        return
    if tracemalloc.get_traced_memory()[0] - before > rows * cols * 2:
        state["raised"] = True
        raise KeyboardInterrupt
    state["sleeping"] = True
    time.sleep(0.195)
    state["sleeping"] = False

tracemalloc.start()  # NumPy's arrays are traced
before = tracemalloc.get_traced_memory()[0]
signal.signal(signal.SIGALRM, handler)
signal.setitimer(signal.ITIMER_REAL, 0.001, 0.001)
try:
    velkan.connectivity(condition, mask, None, transforms, [1, 2], [2.0], False, 5.0, 3, 5, (0, 0), n_threads=2)
    outcome = "result"
except KeyboardInterrupt:
    outcome = "KeyboardInterrupt"
finally:
    signal.setitimer(signal.ITIMER_REAL, 0)
gc.collect()
print(json.dumps({"outcome": outcome, "during_copy": state["raised"],
                  "kept_bytes": tracemalloc.get_traced_memory()[0] - before}))
"""


def test_result_array_released_when_its_copy_is_interrupted():
    report = child_report(RESULT_COPY_INTERRUPTED)
    assert report["outcome"] == "KeyboardInterrupt" and report["during_copy"], report
    assert report["kept_bytes"] < 1 << 20, report  # the 61 MiB result stayed alive


MEMORY_LIMITED = r"""
import sys
try:
    import numpy as np
    import velkan
    ring = np.array([[0.2, 0.1], [3.7, 0.4], [3.1, 2.9], [0.5, 3.3]])
    condition = np.random.default_rng(0).uniform(0.1, 1, (40, 40)).astype(np.float32)
    mask = np.zeros((40, 40), bool)
    transforms = {1: (100.0, 0, 0, 0, -100.0, 0), 2: (200.0, 0, 0, 0, -200.0, 0)}
except BaseException:
    print("setup failed")  # the interpreter itself did not fit
    sys.exit(0)
vm_size = next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmSize"))
calls = [lambda: velkan.connectivity(condition, mask, None, transforms, [1, 2], [2.0, 20.0], False, 5.0, 9, 21,
                                     (0, 0), n_threads=2),
         lambda: velkan.pixel_coverage([(ring, [])], (1.0, 0, 0, 0, 1.0, 0), (64, 64), n_threads=2)]
for call in calls:
    try:
        call()
        print("result")
    except MemoryError as error:
        print("MemoryError" if str(error) else "MemoryError without a text")
    except RuntimeError:
        print("RuntimeError")  # the pool could not start its threads
peak = next(line.split()[1] for line in open("/proc/self/status") if line.startswith("VmPeak"))
print(vm_size, peak)
"""


@pytest.mark.skipif(UNDER_SANITIZER, reason="AddressSanitizer reserves terabytes of address space")
def test_limited_address_space_gives_errors_never_an_exit():
    # Worker threads once died on their first throw, when glibc could not
    # allocate their thread-local storage, and took the process with them:
    # just below the limit at which the calls succeed.
    vm_size, peak = map(int, run_child(MEMORY_LIMITED).stdout.split()[-2:])
    low, high = vm_size, peak  # KiB: the calls fail at the first, succeed at the second
    while high - low > 32:
        middle = (low + high) // 2
        child = run_child(MEMORY_LIMITED, limit_kib=middle)
        if child.returncode == 0 and child.stdout.count("result") == 2:
            high = middle
        else:
            low = middle
    seen = set()
    for limit in range(high - 768, high + 256, 32):
        child = run_child(MEMORY_LIMITED, limit_kib=limit)
        assert child.returncode == 0, f"exit status {child.returncode} at {limit} KiB: {child.stderr[-2000:]}"
        seen.update(line for line in child.stdout.splitlines() if not line[0].isdigit())
    assert "MemoryError without a text" not in seen
    assert "result" in seen and seen - {"result"}, seen  # the sweep crossed the limit


# ---- coverage of rings the edge path cannot take as they are ----

def clip(points, axis, value, at_least):
    """One pass of the plain Sutherland–Hodgman clipping, in float64."""
    def inside(p):
        return p[axis] >= value if at_least else p[axis] <= value

    out = []
    prev = points[-1] if points else None
    for cur in points:
        if inside(cur) != inside(prev):
            t = (value - prev[axis]) / (cur[axis] - prev[axis])
            out.append(((cur[0] - prev[0]) * t + prev[0], (cur[1] - prev[1]) * t + prev[1]))
        if inside(cur):
            out.append(cur)
        prev = cur
    return out


def clipping_coverage(ring, shape):
    """Coverage of one exterior ring (identity transform) by clipping every cell's piece."""
    out = np.zeros(shape, np.float32)
    with np.errstate(all="ignore"):
        points = [(np.float64(u), np.float64(v)) for u, v in ring]  # u = x; v = y - 0 * x, NaN for x = inf
        points = [(u, v - np.float64(0.0) * u) for u, v in points]
        for r in range(shape[0]):
            strip = clip(clip(points, 1, np.float64(r), True), 1, np.float64(r + 1), False)
            for k in range(shape[1]):
                piece = clip(clip(strip, 0, np.float64(k), True), 0, np.float64(k + 1), False)
                if len(piece) < 3:
                    continue
                area = sum(piece[i][0] * piece[i + 1][1] - piece[i][1] * piece[i + 1][0]
                           for i in range(len(piece) - 1))
                area = ((piece[-1][0] * piece[0][1] - piece[-1][1] * piece[0][0]) + area) * 0.5
                if abs(area) > 2.0**-150:  # NaN fails this
                    out[r, k] += np.float32(abs(area))
    return np.clip(out, 0, 1)


@pytest.mark.parametrize("ring", [
    [(0, 0), (1, 0), (1, 1), (np.nan, 1)],
    [(0, 0), (2, 0), (np.nan, 1), (2, 2), (0, 2)],
    [(0.5, 0.5), (2.5, 0.5), (2.5, np.nan), (0.5, 2.5)],
    [(0, 0), (2, 0), (2, 2), (np.inf, 1)],
    [(0.2, 0.3), (-np.inf, 2), (2.7, 2.9)],
], ids=["nan x", "nan x inside", "nan y", "x = inf", "x = -inf"])
def test_non_finite_vertices_cover_what_clipping_covers(ring):
    out = velkan.pixel_coverage([(np.array(ring, float), [])], T, (3, 3))
    np.testing.assert_allclose(out, clipping_coverage(ring, (3, 3)), atol=1e-6)


@pytest.mark.parametrize("ring, expected", [
    ([(-9.1e15, -9.1e15), (9.1e15, -9.1e15), (9.1e15, 9.1e15), (-9.1e15, 9.1e15)], np.ones((6, 6))),
    ([(0, 0), (1e308, 0), (1e308, 1e308), (0, 1e308)], np.ones((6, 6))),
    ([(-1e308, -1e308), (1e308, -1e308), (1e308, 1e308), (-1e308, 1e308)], np.ones((6, 6))),
    # u >= 0.5, v >= 0.5 and u + v <= 1e300: quarters, halves and whole cells.
    ([(0.5, 0.5), (1e300, 0.5), (0.5, 1e300)], [[0.25, 0.5, 0.5, 0.5, 0.5, 0.5]] + [[0.5] + [1.0] * 5] * 5),
    # An edge between two far vertices runs down the grid at u = 3; the third is far to the left.
    ([(3, -(2.0**60)), (3, 2.0**60), (-(2.0**60), 0)], [[1, 1, 1, 0, 0, 0]] * 6),
], ids=["9.1e15", "0 to 1e308", "-1e308 to 1e308", "far triangle", "far edge"])
def test_rings_beyond_2_to_53_pixels_are_exact(ring, expected):
    out = velkan.pixel_coverage([(np.array(ring, float), [])], T, (6, 6))
    np.testing.assert_allclose(out, expected, atol=1e-6)
