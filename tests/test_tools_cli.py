"""The velkan command line on GeoTIFFs and vector files the tests write themselves."""
import os
import subprocess
import sys
import warnings

import geopandas
import numpy as np
import pytest
import rasterio
import shapely
from affine import Affine
from distributed import LocalCluster
from tools_support import interrupt_second_native_call, landscape, protected_mask, transition_grids

import velkan
from velkan_tools import level_transforms
from velkan_tools.cli import main

TRANSFORM = Affine(100.0, 0.0, 380_000.0, 0.0, -100.0, 6_720_000.0)  # whole metres: tiles are bit-exact
NODATA = -9999.0
RUN = ["--levels", "1,2,4", "--outer-window", "5", "--tile-size", "24", "--no-progress"]


def write_raster(path, data, crs="EPSG:3067", transform=TRANSFORM, nodata=None):
    bands = data[None] if data.ndim == 2 else np.moveaxis(data, -1, 0)
    with rasterio.open(path, "w", driver="GTiff", height=bands.shape[1], width=bands.shape[2], count=bands.shape[0],
                       dtype=bands.dtype, crs=crs, transform=transform, nodata=nodata) as target:
        target.write(bands)
    return str(path)


@pytest.fixture
def condition_tif(tmp_path):
    """A 50 x 40 condition GeoTIFF whose NaN cells are stored as nodata -9999."""
    condition = landscape(50, 40)
    return write_raster(tmp_path / "condition.tif", np.where(np.isnan(condition), NODATA, condition), nodata=NODATA)


def expected_connectivity(mask=None, traversal=None, grids=None, pa_to_pa=False, is_geo=False, transform=TRANSFORM):
    condition = landscape(50, 40)
    mask = np.isnan(condition) if mask is None else mask | np.isnan(condition)
    levels = [1, 2, 4]
    return velkan.connectivity(condition, mask, grids, level_transforms(tuple(transform)[:6], (0, 0), levels), levels,
                               [2.0, 20.0, 200.0], is_geo, 0.2, 3, 5, (0, 0), traversal=traversal, pa_to_pa=pa_to_pa)


def read(path):
    with rasterio.open(path) as source:
        return source.read(1), source.profile


def leftovers(folder):
    return [name for name in os.listdir(folder) if name.startswith(".velkan-")]


def test_connectivity_round_trip_keeps_georeferencing_and_nodata(tmp_path, condition_tif):
    out, png = str(tmp_path / "out.tif"), str(tmp_path / "map.png")
    assert main(["connectivity", condition_tif, "-o", out, "--plot", png] + RUN) == 0
    values, profile = read(out)
    assert profile["crs"] == rasterio.crs.CRS.from_epsg(3067) and profile["transform"] == TRANSFORM
    assert profile["dtype"] == "float32" and np.isnan(profile["nodata"])
    assert profile["tiled"] and profile["compress"] == "deflate"
    expected = expected_connectivity()
    assert np.isnan(values[np.isnan(landscape(50, 40))]).all()
    assert values.tobytes() == expected.tobytes()
    with open(png, "rb") as picture:
        assert picture.read(8) == b"\x89PNG\r\n\x1a\n"
    assert os.path.getsize(png) > 10_000 and not leftovers(tmp_path)


def polygons_file(path, geometries, crs="EPSG:3067"):
    with warnings.catch_warnings():
        warnings.filterwarnings("ignore", "'crs' was not provided")  # a file without a CRS is meant
        geopandas.GeoDataFrame(geometry=geometries, crs=crs).to_file(path, driver="GPKG", layer="areas")
    return str(path)


def protected_polygons(tmp_path):
    """Polygons covering exactly the protected patches of protected_mask, as whole cells."""
    cells = [shapely.box(*(TRANSFORM @ (c, r + 1)), *(TRANSFORM @ (c + 1, r)))
             for r, c in zip(*np.nonzero(~protected_mask((50, 40))))]
    return polygons_file(tmp_path / "protected.gpkg", [shapely.union_all(cells)])


@pytest.mark.parametrize("form", ["mask", "traversal", "transition", "kova-mask", "kova-polygons"])
def test_connectivity_options_match_the_native_call(tmp_path, condition_tif, form):
    mask = protected_mask((50, 40))
    traversal = landscape(50, 40, seed=30)
    grids = transition_grids((50, 40))
    options, expected = {
        "mask": (["--mask", write_raster(tmp_path / "m.tif", mask.astype(np.uint8))], dict(mask=mask)),
        "traversal": (["--traversal", write_raster(tmp_path / "t.tif", traversal)], dict(traversal=traversal)),
        "transition": (["--transition"] + [write_raster(tmp_path / f"g{k}.tif", g) for k, g in enumerate(grids)],
                       dict(grids=grids)),
        "kova-mask": (["--pa-to-pa", "--mask", write_raster(tmp_path / "m.tif", mask.astype(np.uint8))],
                      dict(mask=mask, pa_to_pa=True)),
        "kova-polygons": (["--pa-to-pa", "--protected", protected_polygons(tmp_path)], dict(mask=mask, pa_to_pa=True)),
    }[form]
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", condition_tif, "-o", out] + options + RUN) == 0
    assert read(out)[0].tobytes() == expected_connectivity(**expected).tobytes()


def test_geographic_crs_measures_great_circles(tmp_path):
    transform = Affine(0.002, 0.0, 24.0, 0.0, -0.001, 61.0)
    condition = landscape(50, 40)
    path = write_raster(tmp_path / "geo.tif", condition, crs="EPSG:4326", transform=transform)
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", path, "-o", out] + RUN) == 0
    expected = expected_connectivity(is_geo=True, transform=transform)
    np.testing.assert_allclose(read(out)[0], expected, rtol=1e-5)
    assert not np.allclose(expected, expected_connectivity(), equal_nan=True)


def test_scheduler_runs_on_a_cluster(tmp_path, condition_tif):
    out = str(tmp_path / "out.tif")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        assert main(["connectivity", condition_tif, "-o", out, "--scheduler", cluster.scheduler_address,
                     "--threads", "1"] + RUN) == 0
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


def exact_cover(geometry, shape):
    """Covered fraction of each cell, from shapely's exact intersection areas."""
    cells = np.empty(shape)
    for r in range(shape[0]):
        for c in range(shape[1]):
            box = shapely.box(*(TRANSFORM @ (c, r + 1)), *(TRANSFORM @ (c + 1, r)))
            cells[r, c] = box.intersection(geometry).area / box.area
    return cells


def test_coverage_unions_and_reprojects(tmp_path):
    like = write_raster(tmp_path / "like.tif", np.zeros((12, 15), np.float32))
    x, y = TRANSFORM @ (0, 0)
    ring = shapely.Polygon([(x + 130, y - 110), (x + 910, y - 230), (x + 700, y - 1050), (x + 220, y - 880)],
                           [[(x + 400, y - 400), (x + 600, y - 420), (x + 500, y - 650)]])
    overlapping = shapely.Point(x + 1100, y - 700).buffer(330)
    native = polygons_file(tmp_path / "native.gpkg", [ring, overlapping])
    degrees = str(tmp_path / "degrees.gpkg")
    geopandas.read_file(native).to_crs("EPSG:4326").to_file(degrees, driver="GPKG", layer="areas")
    expected = exact_cover(shapely.union(ring, overlapping), (12, 15))
    for source in (native, degrees):
        out = str(tmp_path / "cover.tif")
        assert main(["coverage", source, "-o", out, "--like", like]) == 0
        values, profile = read(out)
        assert profile["crs"] == rasterio.crs.CRS.from_epsg(3067) and profile["transform"] == TRANSFORM
        np.testing.assert_allclose(values, expected, atol=2e-6)


def bad_inputs(tmp_path, condition_tif):
    """Command lines that must end with exit status 2, by the fault they hold."""
    small = write_raster(tmp_path / "small.tif", np.ones((20, 31), np.float32))
    two_bands = write_raster(tmp_path / "two.tif", np.ones((50, 40, 2), np.float32))
    other_crs = write_raster(tmp_path / "laea.tif", np.ones((50, 40), np.float32), crs="EPSG:3035")
    feet = write_raster(tmp_path / "feet.tif", np.ones((50, 40), np.float32), crs="EPSG:2227")
    no_crs = polygons_file(tmp_path / "nocrs.gpkg", [shapely.box(0, 0, 1, 1)], crs=None)
    lines = polygons_file(tmp_path / "lines.gpkg", [shapely.LineString([(0, 0), (1, 1)])])
    out = ["-o", str(tmp_path / "out.tif")]
    return {
        "missing file": ["connectivity", str(tmp_path / "nowhere.tif")] + out,
        "not a raster": ["connectivity", lines] + out,
        "CRS mismatch": ["connectivity", condition_tif, "--mask", other_crs] + out,
        "wrong band count": ["connectivity", two_bands] + out,
        "shapes disagree": ["connectivity", condition_tif, "--traversal", small] + out,
        "level not a power of two": ["connectivity", condition_tif, "--levels", "1,2,3"] + out,
        "levels not doubling": ["connectivity", condition_tif, "--levels", "1,4"] + out,
        "even window": ["connectivity", condition_tif, "--window-size", "4"] + out,
        "KOVA without protected cells": ["connectivity", condition_tif, "--pa-to-pa"] + out,
        "feet": ["connectivity", feet] + out,
        "unknown option": ["connectivity", condition_tif, "--colour", "red"] + out,
        "no output folder": ["connectivity", condition_tif, "-o", str(tmp_path / "nowhere" / "out.tif")],
        "polygons without CRS": ["coverage", no_crs, "--like", condition_tif] + out,
        "polygons that are lines": ["coverage", lines, "--like", condition_tif] + out,
    }


BAD_INPUTS = ["missing file", "not a raster", "CRS mismatch", "wrong band count", "shapes disagree",
              "level not a power of two", "levels not doubling", "even window", "KOVA without protected cells",
              "feet", "unknown option", "no output folder", "polygons without CRS", "polygons that are lines"]


@pytest.mark.parametrize("fault", BAD_INPUTS)
def test_bad_input_ends_with_one_line_and_status_2(tmp_path, condition_tif, capsys, fault):
    argv = bad_inputs(tmp_path, condition_tif)[fault]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("velkan") and "Traceback" not in err
    assert not os.path.exists(tmp_path / "out.tif") and not leftovers(tmp_path)


def test_console_script_exits_2_without_traceback(tmp_path):
    done = subprocess.run([sys.executable, "-m", "velkan_tools", "connectivity", str(tmp_path / "no.tif"),
                           "-o", str(tmp_path / "out.tif")], capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr == f"velkan: condition {tmp_path / 'no.tif'}: no such file\n"


def test_ctrl_c_leaves_no_output(tmp_path, condition_tif, monkeypatch, capsys):
    out = tmp_path / "out.tif"
    out.write_bytes(b"an older result")
    calls = interrupt_second_native_call(monkeypatch)
    assert main(["connectivity", condition_tif, "-o", str(out), "--plot", str(tmp_path / "map.png")] + RUN) == 130
    assert capsys.readouterr().err == "velkan: interrupted; no output written\n"
    assert out.read_bytes() == b"an older result" and not (tmp_path / "map.png").exists()
    assert not leftovers(tmp_path) and len(calls) == 2


def test_demo_writes_its_rasters_and_figure(tmp_path, capsys):
    folder = tmp_path / "demo"
    assert main(["demo", "-o", str(folder), "--no-progress"]) == 0
    printed = capsys.readouterr().out
    for name in ("condition.tif", "protected.gpkg", "protected_cover.tif", "connectivity.tif", "kova.tif", "demo.png"):
        assert str(folder / name) in printed and (folder / name).stat().st_size > 0
    condition, cover, values, kova = (read(folder / f)[0] for f in
                                      ("condition.tif", "protected_cover.tif", "connectivity.tif", "kova.tif"))
    assert np.array_equal(np.isnan(values), np.isnan(condition))
    assert np.array_equal(np.isfinite(kova), (cover >= 0.5) & np.isfinite(condition))
    assert (kova[np.isfinite(kova)] <= values[np.isfinite(kova)] + 1e-6).all()
