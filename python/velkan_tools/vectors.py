"""Vector files: polygons read (one layer, selected features, reprojected and unioned) and their coverage."""
import logging
import os
import warnings

import geopandas
import numpy as np
import pyogrio
import shapely

import velkan

from .errors import InputError
from .rasters import crs_name

log = logging.getLogger("velkan_tools")


def chosen_layer(path, layer):
    """The layer to read: the one named, or the only one; a file of several needs --layer."""
    try:
        layers = [str(name) for name in pyogrio.list_layers(path)[:, 0]]
    except Exception as error:  # pyogrio's own classes; every one means unreadable
        raise InputError(f"polygons {path}: cannot read them ({error})") from None
    if layer is None and len(layers) > 1:
        raise InputError(f"polygons {path} has {len(layers)} layers ({', '.join(layers)}); choose one with --layer")
    if layer is not None and layer not in layers:
        raise InputError(f"polygons {path} has no layer {layer} (its layers: {', '.join(layers)})")
    return layer


def present_geometries(frame):
    """The frame's geometries that are neither missing nor empty."""
    return frame.geometry[~(frame.geometry.isna() | frame.geometry.is_empty)]


def read_features(path, layer, where, crs):
    """The features of one layer of any vector file geopandas reads (those `where` selects), each
    with its attributes, reprojected to `crs`; refused unless every geometry is a polygon."""
    layer = chosen_layer(path, layer)
    try:
        frame = geopandas.read_file(path, layer=layer, where=where, fid_as_index=True)
    except Exception as error:  # pyogrio and fiona raise their own classes; every one means unreadable
        selected = f" with --where {where!r}" if where else ""
        raise InputError(f"polygons {path}: cannot read them{selected} ({error})") from None
    if frame.crs is None and len(frame):
        raise InputError(f"polygons {path} have no CRS: cannot place them on a raster in {crs_name(crs)}")
    check_polygonal(frame, path)
    frame = repaired(frame, path).reset_index(drop=True)
    return frame.to_crs(crs) if len(frame) else frame


def polygonal_part(geometry):
    """The polygons of a geometry that make_valid returned: itself, or the polygonal parts of a
    collection (empty when none is left)."""
    if geometry.geom_type in ("Polygon", "MultiPolygon"):
        return geometry
    parts = [part for part in shapely.get_parts(geometry) if part.geom_type in ("Polygon", "MultiPolygon")]
    return shapely.union_all(parts) if parts else shapely.Polygon()


def repaired(frame, path):
    """The frame with its invalid geometries (self-crossing rings, say) repaired by shapely's
    make_valid, keeping their polygonal parts, and one warning that counts them and names the
    first one's feature id; a feature with nothing polygonal left counts as skipped."""
    shapes = frame.geometry
    invalid = ~(shapes.isna() | shapes.is_empty) & ~shapes.is_valid
    if not invalid.any():
        return frame
    fixed = [polygonal_part(geometry) for geometry in shapely.make_valid(shapes[invalid].values)]
    frame = frame.copy()
    frame.loc[invalid, frame.geometry.name] = geopandas.GeoSeries(fixed, index=frame.index[invalid], crs=frame.crs)
    skipped = sum(geometry.is_empty for geometry in fixed)
    warnings.warn(f"polygons {path}: {int(invalid.sum()):,} invalid features (the first is feature id "
                  f"{frame.index[invalid][0]}) repaired with shapely's make_valid"
                  + (f"; {skipped:,} with nothing polygonal left are skipped" if skipped else ""),
                  UserWarning, stacklevel=3)
    return frame


def features_of(polygons, crs, layer=None, where=None):
    """Polygon features in `crs`, from a vector file's path (`layer` and `where` choose features),
    a GeoDataFrame or GeoSeries, or shapely geometries (taken to be in `crs` when they carry no
    CRS of their own); refused unless every geometry is a polygon, invalid ones repaired."""
    if isinstance(polygons, (str, os.PathLike)):
        return read_features(os.fspath(polygons), layer, where, crs)
    if isinstance(polygons, shapely.Geometry):
        polygons = [polygons]
    frame = polygons if isinstance(polygons, geopandas.GeoDataFrame) else geopandas.GeoDataFrame(
        geometry=geopandas.GeoSeries(polygons))
    frame = frame.set_crs(crs) if frame.crs is None else frame
    check_polygonal(frame, "given")
    return repaired(frame, "given").to_crs(crs)


def check_polygonal(frame, path):
    shapes = present_geometries(frame)
    others = shapes[~shapes.geom_type.isin(["Polygon", "MultiPolygon"])]
    if len(others):
        kinds = ", ".join(sorted(set(others.geom_type)))
        raise InputError(f"polygons {path}: {len(others)} of its features are not polygons ({kinds})")


def unioned_rings(frame):
    """The features' polygons, unioned, as velkan's (exterior, [holes]) pairs."""
    shapes = present_geometries(frame)
    if not len(shapes):
        return []
    union = shapely.union_all(shapes.values)
    return [(ring_coordinates(part.exterior), [ring_coordinates(hole) for hole in part.interiors])
            for part in shapely.get_parts(union) if isinstance(part, shapely.Polygon)]


def read_polygons(path, crs, layer=None, where=None):
    """The polygons of `read_features`, unioned, as velkan's (exterior, [holes]) pairs."""
    return unioned_rings(read_features(path, layer, where, crs))


def ring_coordinates(ring):
    return np.ascontiguousarray(shapely.get_coordinates(ring), dtype=np.float64)


def coverage_of(source, grid, n_threads=None, layer=None, where=None):
    """Covered fraction of every cell of the grid by the polygons of `source` (as `features_of`
    takes them), float32 in [0, 1]; a warning when nothing is covered."""
    polygons = unioned_rings(features_of(source, grid.crs, layer, where))
    path = source if isinstance(source, (str, os.PathLike)) else "given"
    log.info("read %s: %d polygons after union", path, len(polygons))
    cover = velkan.pixel_coverage(polygons, grid.coefficients, grid.shape, n_threads=n_threads)
    if not cover.any():
        what = "none of its polygons reaches" if polygons else "it holds no polygons for"
        warnings.warn(f"polygons {path}: {what} the raster's {grid.describe()}; nothing is covered", UserWarning,
                      stacklevel=2)
    return cover
