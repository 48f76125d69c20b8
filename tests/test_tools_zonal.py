"""velkan zonal against exactextract's statistics and shapely's exact areas."""
import geopandas
import numpy as np
import pandas
import pytest
import rasterio
import shapely
from exactextract import exact_extract
from rasterio.transform import Affine

from velkan_tools.cli import main

TRANSFORM = Affine(100.0, 0.0, 380_000.0, 0.0, -100.0, 6_720_000.0)
SHAPE = (60, 50)


def raster_file(path):
    values = np.random.default_rng(4).uniform(-2, 5, SHAPE).astype(np.float32)
    values[10:25, 5:20] = -9999.0  # without data
    with rasterio.open(path, "w", driver="GTiff", height=SHAPE[0], width=SHAPE[1], count=1, dtype="float32",
                       crs="EPSG:3067", transform=TRANSFORM, nodata=-9999.0) as target:
        target.write(values, 1)
    return str(path)


def features():
    """Polygons of every kind: holes, several parts, over the edge, over no data, outside the raster."""
    rng = np.random.default_rng(5)
    x0, y0 = TRANSFORM * (0, 0)
    shapes = [shapely.Point(x0 + rng.uniform(0, 5000), y0 - rng.uniform(0, 6000)).buffer(rng.uniform(80, 900))
              for _ in range(25)]
    ring = shapely.Point(x0 + 2500, y0 - 3000).buffer(1200)
    shapes += [ring.difference(shapely.Point(x0 + 2500, y0 - 3000).buffer(500)),  # a hole
               shapely.MultiPolygon([shapely.box(x0 + 10, y0 - 990, x0 + 333, y0 - 50),
                                     shapely.box(x0 + 4000, y0 - 5950, x0 + 4987, y0 - 5000)]),
               shapely.box(x0 - 700, y0 - 1700, x0 + 420, y0 - 600),  # over the western edge
               shapely.box(x0 + 800, y0 - 2300, x0 + 1700, y0 - 1300),  # all without data
               shapely.box(x0 + 9000, y0 - 900, x0 + 9500, y0 - 100)]  # outside
    return geopandas.GeoDataFrame({"name": [f"f{k}" for k in range(len(shapes))], "count": range(len(shapes))},
                                  geometry=shapes, crs="EPSG:3067")


def test_statistics_match_exactextract_and_areas_match_shapely(tmp_path):
    raster, polygons = raster_file(tmp_path / "r.tif"), str(tmp_path / "p.gpkg")
    frame = features()
    frame.to_file(polygons, driver="GPKG", layer="areas")
    for out in ("z.gpkg", "z.csv"):
        assert main(["zonal", raster, polygons, "-o", str(tmp_path / out)]) == 0
    ours = geopandas.read_file(tmp_path / "z.gpkg")
    assert list(ours["name"]) == list(frame["name"]) and list(ours["count"]) == list(frame["count"])
    pandas.testing.assert_frame_equal(pandas.read_csv(tmp_path / "z.csv"), pandas.DataFrame(ours.drop(columns="geometry")),
                                      check_dtype=False)
    with rasterio.open(raster) as source:
        theirs = exact_extract(source, frame, ["mean", "min", "max", "stdev", "count"], output="pandas")
    for name in ("mean", "min", "max", "stdev", "count"):
        np.testing.assert_allclose(ours[f"velkan_{name}" if name == "count" else name], theirs[name], rtol=1e-6,
                                   atol=1e-9, err_msg=name)
    extent = shapely.box(*rasterio.transform.array_bounds(*SHAPE, TRANSFORM))
    no_data = shapely.box(*(TRANSFORM * (5, 25)), *(TRANSFORM * (20, 10)))
    np.testing.assert_allclose(ours["covered_area"], [g.intersection(extent).area for g in frame.geometry],
                               rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(ours["covered_area_without_data"],
                               [g.intersection(no_data).area for g in frame.geometry], rtol=1e-6, atol=1e-6)
    assert np.isnan(ours["mean"].iloc[-1]) and ours["velkan_count"].iloc[-1] == 0  # outside: nothing to summarise


@pytest.mark.parametrize("argv, message", [
    (["--band", "2"], "--band 2: raster"),
    (["-o", "z.txt"], "give a .gpkg or .csv file"),
])
def test_bad_zonal_input_is_one_line(tmp_path, capsys, argv, message):
    raster, polygons = raster_file(tmp_path / "r.tif"), str(tmp_path / "p.gpkg")
    features().to_file(polygons, driver="GPKG", layer="areas")
    out = ["-o", str(tmp_path / "z.csv")] if "-o" not in argv else ["-o", str(tmp_path / argv[1])]
    assert main(["zonal", raster, polygons] + out + [a for a in argv if a not in ("-o", "z.txt")]) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
