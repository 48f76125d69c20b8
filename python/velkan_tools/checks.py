"""Inputs that `velkan.connectivity` takes as given but that give wrong or empty answers.

The native function computes with any real `max_cost` and any condition values; the tiled and
dask runs refuse what cannot be meant (ValueError) and warn about what is probably not
(UserWarning), before any computation.
"""
import math
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


def check_bandwidths_and_cost(lambdas, max_cost):
    if not lambdas or not all(math.isfinite(v) and v > 0 for v in lambdas):
        raise ValueError(f"lambdas {list(lambdas)}: give one or more positive, finite bandwidths (km)")
    if not math.isfinite(max_cost):
        raise ValueError(f"max_cost {max_cost}: must be finite")


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
