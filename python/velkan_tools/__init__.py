"""velkan_tools: velkan on real data and on rasters larger than one call should take.

- `connectivity(condition, ...)`: habitat connectivity, KOVA or OLVI of a raster in memory (NumPy
  with a transform and CRS, or an xarray DataArray), checked as the command checks, as a DataArray;
- `coverage(polygons, like)`: the exact covered fraction of each cell, as a DataArray;
- `zonal_statistics(raster, polygons, stats=...)`: per-feature statistics, as a GeoDataFrame;
- `ConnectivitySettings`: every parameter of a run, declared once; `InputError`: what every
  function raises for input that cannot give a sound result (a ValueError);
- `level_transforms(base_transform, offsets, levels)`: the per-level `transforms` of a raster
  placed at `offsets` in the global grid;
- `search_reach(levels, window_size, outer_window)`: the halo, in base cells, that a tile needs;
- `connectivity_tiled(...)`: `velkan.connectivity` run tile by tile, with progress and Ctrl-C;
- `connectivity_dask(...)`: the same on dask arrays, on any dask scheduler;
- `connectivity_from_files(...)`: raster files of any size streamed tile by tile into a GeoTIFF,
  resumable from its checkpoint, locally or on a dask.distributed cluster.

`level_transforms`, `search_reach`, `ConnectivitySettings` and `InputError` need NumPy only; the
others need the `tools` extra and are imported when first used.
"""
from importlib import metadata

from .errors import InputError
from .grid import level_transforms, search_reach
from .settings import ConnectivitySettings

try:
    __version__ = metadata.version("velkan")
except metadata.PackageNotFoundError:  # run from a source tree that was never installed
    __version__ = "unknown"

__all__ = ["connectivity", "coverage", "zonal_statistics", "ConnectivitySettings", "InputError", "level_transforms",
           "search_reach", "connectivity_tiled", "connectivity_dask", "connectivity_from_files"]

_LAZY = {"connectivity": ".in_memory", "coverage": ".in_memory", "zonal_statistics": ".zonal",
         "connectivity_tiled": ".tiled", "connectivity_dask": ".on_dask", "connectivity_from_files": ".streaming"}


def __getattr__(name):
    if name in _LAZY:
        import importlib

        return getattr(importlib.import_module(_LAZY[name], __name__), name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
