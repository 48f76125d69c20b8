"""Shared by the velkan_tools tests: small fixed-seed rasters, the whole-raster reference call, and a
native call that Ctrl-C interrupts."""
import numpy as np

import velkan
from velkan_tools import level_transforms

F32 = np.float32
PROJECTED = (100.0, 0.0, 600_000.0, 0.0, -100.0, 6_700_000.0)  # 100 m cells: every centre exact in float64
GEOGRAPHIC = (0.003, 0.0, 24.1, 0.0, -0.002, 61.3)              # degrees: centres rounded differently per tile
LEVELS = [1, 2, 4]
OFFSETS = (13, 7)  # neither a multiple of the coarsest level


def landscape(rows=90, cols=75, seed=11):
    """Condition in [0, 1] with a few cells without data."""
    rng = np.random.default_rng(seed)
    condition = rng.uniform(0.05, 1.0, (rows, cols)).astype(F32)
    condition[rng.random((rows, cols)) < 0.04] = np.nan
    return condition


def protected_mask(shape, seed=12):
    """KOVA mask: False on a few rectangular protected patches, True elsewhere."""
    rng = np.random.default_rng(seed)
    mask = np.ones(shape, bool)
    for _ in range(6):
        r, c = rng.integers(0, shape[0] - 10), rng.integers(0, shape[1] - 10)
        mask[r:r + rng.integers(4, 12), c:c + rng.integers(4, 12)] = False
    return mask


def transition_grids(shape, seed=13):
    rng = np.random.default_rng(seed)
    first = rng.uniform(0, 1, shape + (3,)).astype(F32)
    first[rng.random(shape + (3,)) < 0.02] = np.nan
    return [first, rng.uniform(0, 1, shape + (2,)).astype(F32)]


def call_arguments(form, shape=(90, 75)):
    """Keyword arguments of one connectivity run, by name of its form (transform as the base transform)."""
    condition = landscape(*shape)
    mask = np.isnan(condition)
    args = dict(condition=condition, mask=mask, transgrid_list=None, transform=PROJECTED, levels=LEVELS,
                lambdas=[2.0, 20.0, 200.0], is_geo=False, max_cost=5.0, window_size=3, outer_window=5,
                offsets=OFFSETS)
    if form == "square":
        args["window_mode"] = "square"
    elif form == "geographic":
        args.update(transform=GEOGRAPHIC, is_geo=True)
    elif form == "traversal":
        args["traversal"] = landscape(*shape, seed=21)[::-1].copy()
    elif form == "kova":
        args.update(mask=protected_mask(shape), pa_to_pa=True)
    elif form == "olvi":
        args["transgrid_list"] = transition_grids(shape)
    else:
        assert form == "circular"
    return args


FORMS = ["circular", "square", "geographic", "traversal", "kova", "olvi"]


def whole_raster(args):
    """The reference: one velkan.connectivity call on the whole raster."""
    args = dict(args)
    args["transforms"] = level_transforms(args.pop("transform"), args["offsets"], args["levels"])
    return velkan.connectivity(**args)


def assert_same_values(actual, expected, form):
    """Bit for bit on projected grids of whole metres; within 1e-5 relative on geographic ones."""
    assert actual.dtype == np.float32 and actual.shape == expected.shape
    assert np.array_equal(np.isnan(actual), np.isnan(expected))
    assert np.isfinite(expected).sum() >= 300  # the comparison covers real values
    if form == "geographic":
        np.testing.assert_allclose(actual, expected, rtol=1e-5, atol=0)
    else:
        assert actual.tobytes() == expected.tobytes()


def interrupt_second_native_call(monkeypatch):
    """Make the second velkan.connectivity call raise KeyboardInterrupt, as Ctrl-C inside it would;
    returns the list that counts the calls."""
    native, calls = velkan.connectivity, []

    def interrupted_on_second_call(*args, **kwargs):
        calls.append(1)
        if len(calls) == 2:
            raise KeyboardInterrupt
        return native(*args, **kwargs)

    monkeypatch.setattr(velkan, "connectivity", interrupted_on_second_call)
    return calls
