"""Inputs that `velkan.connectivity` takes as given but that give wrong or empty answers.

The native function computes with any real `max_cost` and any condition values; the tiled and
dask runs refuse what cannot be meant (ValueError) and warn about what is probably not
(UserWarning), before any computation.
"""
import contextlib
import math
import os
import warnings

import numpy as np


def unit_range_problem(values):
    """What is wrong with values that must be fractions in [0, 1] (NaN marks no data), or None."""
    if np.isinf(values).any():
        return "holds infinite values; give finite values within [0, 1] (NaN where there are none)"
    finite = values[~np.isnan(values)]
    if finite.size and (finite.min() < 0 or finite.max() > 1):
        return f"values span {float(finite.min()):g} to {float(finite.max()):g}, outside [0, 1]"
    return None


# From 2^24 on, float32 rounds 1 - max_cost to -max_cost, so a cell's path weight
# (1 - max_cost) * t + max_cost is 0 for intact habitat (t = 1): crossing it would be free.
MAX_COST_LIMIT = 2.0 ** 24
MAX_COST_REASON = (f"give less than {MAX_COST_LIMIT:,.0f}; from there on the float32 path weights round "
                   "to 0 for intact cells, which would cost nothing to cross")
# A worker pool has at most this many threads.
POOL_LIMIT = 65535


def check_bandwidths_and_cost(lambdas, max_cost):
    if not lambdas or not all(math.isfinite(v) and v > 0 for v in lambdas):
        raise ValueError(f"lambdas {list(lambdas)}: give one or more positive, finite bandwidths (km)")
    if not math.isfinite(max_cost):
        raise ValueError(f"max_cost {max_cost}: must be finite")
    if max_cost >= MAX_COST_LIMIT:
        raise ValueError(f"max_cost {max_cost:g}: {MAX_COST_REASON}")


def thread_limit():
    """The most threads one native call could start here: the pool's limit, the system's and this
    user's process limit."""
    limits = [POOL_LIMIT]
    with contextlib.suppress(OSError, ValueError):
        with open("/proc/sys/kernel/threads-max") as source:
            limits.append(int(source.read()))
    with contextlib.suppress(ImportError, ValueError, OSError):
        import resource

        soft, _ = resource.getrlimit(resource.RLIMIT_NPROC)
        if soft != resource.RLIM_INFINITY:
            limits.append(soft)
    return min(limits)


def threads_problem(n_threads):
    """Why the machine cannot start `n_threads` threads for one call, or None (None is every processor)."""
    if n_threads is not None and n_threads > (limit := thread_limit()):
        return f"this machine starts at most {limit:,} threads for one call (it has {os.cpu_count()} processors)"
    return None


def check_threads(n_threads):
    if problem := threads_problem(n_threads):
        raise ValueError(f"n_threads {n_threads}: {problem}")


def check_run_inputs(max_cost, condition, mask, traversal, stacklevel=3):
    """Refuse out-of-range NumPy rasters and warn about runs that cannot mean what they say.

    Dask arrays are not read here: that would compute them.
    """
    if max_cost < 1:
        warnings.warn(f"max_cost {max_cost:g} is below 1: a cell of traversal 0 then costs less to cross than an "
                      "intact one, so barriers act as corridors; give 1 or more", UserWarning, stacklevel=stacklevel)
    for name, values in (("condition", condition), ("traversal", traversal)):
        if isinstance(values, np.ndarray) and (problem := unit_range_problem(values)):
            raise ValueError(f"{name} {problem}")
    if isinstance(traversal, np.ndarray) and (missing := int(np.count_nonzero(np.isnan(traversal)))):
        warnings.warn(f"traversal has {missing:,} cells without data; their condition stands in for traversal "
                      "there", UserWarning, stacklevel=stacklevel)
    if isinstance(mask, np.ndarray) and isinstance(condition, np.ndarray):
        rows, cols = condition.shape[:2]
        if np.all(mask[:rows, :cols]):
            warnings.warn("no focal cell: the mask excludes every cell, so every value is NaN", UserWarning,
                          stacklevel=stacklevel)
