import importlib.util

import numpy as np
import pytest

# The velkan_tools tests need the `tools` extra; an environment with the core
# install only (NumPy alone) runs the rest.
_TOOLS_EXTRA = ("rasterio", "geopandas", "dask", "distributed", "tqdm", "matplotlib", "zarr")
collect_ignore_glob = [] if all(importlib.util.find_spec(m) for m in _TOOLS_EXTRA) else ["test_tools_*.py"]


def base_args(**overrides):
    """A small valid connectivity call, as keyword arguments."""
    rows, cols = 6, 7
    args = dict(
        condition=np.ones((rows, cols), dtype=np.float32),
        mask=np.zeros((rows, cols), dtype=bool),
        transgrid_list=None,
        transforms={1: (100.0, 0.0, 0.0, 0.0, -100.0, 0.0), 2: (200.0, 0.0, 0.0, 0.0, -200.0, 0.0)},
        levels=[1, 2],
        lambdas=[2.0, 20.0],
        is_geo=False,
        max_cost=0.2,
        window_size=3,
        outer_window=5,
        offsets=(0, 0),
    )
    args.update(overrides)
    return args


@pytest.fixture
def conn_args():
    return base_args
