"""velkan: habitat connectivity and exact pixel coverage on NumPy rasters (native module)."""
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["connectivity", "pixel_coverage"]

_Affine = tuple[float, float, float, float, float, float]
_Ring = npt.NDArray[np.float64]

def connectivity(
    condition: npt.NDArray[np.float32] | None,
    mask: npt.NDArray[np.bool_],
    transgrid_list: list[npt.NDArray[np.float32] | None] | None,
    transforms: Mapping[int, _Affine],
    levels: Sequence[int],
    lambdas: Sequence[float],
    is_geo: bool,
    max_cost: float,
    window_size: int,
    outer_window: int,
    offsets: tuple[int, int],
    traversal: npt.NDArray[np.float32] | None = None,
    n_threads: int | None = None,
    window_mode: str = "circular",
    pa_to_pa: bool = False,
) -> npt.NDArray[np.float32]:
    """Compute habitat/KOVA connectivity and OLVI."""

def pixel_coverage(
    polygons: list[tuple[_Ring, list[_Ring]]],
    transform: _Affine,
    shape: tuple[int, int],
    n_threads: int | None = None,
) -> npt.NDArray[np.float32]:
    """Compute the proportion of each raster pixel covered by a (multi)polygon."""
