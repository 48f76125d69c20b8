"""Inputs that `velkan.connectivity` takes as given but that give wrong or empty answers.

The native function computes with any real `max_cost` and any condition values; the library's
runs refuse what cannot be meant (InputError, a ValueError) and warn about what is probably not
(UserWarning), before any computation. The parameters' own rules are in velkan_tools.settings.
"""
import contextlib
import os
import warnings

import numpy as np

from .errors import InputError

# From 2^24 on, float32 rounds 1 - max_cost to -max_cost, so a cell's path weight
# (1 - max_cost) * t + max_cost is 0 for intact habitat (t = 1): crossing it would be free.
MAX_COST_LIMIT = 2.0 ** 24
MAX_COST_REASON = (f"give less than {MAX_COST_LIMIT:,.0f}; from there on the float32 path weights round "
                   "to 0 for intact cells, which would cost nothing to cross")
# A worker pool has at most this many threads.
POOL_LIMIT = 65535


def unit_range_problem(values):
    """What is wrong with values that must be fractions in [0, 1] (NaN marks no data), or None."""
    if np.isinf(values).any():
        return "holds infinite values; give finite values within [0, 1] (NaN where there are none)"
    finite = values[~np.isnan(values)]
    if finite.size and (finite.min() < 0 or finite.max() > 1):
        return f"values span {float(finite.min()):g} to {float(finite.max()):g}, outside [0, 1]"
    return None


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


# Bandwidths beyond this reach past any landscape: given in metres, most likely.
LONGEST_BANDWIDTH_KM = 1000.0


def warn_about_bandwidths(lambdas, stacklevel=4):
    if any(v > LONGEST_BANDWIDTH_KM for v in lambdas):
        warnings.warn(f"lambdas {', '.join(f'{v:g}' for v in lambdas)} km: bandwidths above "
                      f"{LONGEST_BANDWIDTH_KM:,.0f} km reach past any landscape; were they given in metres? "
                      "Bandwidths are in km, as in 2,20,200", UserWarning, stacklevel=stacklevel)


def check_run_inputs(condition, mask, traversal, stacklevel=3):
    """Refuse out-of-range NumPy rasters and warn about runs that cannot mean what they say.

    Dask arrays are not read here: that would compute them.
    """
    for name, values in (("condition", condition), ("traversal", traversal)):
        if isinstance(values, np.ndarray) and (problem := unit_range_problem(values)):
            raise InputError(f"{name} {problem}")
    if isinstance(traversal, np.ndarray) and (missing := int(np.count_nonzero(np.isnan(traversal)))):
        warnings.warn(f"traversal has {missing:,} cells without data; their condition stands in for traversal "
                      "there", UserWarning, stacklevel=stacklevel)
    if isinstance(mask, np.ndarray) and isinstance(condition, np.ndarray):
        rows, cols = condition.shape[:2]
        if np.all(mask[:rows, :cols]):
            warnings.warn("no focal cell: the mask excludes every cell, so every value is NaN", UserWarning,
                          stacklevel=stacklevel)
