"""velkan zonal against exactextract's statistics, shapely's exact areas and pyproj's geodesic ones."""
import os
import warnings

import geopandas
import numpy as np
import pandas
import pytest
import rasterio
import shapely
from exactextract import exact_extract
from pyproj import Geod
from rasterio.transform import Affine

from velkan_tools.cli import main
from velkan_tools.zonal import zonal_statistics

# The feature outside the raster is warned about; the tests of that warning catch it themselves.
pytestmark = pytest.mark.filterwarnings("ignore:.*miss the raster:UserWarning")

TRANSFORM = Affine(100.0, 0.0, 380_000.0, 0.0, -100.0, 6_720_000.0)
SHAPE = (60, 50)


def raster_file(path):
    values = np.random.default_rng(4).uniform(-2, 5, SHAPE).astype(np.float32)
    values[10:25, 5:20] = -9999.0  # without data
    with rasterio.open(path, "w", driver="GTiff", height=SHAPE[0], width=SHAPE[1], count=1, dtype="float32",
                       crs="EPSG:3067", transform=TRANSFORM, nodata=-9999.0) as target:
        target.write(values, 1)
    return str(path)


def class_raster_file(path):
    """Land-cover-like classes 1 to 5: values shared by many cells, whose weights add up."""
    values = np.random.default_rng(6).integers(1, 6, SHAPE).astype(np.int16)
    values[10:25, 5:20] = -1
    with rasterio.open(path, "w", driver="GTiff", height=SHAPE[0], width=SHAPE[1], count=1, dtype="int16",
                       crs="EPSG:3067", transform=TRANSFORM, nodata=-1) as target:
        target.write(values, 1)
    return str(path)


def features():
    """Polygons of every kind: holes, several parts, over the edge, over no data, outside the raster."""
    rng = np.random.default_rng(5)
    x0, y0 = TRANSFORM @ (0, 0)
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
    assert list(ours["feature_id"]) == list(range(1, len(frame) + 1))  # the GeoPackage's FIDs
    pandas.testing.assert_frame_equal(pandas.read_csv(tmp_path / "z.csv"), pandas.DataFrame(ours.drop(columns="geometry")),
                                      check_dtype=False)
    with rasterio.open(raster) as source:
        theirs = exact_extract(source, frame, ["mean", "min", "max", "stdev", "count"], output="pandas")
    for name in ("mean", "min", "max", "stdev", "count"):
        np.testing.assert_allclose(ours[f"velkan_{name}" if name == "count" else name], theirs[name], rtol=1e-6,
                                   atol=1e-9, err_msg=name)
    extent = shapely.box(*rasterio.transform.array_bounds(*SHAPE, TRANSFORM))
    no_data = shapely.box(*(TRANSFORM @ (5, 25)), *(TRANSFORM @ (20, 10)))
    np.testing.assert_allclose(ours["covered_area"], [g.intersection(extent).area for g in frame.geometry],
                               rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(ours["covered_area_without_data"],
                               [g.intersection(no_data).area for g in frame.geometry], rtol=1e-6, atol=1e-6)
    assert np.isnan(ours["mean"].iloc[-1]) and ours["velkan_count"].iloc[-1] == 0  # outside: nothing to summarise


ALL_STATISTICS = ["count", "sum", "mean", "min", "max", "variance", "stdev", "median", "majority", "minority",
                  "variety", "quantile(0)", "quantile(0.1)", "quantile(0.9)", "quantile(1)"]


@pytest.mark.parametrize("make_raster", [raster_file, class_raster_file])
def test_every_statistic_matches_exactextract(tmp_path, make_raster):
    raster, frame = make_raster(tmp_path / "r.tif"), features()
    ours = zonal_statistics(raster, frame, ALL_STATISTICS)
    with rasterio.open(raster) as source:
        theirs = exact_extract(source, frame, [name.replace("(", "(q=") for name in ALL_STATISTICS], output="pandas")
    assert list(ours["feature_id"]) == list(frame.index) and list(ours["name"]) == list(frame["name"])
    for name in theirs.columns:
        np.testing.assert_allclose(ours[f"velkan_{name}" if name == "count" else name], theirs[name], rtol=1e-6,
                                   atol=1e-9, err_msg=name)


def test_covered_areas_on_a_geographic_raster_are_geodesic(tmp_path):
    transform = Affine(0.1, 0.0, 20.0, 0.0, -0.1, 66.0)
    values = np.ones((80, 60), np.float32)
    values[10:30, 10:30] = np.nan
    with rasterio.open(tmp_path / "g.tif", "w", driver="GTiff", height=80, width=60, count=1, dtype="float32",
                       crs="EPSG:4326", transform=transform, nodata=np.nan) as target:
        target.write(values, 1)
    shapes = [shapely.Point(23, 62).buffer(1.5), shapely.Point(20.2, 63).buffer(0.7),  # the second over the edge
              shapely.Point(22, 64).buffer(1.2).difference(shapely.Point(22, 64).buffer(0.3)), shapely.box(21, 63, 23.5, 65.5)]
    ours = zonal_statistics(tmp_path / "g.tif", geopandas.GeoSeries(shapes, crs="EPSG:4326"),
                            ["covered_area", "covered_area_without_data"])
    geod = Geod(ellps="WGS84")

    def geodesic_area(shape):  # edges short enough to follow the straight lines of longitude and latitude
        return abs(geod.geometry_area_perimeter(shapely.segmentize(shape, 0.002))[0])

    extent, no_data = shapely.box(20, 58, 26, 66), shapely.box(21, 63, 23, 65)
    np.testing.assert_allclose(ours["covered_area"], [geodesic_area(g & extent) for g in shapes], rtol=1e-5)
    np.testing.assert_allclose(ours["covered_area_without_data"], [geodesic_area(g & no_data) for g in shapes],
                               rtol=2e-4)


def test_features_keep_the_ids_of_their_layer_or_frame(tmp_path):
    raster, polygons, where = raster_file(tmp_path / "r.tif"), str(tmp_path / "p.gpkg"), "name IN ('f3', 'f7', 'f12')"
    features().to_file(polygons, driver="GPKG", layer="areas")
    from_file = zonal_statistics(raster, polygons, "mean, quantile(0.9),quantile(0.90)", where=where)
    assert list(from_file.columns) == ["feature_id", "name", "count", "mean", "quantile_90", "geometry"]
    layer = geopandas.read_file(polygons, where=where, fid_as_index=True)
    assert list(from_file["feature_id"]) == list(from_file.index) == list(layer.index) == [4, 8, 13]
    given = features().set_axis([f"k{k}" for k in range(30)]).to_crs("EPSG:4326")
    from_frame = zonal_statistics(raster, given, ["mean", "quantile(0.9)"])
    assert list(from_frame["feature_id"]) == list(given.index)
    np.testing.assert_allclose(from_frame.loc[["k3", "k7", "k12"], ["mean", "quantile_90"]],
                               from_file[["mean", "quantile_90"]], rtol=1e-6)


def test_features_that_miss_the_raster_are_counted_in_one_warning(tmp_path):
    raster, frame = raster_file(tmp_path / "r.tif"), features()
    x0, y0 = TRANSFORM @ (0, 0)
    frame.loc[len(frame)] = ["empty", 0, shapely.Polygon()]
    frame.loc[len(frame)] = ["beside a corner", 0,  # its bounding box overlaps the raster, it does not
                             shapely.Polygon([(x0 - 1000, y0 - 500), (x0 + 500, y0 + 1000), (x0 - 1000, y0 + 1000)])]
    extent = shapely.box(*rasterio.transform.array_bounds(*SHAPE, TRANSFORM))
    missed = int((~frame.intersects(extent)).sum())
    with pytest.warns(UserWarning, match=rf"^{missed} of 32 features miss the raster entirely \(1 of them without geometry\)"):
        zonal_statistics(raster, frame)
    with warnings.catch_warnings():
        warnings.simplefilter("error")  # nor any other warning
        zonal_statistics(raster, frame[frame.intersects(extent)])


@pytest.mark.parametrize("out", ["z.gpkg", "z.csv"])
def test_an_empty_layer_gives_every_column(tmp_path, out):
    raster, polygons = raster_file(tmp_path / "r.tif"), str(tmp_path / "p.gpkg")
    features().iloc[:0].to_file(polygons, driver="GPKG", layer="areas")
    columns = ["feature_id", "name", "count", "mean", "velkan_count", "quantile_50", "geometry"]
    assert list(zonal_statistics(raster, polygons, ["mean", "count", "quantile(0.5)"]).columns) == columns
    assert main(["zonal", raster, polygons, "-o", str(tmp_path / out), "--stats", "mean,count,quantile(0.5)"]) == 0
    written = pandas.read_csv(tmp_path / out) if out.endswith(".csv") else geopandas.read_file(tmp_path / out)
    assert len(written) == 0 and list(written.columns) == columns[:-1 if out.endswith(".csv") else None]


@pytest.mark.parametrize("out", ["z.gpkg", "z.shp", "z.geojson", "z.fgb", "z.parquet", "z.csv"])
def test_every_output_keeps_the_ids_and_attributes(tmp_path, capsys, out):
    if out.endswith(".parquet"):
        pytest.importorskip("pyarrow")
    raster, polygons = raster_file(tmp_path / "r.tif"), str(tmp_path / "p.gpkg")
    features().to_file(polygons, driver="GPKG", layer="areas")
    expected = zonal_statistics(raster, polygons, ["mean", "quantile(0.9)"], where="name <> 'f5'")
    assert main(["zonal", raster, polygons, "-o", str(tmp_path / out), "--stats", "mean,quantile(0.9)",
                 "--where", "name <> 'f5'"]) == 0
    read = {".csv": pandas.read_csv, ".parquet": geopandas.read_parquet}.get(os.path.splitext(out)[1],
                                                                              geopandas.read_file)
    written = read(tmp_path / out).sort_values("feature_id")  # FlatGeobuf's spatial index orders them by place
    quantile = "quantile_9" if out.endswith(".shp") else "quantile_90"  # a shapefile's names have 10 characters
    assert list(written["feature_id"]) == list(expected["feature_id"]) and 6 not in list(written["feature_id"])
    assert list(written["name"]) == list(expected["name"]) and list(written["count"]) == list(expected["count"])
    np.testing.assert_allclose(written[["mean", quantile]], expected[["mean", "quantile_90"]], rtol=1e-6)
    if not out.endswith(".csv"):
        np.testing.assert_allclose(written.area, expected.area, rtol=1e-9)
    assert ("written quantile_90 as quantile_9" in capsys.readouterr().err) == out.endswith(".shp")
    left = {name for name in os.listdir(tmp_path) if name.startswith("z.") or ".velkan-" in name}
    assert left == ({"z.shp", "z.shx", "z.dbf", "z.prj", "z.cpg"} if out.endswith(".shp") else {out})


@pytest.mark.parametrize("options, message", [
    (["--band", "2"], "--band 2: raster"),
    (["-o", "z.txt"], "-o z.txt: give a .gpkg or .shp or .geojson"),
    (["--stats", "mean,median2"], "--stats mean,median2: unknown statistic 'median2'; the known ones are count, sum, mean"),
    (["--stats", ""], "--stats : unknown statistic ''; the known ones are"),
    (["--stats", "quantile"], "unknown statistic 'quantile'; the known ones are "),
    (["--stats", "quantile(1.5)"], "--stats quantile(1.5): statistic 'quantile(1.5)': give quantile(x) with a number x in [0, 1]"),
    (["--stats", "max,quantile(ten)"], "statistic 'quantile(ten)': give quantile(x) with a number x in [0, 1]"),
])
def test_bad_zonal_input_is_one_line(tmp_path, capsys, options, message):
    raster, polygons = raster_file(tmp_path / "r.tif"), str(tmp_path / "p.gpkg")
    features().to_file(polygons, driver="GPKG", layer="areas")
    assert main(["zonal", raster, polygons, "-o", str(tmp_path / "z.csv")] + options) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and message in err, err
    assert not os.path.exists(tmp_path / "z.csv")
