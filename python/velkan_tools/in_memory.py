"""Connectivity and coverage of rasters in memory, checked as the `velkan` command checks its
files: NumPy arrays with a transform and a CRS, or xarray DataArrays (rioxarray's transform, CRS
and nodata), in and out. A dask-backed DataArray runs lazily, chunk by chunk."""
from dataclasses import dataclass

import numpy as np

from . import __version__
from ._extras import require
from .blocks import value_name
from .checks import unit_range_problem
from .errors import InputError
from .rasters import Grid, geographic_crs, read_grid
from .settings import settings_from
from .survey import OutOfRange

xarray = require("xarray", "velkan_tools.connectivity")
require("rioxarray", "velkan_tools.connectivity")  # the .rio accessor
rasterio = require("rasterio", "velkan_tools.connectivity")
da = require("dask.array", "velkan_tools.connectivity")
Affine, CRS = rasterio.transform.Affine, rasterio.crs.CRS


@dataclass
class Placed:
    """A raster as the engine takes it: float32 values with NaN where there is no data ((rows,
    cols), or (rows, cols, bands)), on a grid; `template` is the DataArray it came from, if any."""

    values: object  # a NumPy or dask array
    grid: Grid
    template: object = None


def as_float32(values, nodata):
    """Any real dtype as float32, nodata (and NaN) as NaN; lazily for dask arrays."""
    kind = np.dtype(values.dtype).kind
    if kind not in "biuf":
        raise InputError(f"values of dtype {values.dtype} are not real numbers")
    lazy = isinstance(values, da.Array)
    if nodata is not None and not np.isnan(nodata):
        values = (da if lazy else np).where(values == nodata, np.nan, values)
    return values.astype(np.float32) if lazy else np.ascontiguousarray(values, dtype=np.float32)


def placed(raster, role, transform=None, crs=None, nodata=None, bands=False):
    """A DataArray (its transform, CRS and nodata read with rioxarray, a band dimension first for
    `bands`) or an array-like with `transform` and `crs`, as a Placed raster."""
    if isinstance(raster, xarray.DataArray):
        transform = raster.rio.transform()
        crs = raster.rio.crs if crs is None else CRS.from_user_input(crs)
        nodata = raster.rio.nodata if raster.rio.nodata is not None else raster.rio.encoded_nodata
        values, template = raster.data, raster
    else:
        if transform is None:
            raise InputError(f"{role}: give transform= (the affine a, b, c, d, e, f of its cells) for a NumPy array, "
                             "or a DataArray with rioxarray's georeferencing")
        values, template = (raster if isinstance(raster, da.Array) else np.asarray(raster)), None
        transform = transform if isinstance(transform, Affine) else Affine(*tuple(transform)[:6])
        crs = None if crs is None else CRS.from_user_input(crs)
    if values.ndim != (3 if bands else 2):
        raise InputError(f"{role} has {values.ndim} dimensions; it needs {'a band and ' if bands else ''}rows and "
                         "columns")
    values = as_float32(values, nodata)
    if bands:
        values = values.transpose(1, 2, 0) if isinstance(values, da.Array) else np.ascontiguousarray(
            np.moveaxis(values, 0, -1))
    return Placed(values, Grid(crs, transform, tuple(values.shape[:2])), template)


def on_grid(raster, role, base, bands=False):
    """A raster that must lie on the condition's grid (a NumPy array takes the condition's)."""
    if raster is None:
        return None
    other = placed(raster, role, base.grid.transform, base.grid.crs, bands=bands)
    if other.grid.shape != base.grid.shape or not other.grid.transform.almost_equals(base.grid.transform):
        raise InputError(f"{role} of {other.grid.describe()} does not lie on the condition's {base.grid.describe()}")
    if other.grid.crs != base.grid.crs:
        raise InputError(f"{role}: its CRS differs from the condition's")
    return other.values


def checked_fractions(values, role, scale):
    """Values divided by their scale, refused unless they are fractions in [0, 1] (NumPy only: a
    dask array is not read here)."""
    if scale != 1:
        values = values / np.float32(scale)
    if isinstance(values, np.ndarray) and (problem := unit_range_problem(values)):
        hint = f"; divide them with {role}_scale" if np.nanmin(values) >= 0 else ""
        raise OutOfRange(f"{role} {problem}{hint}", role)
    return values


def protected_cells(protected, base, settings):
    """True where a cell is protected: a raster's non-zero cells, or cells that polygons cover at
    least `protected_cover` of."""
    if isinstance(protected, (np.ndarray, xarray.DataArray, da.Array)):
        values = on_grid(protected, "protected", base)
        return (values != 0) & ~(da if isinstance(values, da.Array) else np).isnan(values)
    from .vectors import coverage_of

    return coverage_of(protected, base.grid, settings.n_threads) >= settings.protected_cover


def focal_mask(base, mask, protected, settings):
    """True where a cell is no focal source: no data, the mask's non-zero or NaN cells, and with
    protected areas the cells outside them (as the command's files give them)."""
    xp = da if isinstance(base.values, da.Array) else np
    out = xp.isnan(base.values)
    if mask is not None:
        values = on_grid(mask, "mask", base)
        out = out | xp.isnan(values) | (values != 0)
    if protected is not None:
        out = out | ~protected_cells(protected, base, settings)
    elif settings.pa_to_pa and mask is None:
        raise InputError("pa_to_pa needs protected= (or mask=) to say which cells are protected")
    return out


def reclassified(landcover, reclass, transform, crs, nodata):
    """(condition, traversal or None) DataArrays or arrays of a land cover of integer classes,
    through a reclass table; a class with data that the table lacks is an InputError."""
    from .reclass import as_table, unmapped_refusal

    table = as_table(reclass)
    raw = placed(landcover, "land cover", transform, crs, nodata)
    valid = ~np.isnan(raw.values)
    classes = np.where(valid, np.nan_to_num(raw.values), 0).astype(np.int64)
    if missing := table.unmapped(classes, valid):
        raise unmapped_refusal("given", table, missing)
    condition, traversal = table.apply(classes, valid)
    as_raster = (lambda values: data_array(values, raw, {})) if raw.template is not None else (lambda values: values)
    return as_raster(condition), (as_raster(traversal) if table.has_traversal else None)


def connectivity(condition, *, mask=None, traversal=None, transition=(), protected=None, transform=None, crs=None,
                 nodata=None, reclass=None, settings=None, progress=False, **parameters):
    """Habitat connectivity, KOVA or OLVI of a raster in memory, as an xarray DataArray.

    `condition` is an xarray DataArray (rioxarray's transform, CRS and nodata are read from it)
    or an array-like with `transform` (a, b, c, d, e, f or an Affine) and `crs`; any real dtype,
    nodata as NaN. `mask` (non-zero or NaN cells are no focal sources), `traversal`,
    `transition` (DataArrays or arrays of (band, row, column)) and `protected` (a raster whose
    non-zero cells are protected, or polygons: a GeoDataFrame, GeoSeries, shapely geometries or a
    vector file's path) lie on the condition's grid; with protected areas, cells outside them are
    no focal sources. With `reclass` (a mapping, a CSV file's path or a ReclassTable, see
    velkan_tools.reclass) `condition` is a land cover of integer classes that the table maps to
    the condition and, unless `traversal` is given, the traversal. The parameters come from
    `settings` (a ConnectivitySettings) with any of its fields as keywords over it; the defaults
    are the `velkan` command's, and so are the checks (InputError, a ValueError) and the values,
    bit for bit. Geographic CRSs are measured along great circles; projected ones must be in metres.

    The result has the condition's coordinates and CRS, NaN where there is no value, and the run's
    provenance in its attributes. A dask-backed condition gives a lazy result.

    >>> import numpy as np, velkan_tools
    >>> condition = np.full((40, 50), 0.8, np.float32)
    >>> values = velkan_tools.connectivity(condition, transform=(100.0, 0, 500000.0, 0, -100.0, 7000000.0),
    ...                                    crs="EPSG:3067", lambdas=[0.5, 1, 2])
    >>> values.dims, values.shape, values.attrs["long_name"], str(values.rio.crs)
    (('y', 'x'), (40, 50), 'habitat connectivity', 'EPSG:3067')
    """
    from .on_dask import connectivity_dask
    from .tiled import connectivity_tiled

    settings = settings_from(settings, **parameters)
    if reclass is not None:
        condition, from_table = reclassified(condition, reclass, transform, crs, nodata)
        traversal, nodata = traversal if traversal is not None else from_table, None
    base = placed(condition, "condition", transform, crs, nodata)
    is_geo = geographic_crs(base.grid.crs, "condition")
    base.values = checked_fractions(base.values, "condition", settings.condition_scale)
    if traversal is not None:
        traversal = checked_fractions(on_grid(traversal, "traversal", base), "traversal", settings.traversal_scale)
    # The command's tiles: the raster's values do not depend on them, but the last bits of
    # geographic ones follow each tile's own cell centres, and a band's std its tiles' sums.
    settings = settings.replace(tile_size=min(settings.tile_size, max(base.grid.shape)))
    grids = scaled_grids([on_grid(grid, f"transition grid {k}", base, bands=True) for k, grid in enumerate(transition)],
                         settings)
    mask = focal_mask(base, mask, protected, settings)
    rasters = (base.values, mask, traversal, *grids)
    arguments = dict(is_geo=is_geo, traversal=traversal, settings=settings)
    if any(isinstance(r, da.Array) for r in rasters):
        values = connectivity_dask(base.values, mask, grids or None, base.grid.coefficients, **arguments)
    else:
        values = connectivity_tiled(base.values, mask, grids or None, base.grid.coefficients, progress=progress,
                                    **arguments)
    value = value_name(grids, settings.pa_to_pa)
    attributes = {"long_name": value, "velkan_version": __version__,
                  **{f"velkan_{name}": str(v) for name, v in settings.record().items() if v is not None}}
    return data_array(values, base, attributes)


def scaled_grids(grids, settings):
    """Transition grids divided band by band as `transition_scale` says (std: each band's standard
    deviation, its moments summed tile by tile as the command's survey sums them)."""
    if not grids:
        return grids
    from .tiled import tile_cores
    from .transition import BandMoments, band_divisors, warn_if_dissimilar

    stds = []
    for grid in grids:
        moments = BandMoments()
        for rows, cols in tile_cores(grid.shape[:2], settings.tile_size):
            moments.add(np.asarray(grid[slice(*rows), slice(*cols)]))
        stds.append(moments.std())
    divisors = band_divisors(settings.transition_scale, stds)
    warn_if_dissimilar(stds, divisors, stacklevel=4)
    return [grid / d for grid, d in zip(grids, divisors)]


def data_array(values, base, attributes):
    """Values on the base raster's grid as a DataArray: its coordinates (the template's, or the
    cell centres of its transform), its CRS, NaN as nodata."""
    if base.template is not None:
        out = base.template.copy(data=values)
        out.attrs, out.encoding = {}, {}
    else:
        rows, cols = base.grid.shape
        t = base.grid.transform
        centres = {"y": t.f + t.e * (np.arange(rows) + 0.5), "x": t.c + t.a * (np.arange(cols) + 0.5)}
        out = xarray.DataArray(values, dims=("y", "x"), coords=centres)
        out = out.rio.write_transform(t)
    if base.grid.crs is not None:
        out = out.rio.write_crs(base.grid.crs)
    out = out.rio.write_nodata(np.nan, encoded=False)
    out.attrs.update(attributes)
    return out


def coverage(polygons, like, *, layer=None, where=None, n_threads=None):
    """The exact fraction of each cell of `like`'s grid that the polygons cover, as a float32 DataArray.

    `polygons`: a GeoDataFrame, GeoSeries, shapely geometries (in `like`'s CRS when they carry
    none) or a vector file's path (`layer` and `where` choose features); reprojected to `like`'s
    CRS, invalid ones repaired, and unioned. `like`: a DataArray or a raster file's path.

    >>> import shapely, xarray, velkan_tools
    >>> like = xarray.DataArray(np.zeros((4, 4)), dims=("y", "x"), coords={"y": [3.5, 2.5, 1.5, 0.5],
    ...                         "x": [0.5, 1.5, 2.5, 3.5]}).rio.write_crs("EPSG:3067")
    >>> velkan_tools.coverage(shapely.box(0.5, 0.5, 2.0, 2.0), like).values[2:, :2].tolist()
    [[0.5, 1.0], [0.25, 0.5]]
    """
    from .vectors import coverage_of

    if isinstance(like, xarray.DataArray):
        base = Placed(None, Grid(like.rio.crs, like.rio.transform(), (like.rio.height, like.rio.width)), like)
    else:
        base = Placed(None, read_grid(like, "like raster"))
    if base.grid.crs is None:
        raise InputError("like: the raster has no CRS: cannot place the polygons on it")
    cover = coverage_of(polygons, base.grid, n_threads, layer=layer, where=where)
    out = data_array(cover, base, {"long_name": "covered fraction", "velkan_version": __version__})
    return out.rio.write_nodata(None)
