"""What reading a land cover through a reclass table costs, against reading a condition raster.

    python bench/reclass.py [--size 20000] [--folder /tmp/velkan-scale]

A land cover of SIZE x SIZE cells (uint8 classes 0 to 9 of bench/scale.py's smooth field, the
scale benchmark's ~2 % NaN as class 255, nodata) is written once into the folder beside
scale.py's condition raster of the same field; a table maps class k to condition (k + 0.5) / 10.
Timed: the survey (the streamed run up to its first tile: every tile's core read once, with the
digests) of the land cover through the table, and of the condition raster; and the table's
mapping alone over every tile. The tiles' own reads and mapping cost the same per cell as the
survey's (their padded windows are larger by the halo).
"""
import time

import numpy as np
import rasterio
from checkpoint import large_raster_benchmark, run_stopped_at
from rasterio.windows import Window
from scale import BLOCK, TRANSFORM, condition_block, write_inputs

from velkan_tools.reclass import ReclassTable
from velkan_tools.tiled import tile_cores

TABLE = {k: (k + 0.5) / 10 for k in range(10)}


def write_land_cover(folder, size):
    path = folder / f"landcover-{size}.tif"
    if path.exists():
        return path
    with rasterio.open(path, "w", driver="GTiff", height=size, width=size, count=1, dtype="uint8", nodata=255,
                       crs="EPSG:3067", transform=TRANSFORM, tiled=True, blockxsize=BLOCK, blockysize=BLOCK,
                       compress="deflate") as target:
        for rows, cols in tile_cores((size, size), BLOCK):
            field = condition_block(rows, cols)
            classes = np.where(np.isnan(field), 255, np.clip(np.floor(field * 10), 0, 9)).astype(np.uint8)
            target.write(classes, 1, window=Window.from_slices(slice(*rows), slice(*cols)))
    return path


def mapping_seconds(path, table, tile_size=256):
    """The table's mapping alone, over every tile's core (read first, untimed)."""
    total = 0.0
    with rasterio.open(path) as source:
        for rows, cols in tile_cores((source.height, source.width), tile_size):
            data = source.read(1, window=Window.from_slices(slice(*rows), slice(*cols)), masked=True)
            start = time.perf_counter()
            table.apply(np.ma.getdata(data), ~np.ma.getmaskarray(data))
            total += time.perf_counter() - start
    return total


def main():
    size, folder = large_raster_benchmark("reclass", __doc__)
    condition, mask = write_inputs(folder, size)
    land_cover = write_land_cover(folder, size)
    table = ReclassTable.from_mapping(TABLE)
    plain = run_stopped_at("compute_and_check", condition, mask, folder / "plain.tif")
    reclassed = run_stopped_at("compute_and_check", land_cover, mask, folder / "reclassed.tif", reclass=table)
    mapping = mapping_seconds(land_cover, table)
    print(f"| {size:,} x {size:,} cells | seconds |")
    print("|---|---|")
    print(f"| survey of the condition raster | {plain:.1f} |")
    print(f"| survey of the land cover through the table | {reclassed:.1f} |")
    print(f"| the table's mapping alone, every tile | {mapping:.1f} |")


if __name__ == "__main__":
    main()
