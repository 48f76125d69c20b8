"""The velkan command line on GeoTIFFs and vector files the tests write themselves."""
import importlib.metadata
import os
import signal
import subprocess
import sys
import time
import warnings

import geopandas
import numpy as np
import pytest
import rasterio
import shapely
from distributed import Client, LocalCluster
from rasterio.transform import Affine
from tools_support import interrupt_second_native_call, landscape, protected_mask, transition_grids

import velkan
import velkan_tools
from velkan_tools import level_transforms
from velkan_tools.cli import main
from velkan_tools.settings import ConnectivitySettings

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
                               [2.0, 20.0, 200.0], is_geo, ConnectivitySettings().max_cost, 3, 5, (0, 0), traversal=traversal,
                               pa_to_pa=pa_to_pa)


def read(path):
    with rasterio.open(path) as source:
        return source.read(1), source.profile


def leftovers(folder):
    return [name for name in os.listdir(folder) if ".velkan-" in name]


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


def protected_geometry():
    """The protected patches of protected_mask, as whole cells."""
    return shapely.union_all([shapely.box(*(TRANSFORM @ (c, r + 1)), *(TRANSFORM @ (c + 1, r)))
                              for r, c in zip(*np.nonzero(~protected_mask((50, 40))))])


def protected_polygons(tmp_path):
    return polygons_file(tmp_path / "protected.gpkg", [protected_geometry()])


def layered_polygons(tmp_path):
    """A file of two layers: "areas" holds the protected patches (kind 'park') and a planned area
    over other cells (kind 'plan'); "roads" holds lines."""
    path = str(tmp_path / "layers.gpkg")
    plan = shapely.box(*(TRANSFORM @ (30, 48)), *(TRANSFORM @ (38, 40)))
    geopandas.GeoDataFrame({"kind": ["park", "plan"]}, geometry=[protected_geometry(), plan],
                           crs="EPSG:3067").to_file(path, driver="GPKG", layer="areas")
    geopandas.GeoDataFrame(geometry=[shapely.LineString([TRANSFORM @ (0, 0), TRANSFORM @ (40, 50)])],
                           crs="EPSG:3067").to_file(path, driver="GPKG", layer="roads")
    return path


@pytest.mark.parametrize("form", ["mask", "traversal", "transition", "kova-mask", "kova-polygons", "kova-raster",
                                  "kova-layer-where"])
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
        "kova-raster": (["--pa-to-pa", "--protected", write_raster(tmp_path / "p.tif", (~mask).astype(np.uint8))],
                        dict(mask=mask, pa_to_pa=True)),
        "kova-layer-where": (["--pa-to-pa", "--protected", layered_polygons(tmp_path), "--layer", "areas",
                              "--where", "kind = 'park'"], dict(mask=mask, pa_to_pa=True)),
    }[form]
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", condition_tif, "-o", out] + options + RUN) == 0
    assert read(out)[0].tobytes() == expected_connectivity(**expected).tobytes()


def test_outputs_are_cogs_that_say_what_they_hold(tmp_path, condition_tif, capsys):
    out, cover = str(tmp_path / "out.tif"), str(tmp_path / "cover.tif")
    polygons = protected_polygons(tmp_path)
    assert main(["connectivity", condition_tif, "-o", out, "--co", "OVERVIEW_COUNT=2", "--pa-to-pa",
                 "--protected", polygons] + RUN) == 0
    assert main(["coverage", polygons, "--like", condition_tif, "-o", cover]) == 0
    assert main(["--version"]) == 0
    assert capsys.readouterr().out.splitlines()[-1] == f"velkan {importlib.metadata.version('velkan')}"
    with rasterio.open(out) as source:
        assert source.tags(ns="IMAGE_STRUCTURE")["LAYOUT"] == "COG" and source.overviews(1) == [2, 4]
        assert source.profile["tiled"] and source.descriptions == ("KOVA",)
        tags = source.tags()
        values = source.read(1)
    assert tags["velkan_version"] == velkan_tools.__version__ == importlib.metadata.version("velkan")
    assert (tags["velkan_max_cost"], tags["velkan_levels"], tags["velkan_pa_to_pa"]) == ("10.0", "[1, 2, 4]", "True")
    assert tags["velkan_input_condition"] == "condition.tif"
    assert tags["velkan_input_protected_polygons"] == "protected.gpkg"
    assert values.tobytes() == expected_connectivity(mask=protected_mask((50, 40)), pa_to_pa=True).tobytes()
    with rasterio.open(cover) as source:
        assert source.tags(ns="IMAGE_STRUCTURE")["LAYOUT"] == "COG"
        assert source.descriptions == ("covered fraction",) and source.tags()["velkan_input_polygons"] == "protected.gpkg"


def test_geographic_crs_measures_great_circles(tmp_path):
    transform = Affine(0.002, 0.0, 24.0, 0.0, -0.001, 61.0)
    condition = landscape(50, 40)
    path = write_raster(tmp_path / "geo.tif", condition, crs="EPSG:4326", transform=transform)
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", path, "-o", out] + RUN) == 0
    expected = expected_connectivity(is_geo=True, transform=transform)
    np.testing.assert_allclose(read(out)[0], expected, rtol=1e-5)
    assert not np.allclose(expected, expected_connectivity(), equal_nan=True)


def test_scheduler_runs_on_a_cluster(tmp_path, condition_tif, capsys):
    out, again = str(tmp_path / "out.tif"), str(tmp_path / "again.tif")
    with LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                      dashboard_address=None) as cluster:
        assert main(["connectivity", condition_tif, "-o", out, "--scheduler", cluster.scheduler_address,
                     "--threads", "1", "-q"] + RUN[:-1]) == 0
        assert capsys.readouterr() == ("", "")  # --quiet: no bar, no summary
        with Client(cluster) as client:  # the same run from paths, with the progress bar asked for
            velkan_tools.connectivity_from_files(condition_tif, again, levels=[1, 2, 4], lambdas=[2.0, 20.0, 200.0],
                                                 max_cost=ConnectivitySettings().max_cost, window_size=3, outer_window=5,
                                                 tile_size=24, client=client, progress=True)
    bar = capsys.readouterr().err.splitlines()[-1]
    assert "connectivity: 100%" in bar and "<00:00" in bar, bar  # with the ETA of a tiled run
    assert read(out)[0].tobytes() == read(again)[0].tobytes() == expected_connectivity().tobytes()


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
        assert main(["coverage", source, "-o", out, "--like", like, "--overwrite"]) == 0
        values, profile = read(out)
        assert profile["crs"] == rasterio.crs.CRS.from_epsg(3067) and profile["transform"] == TRANSFORM
        np.testing.assert_allclose(values, expected, atol=2e-6)


def bad_inputs(tmp_path, condition_tif):
    """Command lines that must end with exit status 2, by the fault they hold."""
    small = write_raster(tmp_path / "small.tif", np.ones((20, 31), np.float32))
    two_bands = write_raster(tmp_path / "two.tif", np.ones((50, 40, 2), np.float32))
    other_crs = write_raster(tmp_path / "laea.tif", np.ones((50, 40), np.float32), crs="EPSG:3035")
    feet = write_raster(tmp_path / "feet.tif", np.ones((50, 40), np.float32), crs="EPSG:2227")
    percent = write_raster(tmp_path / "percent.tif", np.full((50, 40), 62.5, np.float32))
    negative = write_raster(tmp_path / "negative.tif", np.full((50, 40), -0.5, np.float32))
    infinite = write_raster(tmp_path / "inf.tif", np.full((50, 40), np.inf, np.float32))
    no_crs = polygons_file(tmp_path / "nocrs.gpkg", [shapely.box(0, 0, 1, 1)], crs=None)
    lines = polygons_file(tmp_path / "lines.gpkg", [shapely.LineString([(0, 0), (1, 1)])])
    layers = layered_polygons(tmp_path)
    existing = tmp_path / "existing.tif"
    existing.write_bytes(b"an older result")
    write_raster(tmp_path / "p.tif", (~protected_mask((50, 40))).astype(np.uint8))
    out = ["-o", str(tmp_path / "out.tif")]
    run = ["connectivity", condition_tif] + out
    return {
        "missing file": ["connectivity", str(tmp_path / "nowhere.tif")] + out,
        "not a raster": ["connectivity", lines] + out,
        "CRS mismatch": run + ["--mask", other_crs],
        "wrong band count": ["connectivity", two_bands] + out,
        "shapes disagree": run + ["--traversal", small],
        "level not a power of two": run + ["--levels", "1,2,3"],
        "levels not doubling": run + ["--levels", "1,4"],
        "even window": run + ["--window-size", "4"],
        "KOVA without protected cells": run + ["--pa-to-pa"],
        "feet": ["connectivity", feet] + out,
        "unknown option": run + ["--colour", "red"],
        "no output folder": ["connectivity", condition_tif, "-o", str(tmp_path / "nowhere" / "out.tif")],
        "max cost below 1": run + ["--max-cost", "0.2"],
        "max cost not finite": run + ["--max-cost", "nan"],
        "max cost from 2^24": run + ["--max-cost", "16777216"],
        "threads the machine cannot start": run + ["--threads", "1000000"],
        "bandwidth zero": run + ["--lambdas", "0"],
        "bandwidth not finite": run + ["--lambdas", "2,inf"],
        "no bandwidth": run + ["--lambdas", ""],
        "condition in percent": ["connectivity", percent] + out,
        "negative condition": ["connectivity", negative] + out,
        "infinite condition": ["connectivity", infinite] + out,
        "traversal in percent": run + ["--traversal", percent],
        "condition scale zero": run + ["--condition-scale", "0"],
        "threads below 1": run + ["--threads", "0"],
        "tile size below 1": run + ["--tile-size", "-3"],
        "protected cover zero": run + ["--protected", layers, "--layer", "areas", "--protected-cover", "0"],
        "protected cover of a raster": run + ["--protected", condition_tif.replace("condition", "p"),
                                              "--protected-cover", "0.3"],
        "protected polygons none chosen": run + ["--protected", layers, "--layer", "areas", "--where", "kind = 'x'"],
        "protected polygons off the raster": run + ["--protected", polygons_off_the_grid(tmp_path), "--pa-to-pa"],
        "several layers": run + ["--protected", layers, "--pa-to-pa"],
        "unknown layer": run + ["--protected", layers, "--layer", "parks", "--pa-to-pa"],
        "bad where": run + ["--protected", layers, "--layer", "areas", "--where", "kind = = 'park'"],
        "layer without vector": run + ["--layer", "areas"],
        "output exists": ["connectivity", condition_tif, "-o", str(existing)],
        "output is the input": ["connectivity", condition_tif, "-o", condition_tif, "--overwrite"],
        "output is a folder": ["connectivity", condition_tif, "-o", str(tmp_path)],
        "output not a GeoTIFF": ["connectivity", condition_tif, "-o", str(tmp_path / "out.png")],
        "map not a PNG": run + ["--plot", str(tmp_path / "map.jpg")],
        "unwritable folder": ["connectivity", condition_tif, "-o", "/proc/out.tif"],
        "polygons without CRS": ["coverage", no_crs, "--like", condition_tif] + out,
        "polygons that are lines": ["coverage", lines, "--like", condition_tif] + out,
        "coverage threads": ["coverage", layers, "--layer", "areas", "--like", condition_tif, "--threads", "-1"] + out,
        "coverage output exists": ["coverage", layers, "--layer", "areas", "--like", condition_tif,
                                   "-o", str(existing)],
        "coverage several layers": ["coverage", layers, "--like", condition_tif] + out,
        "demo unwritable": ["demo", "-o", "/proc/velkan-demo"],
        "creation option without value": run + ["--co", "BLOCKSIZE"],
        "creation option GDAL refuses": run + ["--co", "COMPRESS=NOPE"],
    }


BAD_INPUTS = ["missing file", "not a raster", "CRS mismatch", "wrong band count", "shapes disagree",
              "level not a power of two", "levels not doubling", "even window", "KOVA without protected cells",
              "feet", "unknown option", "no output folder", "max cost below 1", "max cost not finite",
              "max cost from 2^24", "threads the machine cannot start",
              "bandwidth zero", "bandwidth not finite", "no bandwidth", "condition in percent", "negative condition",
              "infinite condition", "traversal in percent", "condition scale zero", "threads below 1",
              "tile size below 1", "protected cover zero", "protected cover of a raster",
              "protected polygons none chosen", "protected polygons off the raster", "several layers", "unknown layer", "bad where",
              "layer without vector", "output exists", "output is the input", "output is a folder",
              "output not a GeoTIFF", "map not a PNG", "unwritable folder",
              "polygons without CRS", "polygons that are lines", "coverage threads", "coverage output exists",
              "coverage several layers", "demo unwritable", "creation option without value",
              "creation option GDAL refuses"]


def refusal(tmp_path, condition_tif, capsys, fault):
    """The one line that refuses the command line of `fault`, checked to leave nothing behind."""
    argv = bad_inputs(tmp_path, condition_tif)[fault]
    assert main(argv) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.startswith("velkan") and "Traceback" not in err
    assert not os.path.exists(tmp_path / "out.tif") and not leftovers(tmp_path)
    assert not os.path.exists(tmp_path / "out.tif.checkpoint")
    assert (tmp_path / "existing.tif").read_bytes() == b"an older result"
    return err


@pytest.mark.parametrize("fault", BAD_INPUTS)
def test_bad_input_ends_with_one_line_and_status_2(tmp_path, condition_tif, capsys, fault):
    print(refusal(tmp_path, condition_tif, capsys, fault), end="")


def test_out_of_range_condition_names_the_range_and_the_fix(tmp_path, condition_tif, capsys):
    err = refusal(tmp_path, condition_tif, capsys, "condition in percent")
    assert err.endswith("values span 62.5 to 62.5, outside [0, 1]; divide them with --condition-scale 100\n")


def test_console_script_exits_2_without_traceback(tmp_path):
    done = subprocess.run([sys.executable, "-m", "velkan_tools", "connectivity", str(tmp_path / "no.tif"),
                           "-o", str(tmp_path / "out.tif")], capture_output=True, text=True)
    assert done.returncode == 2 and done.stderr == f"velkan: condition {tmp_path / 'no.tif'}: no such file\n"


def test_ctrl_c_leaves_no_output(tmp_path, condition_tif, monkeypatch, capsys):
    out = tmp_path / "out.tif"
    out.write_bytes(b"an older result")
    calls = interrupt_second_native_call(monkeypatch)
    assert main(["connectivity", condition_tif, "-o", str(out), "--overwrite", "--plot", str(tmp_path / "map.png")]
                + RUN) == 130
    assert capsys.readouterr().err == (f"velkan: interrupted; no output written; {out}.checkpoint keeps 1 finished "
                                       "tile: run the same command with --resume to go on\n")
    assert out.read_bytes() == b"an older result" and not (tmp_path / "map.png").exists()
    assert not leftovers(tmp_path) and len(calls) == 2


def finished_tiles(out):
    done = f"{out}.checkpoint/done"
    return sum(not name.startswith(".") for name in os.listdir(done)) if os.path.isdir(done) else 0


def test_runs_killed_three_times_resume_to_the_uninterrupted_raster(tmp_path):
    condition = landscape(60, 50)
    path = write_raster(tmp_path / "condition.tif", condition)
    run = ["connectivity", path, "--levels", "1,2,4", "--outer-window", "5", "--tile-size", "6", "-q"]
    assert main(run + ["-o", str(tmp_path / "whole.tif")]) == 0
    out = tmp_path / "out.tif"
    command = [sys.executable, "-m", "velkan_tools"] + run + ["-o", str(out)]
    rng = np.random.default_rng(3)
    kills = []
    for attempt in range(3):
        child = subprocess.Popen(command + (["--resume"] if attempt else []), stderr=subprocess.PIPE)
        target = finished_tiles(out) + int(rng.integers(2, 12))  # of 90 tiles, a random few more
        while finished_tiles(out) < target and child.poll() is None:
            time.sleep(0.005)
        child.send_signal(signal.SIGKILL)
        assert child.wait() == -signal.SIGKILL, child.stderr.read()
        kills.append(finished_tiles(out))
    assert kills == sorted(kills) and kills[-1] < 90, kills  # each run went on from the last, none finished
    done = subprocess.run(command + ["--resume", "-v"], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    left = int(done.stderr.split(" tiles to compute")[0].rsplit("; ", 1)[1])
    assert left <= 90 - kills[-1]  # the finished tiles were not computed again
    assert read(out)[0].tobytes() == read(tmp_path / "whole.tif")[0].tobytes()
    assert not os.path.exists(f"{out}.checkpoint")


@pytest.mark.parametrize("change, message", [
    (["--resume", "--max-cost", "5"], "it was made with max_cost 10.0, not 5.0; give --overwrite to start again"),
    (["--resume", "touch"], "condition.tif has changed since; give --overwrite to start again"),
    ([], "out.tif.checkpoint; give --resume to continue it or --overwrite to start again"),
])
def test_a_resume_with_anything_changed_is_refused(tmp_path, condition_tif, monkeypatch, capsys, change, message):
    out = str(tmp_path / "out.tif")
    interrupt_second_native_call(monkeypatch)
    assert main(["connectivity", condition_tif, "-o", out] + RUN) == 130
    monkeypatch.undo()
    if "touch" in change:
        change = [c for c in change if c != "touch"]
        os.utime(condition_tif, ns=(1, 1))
    capsys.readouterr()
    assert main(["connectivity", condition_tif, "-o", out] + RUN + change) == 2
    err = capsys.readouterr().err
    assert err.count("\n") == 1 and err.rstrip().endswith(message), err
    assert main(["connectivity", condition_tif, "-o", out, "--overwrite"] + RUN) == 0  # starting again works
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


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
    # The road (condition 0.05) is a barrier: connectivity dips along it.
    rows, cols = np.mgrid[0:200, 0:200]
    distance = np.abs(rows - 0.6 * cols - 30) / np.hypot(1, 0.6)
    means = [np.nanmean(values[(distance >= low) & (distance < high)]) for low, high in ((0, 1), (3, 6), (10, 13))]
    assert means[0] < 0.7 * means[1] < 0.7 * means[2], means


def test_default_run_makes_a_barrier_cost_more_never_less(tmp_path):
    # Uniform intact habitat; a wall of traversal 0 across it (the condition stays 1 there).
    condition = np.ones((40, 60), np.float32)
    wall = np.ones_like(condition)
    wall[:, 30] = 0.0
    paths = {name: write_raster(tmp_path / f"{name}.tif", values)
             for name, values in (("condition", condition), ("open", np.ones_like(condition)), ("wall", wall))}
    values = {}
    for name in ("open", "wall"):
        out = str(tmp_path / f"out-{name}.tif")
        assert main(["connectivity", paths["condition"], "--traversal", paths[name], "-o", out, "-q"]) == 0
        values[name] = read(out)[0]
    assert (values["wall"] <= values["open"]).all()
    beside = values["wall"][:, [28, 29, 31, 32]] / values["open"][:, [28, 29, 31, 32]]
    assert beside.max() < 0.99, beside.max()  # at least 1 % lower next to the wall, all along it


def polygons_off_the_grid(tmp_path):
    x, y = TRANSFORM @ (100, 100)
    return polygons_file(tmp_path / "far.gpkg", [shapely.box(x, y - 500, x + 500, y)])


@pytest.mark.parametrize("case, warning", [
    ("polygons off the grid", "none of its polygons reaches the raster's 50 x 40 cells; nothing is covered"),
    ("no focal cell", "no focal cell: the mask excludes every cell, so every value is NaN"),
    ("traversal without data", "traversal has {missing} cells without data; their condition stands in for traversal there"),
])
def test_runs_that_may_not_mean_what_they_say_warn_in_one_line(tmp_path, condition_tif, capsys, case, warning):
    traversal = landscape(50, 40, seed=30)
    argv = {
        "polygons off the grid": ["coverage", polygons_off_the_grid(tmp_path), "--like", condition_tif],
        "no focal cell": ["connectivity", condition_tif, "--mask",
                          write_raster(tmp_path / "m.tif", np.ones((50, 40), np.uint8))] + RUN,
        "traversal without data": ["connectivity", condition_tif, "--traversal",
                                   write_raster(tmp_path / "t.tif", traversal)] + RUN,
    }[case] + ["-o", str(tmp_path / "out.tif")]
    assert main(argv) == 0
    err = capsys.readouterr().err
    warning = warning.format(missing=np.count_nonzero(np.isnan(traversal)))
    assert err.count("\n") == 1 and err.startswith("velkan: warning: ") and err.rstrip().endswith(warning), err
    assert main(argv + ["--overwrite", "--quiet"]) == 0
    assert capsys.readouterr() == ("", "")


def test_verbose_logs_what_is_read_the_tiles_and_the_time(tmp_path, condition_tif, capsys):
    assert main(["connectivity", condition_tif, "-o", str(tmp_path / "out.tif"), "-v"] + RUN) == 0
    lines = capsys.readouterr().err.splitlines()
    assert lines[0] == f"velkan: read condition {condition_tif}: 50 x 40 cells"
    assert lines[1].startswith("velkan: 6 tiles of up to 24 x 24 cells, 1,926 focal cells")
    assert lines[2].startswith("velkan: computed and written in ") and len(lines) == 3


def vrt_of(path, shape):
    """A VRT of one band of the GeoTIFF at `path`, written by hand."""
    rows, cols = shape
    return f"""<VRTDataset rasterXSize="{cols}" rasterYSize="{rows}">
  <SRS>EPSG:3067</SRS>
  <GeoTransform>{TRANSFORM.c}, {TRANSFORM.a}, 0, {TRANSFORM.f}, 0, {TRANSFORM.e}</GeoTransform>
  <VRTRasterBand dataType="Float32" band="1">
    <NoDataValue>{NODATA}</NoDataValue>
    <SimpleSource><SourceFilename relativeToVRT="0">{path}</SourceFilename><SourceBand>1</SourceBand></SimpleSource>
  </VRTRasterBand>
</VRTDataset>"""


@pytest.mark.parametrize("kind", ["vsizip", "vrt"])
def test_inputs_are_any_path_gdal_opens(tmp_path, condition_tif, kind):
    import zipfile

    if kind == "vsizip":
        with zipfile.ZipFile(tmp_path / "inputs.zip", "w") as archive:
            archive.write(condition_tif, "condition.tif")
        path = f"/vsizip/{tmp_path}/inputs.zip/condition.tif"
    else:
        path = str(tmp_path / "condition.vrt")
        (tmp_path / "condition.vrt").write_text(vrt_of(condition_tif, (50, 40)))
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", path, "-o", out, "-q"] + RUN) == 0
    assert read(out)[0].tobytes() == expected_connectivity().tobytes()


def elevation_grid(shape=(50, 40)):
    """A band in metres (200 to 700 m) and one in fractions: OLVI needs them in comparable units."""
    rows, cols = np.mgrid[0:shape[0], 0:shape[1]]
    metres = 200.0 + 10.0 * rows + 5.0 * cols * np.sin(rows / 7.0)
    return np.stack([metres, (rows % 5) / 5.0], axis=-1).astype(np.float32)


def test_transition_bands_in_metres_are_warned_about_and_scaled(tmp_path, condition_tif, capsys):
    grid = elevation_grid()
    path = write_raster(tmp_path / "grid.tif", grid)
    out = str(tmp_path / "out.tif")
    assert main(["connectivity", condition_tif, "--transition", path, "-o", out] + RUN) == 0
    err = capsys.readouterr().err
    assert err.startswith("velkan: warning: transition grids: their bands' typical differences between cells (a sum "
                          "of about ") and err.endswith("make most similarities below 0.01, so OLVI mostly follows "
                                                        "each cell's own condition; scale the bands with "
                                                        "--transition-scale (transition_scale=): a number per band, "
                                                        "or std\n"), err
    scaled = str(tmp_path / "scaled.tif")
    assert main(["connectivity", condition_tif, "--transition", path, "--transition-scale", "std,1", "-o", scaled]
                + RUN) == 0
    assert capsys.readouterr().err == ""
    by_hand = grid / np.array([np.std(grid[..., 0], dtype=np.float64), 1.0], np.float32)
    np.testing.assert_allclose(read(scaled)[0], expected_connectivity(grids=[by_hand]), rtol=1e-5)
    assert not np.allclose(read(scaled)[0], read(out)[0], equal_nan=True)
    assert main(["connectivity", condition_tif, "--transition", path, "--transition-scale", "1,2,3", "-o",
                 str(tmp_path / "o.tif")] + RUN) == 2
    assert "transition_scale gives 3 divisors for 2 transition-grid bands" in capsys.readouterr().err


def test_bandwidths_in_metres_are_warned_about(tmp_path, condition_tif, capsys):
    assert main(["connectivity", condition_tif, "-o", str(tmp_path / "out.tif"), "--lambdas", "2000,20000,200000"]
                + RUN) == 0
    assert capsys.readouterr().err == ("velkan: warning: lambdas 2000, 20000, 200000 km: bandwidths above 1,000 km "
                                       "reach past any landscape; were they given in metres? Bandwidths are in km, "
                                       "as in 2,20,200\n")
