"""Memory: repeated calls leave the process flat, and sizes beyond memory fail cleanly.

10,000 failing calls (every kind of refusal, in rotation) and 1,000 successful
calls of each function must not grow the resident set (C++ copies, rasters and
pools are freed) nor the memory tracemalloc sees (no Python object is kept).
"""
import gc
import os
import tracemalloc

import numpy as np
import pytest
from conftest import base_args

import velkan

UNDER_SANITIZER = bool(os.environ.get("VELKAN_SANITIZED"))
T = (1.0, 0.0, 0.0, 0.0, 1.0, 0.0)
RING = np.array([[0.2, 0.1], [3.7, 0.4], [3.1, 2.9], [0.5, 3.3]])
HOLE = np.array([[1.0, 1.0], [2.0, 1.0], [2.0, 2.0]])
GOOD_POLYGONS = [(RING, [HOLE])] * 3

FAILING_CALLS = 10_000
SUCCESSFUL_CALLS = 1_000
RSS_LIMIT_KIB = 1024  # glibc keeps some freed memory; a per-call leak of 100 bytes would exceed it
TRACED_LIMIT_KIB = 64  # one leaked object per call would be hundreds of KiB


class ExplodingItems(dict):
    def items(self):
        raise KeyError("no transforms today")


def coverage_failures():
    calls = [
        (TypeError, lambda: velkan.pixel_coverage([], T)),
        (TypeError, lambda: velkan.pixel_coverage([], list(T), (2, 2))),
        (ValueError, lambda: velkan.pixel_coverage([], T * 2, (2, 2))),
        (OverflowError, lambda: velkan.pixel_coverage([], T, (-1, 2))),
        (RuntimeError, lambda: velkan.pixel_coverage(GOOD_POLYGONS + [(RING, (HOLE,))], T, (4, 4))),
        (RuntimeError, lambda: velkan.pixel_coverage(GOOD_POLYGONS + [(np.zeros((5, 3)), [])], T, (4, 4))),
        (RuntimeError, lambda: velkan.pixel_coverage([(RING.tolist(), [])], T, (4, 4))),
        ("InternalError", lambda: velkan.pixel_coverage(GOOD_POLYGONS, T, (2**31, 2**31))),
    ]
    if not UNDER_SANITIZER:  # AddressSanitizer aborts on an allocation it cannot serve
        calls.append((MemoryError, lambda: velkan.pixel_coverage(GOOD_POLYGONS, T, (10**6, 10**6))))
    return calls


def connectivity_failures():
    def call(**overrides):
        return lambda: velkan.connectivity(**base_args(**overrides))

    return [
        (TypeError, lambda: velkan.connectivity(None, None)),
        (TypeError, call(levels="12")),
        (TypeError, call(is_geo=1)),
        (ValueError, call(offsets=(0, 0, 0))),
        (OverflowError, call(levels=[1, -2])),
        (RuntimeError, call(condition=np.ones((6, 7)))),
        (RuntimeError, call(transforms=ExplodingItems())),
        (RuntimeError, call(transforms={1: [1.0] * 6})),
        (RuntimeError, call(mask=None)),
        (RuntimeError, call(traversal=np.ones((2, 2), np.float32))),
        (ValueError, call(window_mode="round")),
        ("InternalError", call(window_size=4)),
        ("InternalError", call(transgrid_list=[np.ones((6, 7, 2), np.float32), "grid"])),
    ]


def coverage_success():
    return velkan.pixel_coverage(GOOD_POLYGONS, T, (5, 5), n_threads=2)


def connectivity_success():
    return velkan.connectivity(**base_args(transgrid_list=[np.ones((6, 7, 2), np.float32)], n_threads=2))


def run_calls(failures, success, failing, succeeding):
    for i in range(failing):
        expected, call = failures[i % len(failures)]
        try:
            call()
        except BaseException as error:  # noqa: BLE001 - InternalError derives from BaseException
            name = type(error).__name__
            assert name == expected if isinstance(expected, str) else isinstance(error, expected), (expected, error)
        else:
            raise AssertionError(f"expected {expected}")
    for _ in range(succeeding):
        assert success().dtype == np.float32


def resident_kib():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") // 1024


@pytest.mark.parametrize("function", ["pixel_coverage", "connectivity"])
def test_repeated_calls_leave_memory_flat(function, capsys):
    failures, success = {"pixel_coverage": (coverage_failures(), coverage_success),
                         "connectivity": (connectivity_failures(), connectivity_success)}[function]
    run_calls(failures, success, 1000, 200)  # warm caches, allocator pools and thread stacks
    gc.collect()

    rss_before = resident_kib()
    run_calls(failures, success, FAILING_CALLS, SUCCESSFUL_CALLS)
    gc.collect()
    rss_after = resident_kib()

    tracemalloc.start()
    try:
        traced_before = tracemalloc.get_traced_memory()[0]
        run_calls(failures, success, FAILING_CALLS, SUCCESSFUL_CALLS)
        gc.collect()
        traced_after = tracemalloc.get_traced_memory()[0]
    finally:
        tracemalloc.stop()

    rss_growth, traced_growth = rss_after - rss_before, (traced_after - traced_before) / 1024
    with capsys.disabled():
        print(f"\n  memory {function}: {FAILING_CALLS} failing + {SUCCESSFUL_CALLS} successful calls: "
              f"RSS {rss_before} -> {rss_after} KiB ({rss_growth:+d}), "
              f"tracemalloc {traced_before / 1024:.1f} -> {traced_after / 1024:.1f} KiB ({traced_growth:+.1f})", end="")
    assert traced_growth < TRACED_LIMIT_KIB
    if not UNDER_SANITIZER:  # AddressSanitizer's quarantine holds freed memory by design
        assert rss_growth < RSS_LIMIT_KIB


@pytest.mark.skipif(UNDER_SANITIZER, reason="AddressSanitizer aborts on an allocation it cannot serve")
@pytest.mark.parametrize("shape", [(10**6, 10**6), (2**30, 2**30), (2**36, 1)])
def test_shape_beyond_memory_is_memory_error(shape):
    with pytest.raises(MemoryError) as info:
        velkan.pixel_coverage([(RING, [])], T, shape)
    assert str(info.value) == f"Not enough memory for a coverage raster of {shape[0]} x {shape[1]} float32 cells"


@pytest.mark.parametrize("shape", [(2**31, 2**31), (2**62, 4), (2**63, 2**63), (2**64 - 1, 2), (2**63, 0), (0, 2**63)])
def test_shape_whose_size_overflows_is_internal_error(shape):
    with pytest.raises(BaseException) as info:
        velkan.pixel_coverage([(RING, [])], T, shape)
    assert type(info.value).__name__ == "InternalError"
    assert str(info.value).startswith(f"Coverage raster size overflow: {shape[0]} x {shape[1]}")
