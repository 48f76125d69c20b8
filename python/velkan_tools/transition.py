"""Transition grids in meaningful units: each band divided by a number, or by its standard deviation
over the raster, so that a difference of 1 is as dissimilar as an environment can be within reach;
and a warning when the bands' typical differences leave hardly any similarity (OLVI compares two
cells as exp(-sum |difference of band|))."""
import math
import warnings

import numpy as np

from .errors import InputError

# Between two cells drawn at random, the mean |difference| of a normally distributed band is
# 2 / sqrt(pi) times its standard deviation.
MEAN_DIFFERENCE_PER_STD = 2.0 / math.sqrt(math.pi)
# Most similarities fall below this when the typical sum of differences exceeds -ln of it.
FAINT_SIMILARITY = 0.01


class BandMoments:
    """Count, sum and sum of squares of each band of one grid, block by block (float64)."""

    def __init__(self):
        self.count = self.total = self.squares = None

    def add(self, block):
        values = block.reshape(-1, block.shape[-1]).astype(np.float64)
        finite = np.isfinite(values)
        values = np.where(finite, values, 0.0)
        count, total, squares = finite.sum(axis=0), values.sum(axis=0), (values * values).sum(axis=0)
        if self.count is None:
            self.count, self.total, self.squares = count, total, squares
        else:
            self.count, self.total, self.squares = self.count + count, self.total + total, self.squares + squares

    def std(self):
        count = np.maximum(self.count, 1)
        mean = self.total / count
        return np.sqrt(np.maximum(self.squares / count - mean * mean, 0.0))


def band_divisors(scale, stds):
    """One float32 divisor array per grid, from `transition_scale` (empty: 1; one entry: every
    band; else one per band, "std" taking the band's standard deviation) and each grid's band
    standard deviations."""
    bands = sum(len(s) for s in stds)
    if scale and len(scale) not in (1, bands):
        raise InputError(f"transition_scale gives {len(scale)} divisors for {bands} transition-grid bands; give "
                         "one for every band or one for all")
    wanted = list(scale) * bands if len(scale) == 1 else list(scale) or [1.0] * bands
    out, k = [], 0
    for grid_std in stds:
        divisors = []
        for std in grid_std:
            divisor = float(std) if wanted[k] == "std" else wanted[k]
            if not divisor > 0:
                raise InputError(f"transition grid band {k + 1} does not vary, so std cannot scale it; give a number")
            divisors.append(divisor)
            k += 1
        out.append(np.array(divisors, np.float32))
    return out


def warn_if_dissimilar(stds, divisors, stacklevel=3):
    """A warning when the bands' typical differences make most similarities fainter than 0.01."""
    typical = sum(float(np.sum(MEAN_DIFFERENCE_PER_STD * std / d)) for std, d in zip(stds, divisors))
    if typical > -math.log(FAINT_SIMILARITY):
        warnings.warn(f"transition grids: their bands' typical differences between cells (a sum of about "
                      f"{typical:.3g}) make most similarities below {FAINT_SIMILARITY:g}, so OLVI mostly follows "
                      "each cell's own condition; scale the bands with --transition-scale (transition_scale=): a "
                      "number per band, or std", UserWarning, stacklevel=stacklevel)
