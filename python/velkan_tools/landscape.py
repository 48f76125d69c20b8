"""The demo's synthetic landscape: condition with a lake and a road, and protected areas."""
import geopandas
import numpy as np
import shapely
from rasterio.crs import CRS
from rasterio.transform import Affine

from .rasters import Grid

SEED = 2026
# 200 x 200 cells of 100 m in the Finnish national grid: 20 km a side.
GRID = Grid(CRS.from_epsg(3067), Affine(100.0, 0.0, 380_000.0, 0.0, -100.0, 6_720_000.0), (200, 200))


def synthetic_condition(shape, rng):
    """Condition in [0, 1]: a matrix of middling habitat with smooth patches of intact habitat, a
    lake without data and a road across (condition 0.05)."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    field = rng.normal(0.0, 0.04, shape)
    for _ in range(14):
        r, c = rng.uniform(0, shape[0]), rng.uniform(0, shape[1])
        width = rng.uniform(8, 30)
        field += rng.uniform(0.3, 1.0) * np.exp(-((rows - r) ** 2 + (cols - c) ** 2) / (2 * width ** 2))
    condition = np.clip(0.5 + 0.5 * (field - field.min()) / (field.max() - field.min()), 0.0, 1.0).astype(np.float32)
    condition[((rows - 140) / 18) ** 2 + ((cols - 50) / 28) ** 2 < 1] = np.nan
    condition[np.abs(rows - 0.6 * cols - 30) < 1.5] = 0.05
    return condition


def protected_areas(grid, rng):
    """Three protected areas in world coordinates: a ring with a hole, and two overlapping parks."""
    def at(row, col):
        return grid.transform @ (col, row)

    def blob(row, col, radius, points=40):
        angles = np.linspace(0, 2 * np.pi, points, endpoint=False)
        radii = radius * (1 + 0.25 * np.sin(3 * angles + rng.uniform(0, 2 * np.pi)))
        return [at(row + r * np.sin(a), col + r * np.cos(a)) for r, a in zip(radii, angles)]

    ring = shapely.Polygon(blob(55, 60, 32), [blob(55, 60, 12)])
    parks = [shapely.Polygon(blob(120, 150, 26)), shapely.Polygon(blob(150, 170, 20))]
    return geopandas.GeoDataFrame({"name": ["ring", "east park", "south park"]}, geometry=[ring] + parks,
                                  crs=grid.crs)
