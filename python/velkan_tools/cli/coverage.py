"""`velkan coverage`: the exact fraction of each raster cell that a vector file's polygons cover."""
import geopandas
import numpy as np
import shapely

import velkan

from .errors import InputError
from .rasters import atomic_output, crs_name, read_grid, write_geotiff


def read_polygons(path, crs):
    """The polygons of any vector file geopandas reads, reprojected to `crs` and unioned, as
    velkan's (exterior, [holes]) pairs."""
    try:
        frame = geopandas.read_file(path)
    except Exception as error:  # pyogrio and fiona raise their own classes; every one means unreadable
        raise InputError(f"polygons {path}: cannot read them ({error})") from None
    if frame.crs is None and len(frame):
        raise InputError(f"polygons {path} have no CRS: cannot place them on a raster in {crs_name(crs)}")
    shapes = frame.geometry[~(frame.geometry.isna() | frame.geometry.is_empty)]
    others = shapes[~shapes.geom_type.isin(["Polygon", "MultiPolygon"])]
    if len(others):
        kinds = ", ".join(sorted(set(others.geom_type)))
        raise InputError(f"polygons {path}: {len(others)} of its features are not polygons ({kinds})")
    if not len(shapes):
        return []
    union = shapely.union_all(shapes.to_crs(crs).values)
    return [(ring_coordinates(part.exterior), [ring_coordinates(hole) for hole in part.interiors])
            for part in shapely.get_parts(union) if isinstance(part, shapely.Polygon)]


def ring_coordinates(ring):
    return np.ascontiguousarray(shapely.get_coordinates(ring), dtype=np.float64)


def coverage_of(path, grid, n_threads=None):
    """Covered fraction of every cell of the grid, float32 in [0, 1]."""
    return velkan.pixel_coverage(read_polygons(path, grid.crs), grid.coefficients, grid.shape, n_threads=n_threads)


def run(args):
    grid = read_grid(args.like, "--like raster")
    if grid.crs is None:
        raise InputError(f"--like raster {args.like} has no CRS: cannot reproject polygons onto it")
    with atomic_output(args.output) as temporary:
        write_geotiff(temporary, coverage_of(args.polygons, grid, args.threads), grid, nodata=None)
    print(f"coverage of {args.polygons} on {grid.describe()}: {args.output}")


def add_parser(commands):
    parser = commands.add_parser("coverage", help="rasterise polygons into the fraction of each cell they cover",
                                 description="Fraction of each cell of --like's grid covered by the polygons "
                                             "(any vector file geopandas reads), reprojected to its CRS and unioned.")
    parser.add_argument("polygons", metavar="POLYGONS")
    parser.add_argument("-o", "--output", required=True, metavar="OUT.tif")
    parser.add_argument("--like", required=True, metavar="RASTER.tif", help="the raster whose grid to cover")
    parser.add_argument("--threads", type=int, default=None, metavar="N")
    parser.set_defaults(run=run)
