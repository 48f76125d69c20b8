"""GeoTIFF input and output: rasters that share one grid, and outputs that appear whole or not at all."""
import contextlib
import os
import warnings
from dataclasses import dataclass

import numpy as np
import rasterio
from rasterio.enums import MaskFlags
from rasterio.errors import RasterioError

from .errors import WRITE_ERRNOS, InputError
from .temporaries import remove_stale_temporaries, temporary_name


@dataclass(frozen=True)
class Grid:
    """Where a raster's cells lie: its CRS, affine transform and (rows, columns)."""

    crs: object
    transform: object
    shape: tuple

    @property
    def coefficients(self):
        """The transform as velkan takes it: (a, b, c, d, e, f)."""
        return tuple(self.transform)[:6]

    def describe(self):
        return f"{self.shape[0]} x {self.shape[1]} cells"


def is_local(path):
    """False for GDAL's virtual paths (/vsizip/, /vsicurl/, ...) and URLs, which only GDAL can open."""
    path = os.fspath(path)
    return not (path.startswith("/vsi") or "://" in path)


@contextlib.contextmanager
def opened(path, role):
    """The raster open for reading (any path rasterio opens: files, VRTs, /vsizip/, /vsicurl/,
    s3://, https://), or an InputError that names it."""
    try:
        with rasterio.open(path) as source:
            yield source
    except RasterioError as error:
        if is_local(path) and not os.path.exists(path):
            raise InputError(f"{role} {path}: no such file") from None
        raise InputError(f"{role} {path}: cannot read it as a raster ({error})") from None


def is_raster(path):
    """True for a path GDAL opens as a raster with bands (not a vector file)."""
    if is_local(path) and not os.path.isfile(path):
        return False
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # e.g. not georeferenced: the caller checks the grid
            with rasterio.open(path) as source:
                return source.count > 0
    except RasterioError:
        return False


def grid_of(source):
    return Grid(source.crs, source.transform, (source.height, source.width))


def read_grid(path, role, bands=None):
    """The raster's grid; with `bands`, refused unless it has that many."""
    with opened(path, role) as source:
        if bands is not None and source.count != bands:
            raise InputError(f"{role} {path} has {source.count} bands; it needs exactly {bands}")
        return grid_of(source)


# Band masks that say no more than the nodata value does.
SIMPLE_MASKS = ([MaskFlags.all_valid], [MaskFlags.nodata])


def read_float32(source, indexes=None, **read_options):
    """Bands of an open raster as float32 with NaN where there is no data (its nodata value or its
    masks); `read_options` go to rasterio's read (window, out_shape)."""
    if all(flags in SIMPLE_MASKS for flags in source.mask_flag_enums):
        # Faster than a masked read, to the same values: only the nodata value is masked.
        raw = source.read(indexes, **read_options)
        data = raw.astype(np.float32)
        if source.nodata is not None and not np.isnan(source.nodata):
            data[raw == source.nodata] = np.nan
        return data
    return source.read(indexes, masked=True, **read_options).astype(np.float32).filled(np.nan)


def read_preview(path, most_cells=2000):
    """The first band, NaN where there is no data, read at most `most_cells` a side (a nearest-cell
    decimation, so a map of any raster fits in memory)."""
    with opened(path, "raster") as source:
        step = max(1, -(-max(source.height, source.width) // most_cells))
        return read_float32(source, 1, out_shape=(-(-source.height // step), -(-source.width // step)))


def read_raster(path, role, bands=1):
    """A raster as float32 with NaN where it has no data, shaped (rows, cols) for one band or
    (rows, cols, bands) when `bands` is None, with its grid."""
    with opened(path, role) as source:
        if bands == 1 and source.count != 1:
            raise InputError(f"{role} {path} has {source.count} bands; it needs exactly one")
        data = read_float32(source)
        grid = grid_of(source)
    return (data[0] if bands == 1 else np.ascontiguousarray(np.moveaxis(data, 0, -1))), grid


def check_same_grid(role, path, grid, reference_path, reference):
    """Refuse a raster whose cells are not the reference raster's."""
    if grid.crs != reference.crs:
        raise InputError(f"{role} {path}: CRS {crs_name(grid.crs)} differs from {reference_path}'s "
                         f"{crs_name(reference.crs)}")
    if grid.shape != reference.shape:
        raise InputError(f"{role} {path} is {grid.describe()}, {reference_path} {reference.describe()}")
    if not grid.transform.almost_equals(reference.transform):
        raise InputError(f"{role} {path}: its cells do not line up with those of {reference_path}")


def read_matching(path, role, reference_path, reference, bands=1):
    """A raster that must share the reference raster's grid."""
    data, grid = read_raster(path, role, bands)
    check_same_grid(role, path, grid, reference_path, reference)
    return data


def crs_name(crs):
    return "none" if crs is None else crs.to_string()


def is_geographic(path, grid):
    """True for longitude/latitude rasters; projected ones must be in metres."""
    return geographic_crs(grid.crs, path)


def geographic_crs(crs, name):
    """True for a longitude/latitude CRS; a projected one must be in metres, and there must be one."""
    if crs is None:
        raise InputError(f"{name} has no CRS: cannot tell metres from degrees")
    if crs.is_geographic:
        return True
    unit, factor = crs.linear_units_factor
    if factor != 1.0:
        raise InputError(f"{name}: CRS {crs_name(crs)} is in {unit}; projected rasters must be in metres")
    return False


def raise_as_write_of(path, error):
    """Names `path` in a failed write that does not say which file it was writing."""
    if error.filename is None and error.errno in WRITE_ERRNOS:
        raise OSError(error.errno, error.strerror, path) from error
    raise error


@contextlib.contextmanager
def atomic_output(path):
    """A temporary path beside `path`, renamed onto it when the block succeeds and removed otherwise,
    so `path` never holds a partial file; the temporaries a killed run left beside `path` go first."""
    folder = os.path.dirname(os.path.abspath(path))
    if not os.path.isdir(folder):
        raise InputError(f"output folder {folder} does not exist")
    remove_stale_temporaries(path)
    temporary = temporary_name(path, os.path.splitext(path)[1])
    try:
        yield temporary
        os.replace(temporary, path)
    except OSError as error:
        raise_as_write_of(path, error)
    finally:
        with contextlib.suppress(FileNotFoundError):
            os.remove(temporary)


GEOTIFF_BLOCK = 256  # the plain GeoTIFF's internal tiles, and the windows it is written in


def geotiff_profile(grid, nodata=np.nan):
    """The plain tiled float32 GeoTIFF of one band on the grid that a COG is made from."""
    return dict(driver="GTiff", height=grid.shape[0], width=grid.shape[1], count=1, dtype="float32", crs=grid.crs,
                transform=grid.transform, nodata=nodata, tiled=True, blockxsize=GEOTIFF_BLOCK,
                blockysize=GEOTIFF_BLOCK, compress="deflate", predictor=3, BIGTIFF="IF_SAFER")


def write_geotiff(path, values, grid, nodata=np.nan):
    """A tiled, compressed float32 GeoTIFF on the grid."""
    with rasterio.open(path, "w", **geotiff_profile(grid, nodata)) as target:
        target.write(values.astype(np.float32, copy=False), 1)


def save_cog(path, values, grid, description, tags, creation_options=None, nodata=np.nan):
    """The values as a cloud-optimised GeoTIFF at `path`, whole or not at all, with the band's
    description and the tags (see velkan_tools.cog)."""
    from .cog import cog_beside

    with cog_beside(path, description, tags, creation_options) as plain:
        write_geotiff(plain, values, grid, nodata)
