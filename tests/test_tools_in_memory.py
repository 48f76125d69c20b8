"""velkan_tools.connectivity and coverage on NumPy arrays and xarray DataArrays: the command's
values bit for bit, the input's georeferencing kept, and the command's checks."""
import dask.array
import numpy as np
import pytest
import rioxarray
import xarray
from test_tools_cli import (  # noqa: F401 (condition_tif is a fixture)
    NODATA,
    RUN,
    TRANSFORM,
    condition_tif,
    polygons_file,
    protected_geometry,
    read,
    write_raster,
)
from tools_support import landscape, transition_grids

import velkan_tools
from velkan_tools.cli import main

SETTINGS = dict(levels=[1, 2, 4], outer_window=5, tile_size=24)


def opened(path):
    return rioxarray.open_rasterio(path).squeeze("band", drop=True)


def by_command(tmp_path, condition, options):
    out = str(tmp_path / "command.tif")
    assert main(["connectivity", condition, "-o", out, "-q"] + RUN + options) == 0
    return read(out)[0]


@pytest.mark.parametrize("form", ["percent as integers", "kova polygons", "olvi", "olvi scaled", "geographic"])
def test_a_data_array_gives_the_commands_values(tmp_path, condition_tif, form):  # noqa: F811
    if form == "percent as integers":
        percent = np.where(np.isnan(landscape(50, 40)), -1, np.round(landscape(50, 40) * 100)).astype(np.int16)
        path = write_raster(tmp_path / "percent.tif", percent, nodata=-1)
        options, keywords = ["--condition-scale", "100"], dict(condition_scale=100)
    elif form == "kova polygons":
        path, polygons = condition_tif, polygons_file(tmp_path / "areas.gpkg", [protected_geometry()])
        options, keywords = ["--protected", polygons, "--pa-to-pa"], dict(protected=polygons, pa_to_pa=True)
    elif form.startswith("olvi"):
        grids = [write_raster(tmp_path / f"g{k}.tif", g) for k, g in enumerate(transition_grids((50, 40)))]
        path, options = condition_tif, ["--transition"] + grids
        keywords = dict(transition=[rioxarray.open_rasterio(g) for g in grids])
        if form == "olvi scaled":  # each band's std, summed over the same tiles as the command's survey
            options, keywords = options + ["--transition-scale", "std"], dict(keywords, transition_scale=["std"])
    else:
        from rasterio.transform import Affine

        path = write_raster(tmp_path / "geo.tif", landscape(50, 40), crs="EPSG:4326",
                            transform=Affine(0.002, 0.0, 24.0, 0.0, -0.001, 61.0))
        options, keywords = [], {}
    values = velkan_tools.connectivity(opened(path), **SETTINGS, **keywords)
    assert values.values.tobytes() == by_command(tmp_path, path, options).tobytes()
    assert np.isfinite(values.values).sum() > 100


def test_the_result_keeps_the_inputs_georeferencing_and_says_what_it_holds(condition_tif):  # noqa: F811
    condition = opened(condition_tif)
    values = velkan_tools.connectivity(condition, **SETTINGS)
    assert values.dims == condition.dims and values.shape == condition.shape
    for dim in condition.dims:
        np.testing.assert_array_equal(values[dim], condition[dim])
    assert values.rio.crs == condition.rio.crs and values.rio.transform() == TRANSFORM
    assert np.isnan(values.rio.nodata) and values.attrs["long_name"] == "habitat connectivity"
    assert values.attrs["velkan_max_cost"] == "10.0" and values.attrs["velkan_levels"] == "[1, 2, 4]"
    assert np.array_equal(np.isnan(values.values), np.isnan(landscape(50, 40)))
    # The same raster as a NumPy array with its transform and CRS.
    raw = np.where(np.isnan(landscape(50, 40)), NODATA, landscape(50, 40))
    from_numpy = velkan_tools.connectivity(raw.astype(np.float64), transform=TRANSFORM, crs="EPSG:3067",
                                           nodata=NODATA, **SETTINGS)
    assert from_numpy.values.tobytes() == values.values.tobytes()
    np.testing.assert_allclose(from_numpy["x"], condition["x"]) and np.testing.assert_allclose(from_numpy["y"],
                                                                                               condition["y"])


def test_a_dask_backed_data_array_runs_lazily(condition_tif):  # noqa: F811
    condition = opened(condition_tif).chunk({"y": 30, "x": 25})
    lazy = velkan_tools.connectivity(condition, **SETTINGS)
    assert isinstance(lazy.data, dask.array.Array)
    eager = velkan_tools.connectivity(opened(condition_tif), **SETTINGS)
    assert lazy.compute().values.tobytes() == eager.values.tobytes()


@pytest.mark.parametrize("keywords, error, message", [
    (dict(condition_scale=1), velkan_tools.InputError, r"outside \[0, 1\]; divide them with condition_scale"),
    (dict(max_cost=0.5), velkan_tools.InputError, "max_cost 0.5: give a finite number of at least 1"),
    (dict(levels=[1, 3]), velkan_tools.InputError, "levels 1,3: levels must be 1, 2, 4"),
    (dict(lambdas=[-2.0]), velkan_tools.InputError, "lambdas -2: give one or more positive bandwidths"),
    (dict(pa_to_pa=True), velkan_tools.InputError, "pa_to_pa needs protected="),
    (dict(max_costs=3), TypeError, "unknown connectivity parameter 'max_costs'"),
])
def test_what_the_native_call_takes_as_given_is_refused(keywords, error, message):
    percent = np.nan_to_num(landscape(50, 40), nan=0.5) * 100
    with pytest.raises(error, match=message):
        velkan_tools.connectivity(percent, transform=TRANSFORM, crs="EPSG:3067", **{"condition_scale": 100, **keywords})
    assert issubclass(velkan_tools.InputError, ValueError)


def test_coverage_of_a_frame_on_a_data_array_is_the_commands(tmp_path, condition_tif):  # noqa: F811
    import geopandas

    polygons = polygons_file(tmp_path / "areas.gpkg", [protected_geometry()])
    cover = velkan_tools.coverage(geopandas.read_file(polygons).to_crs("EPSG:4326"), opened(condition_tif))
    out = str(tmp_path / "cover.tif")
    assert main(["coverage", polygons, "--like", condition_tif, "-o", out]) == 0
    np.testing.assert_allclose(cover.values, read(out)[0], atol=2e-6)
    assert isinstance(cover, xarray.DataArray) and cover.rio.crs == opened(condition_tif).rio.crs
