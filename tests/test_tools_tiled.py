"""connectivity_tiled against one whole-raster velkan.connectivity call."""
import numpy as np
import pytest
from tools_support import FORMS, assert_same_values, call_arguments, interrupt_second_native_call, whole_raster

from velkan_tools import blocks, connectivity_tiled, search_reach


@pytest.mark.parametrize("form", FORMS)
@pytest.mark.parametrize("tile_size", [32, 41])
def test_tiled_equals_whole_raster(form, tile_size):
    # 90 x 75 cells are no multiple of either tile size; the halo (24) is most of a tile
    args = call_arguments(form)
    assert_same_values(connectivity_tiled(**args, tile_size=tile_size, progress=False), whole_raster(args), form)


def test_one_tile_larger_than_the_raster_is_the_whole_call():
    args = call_arguments("circular", shape=(30, 20))
    assert_same_values(connectivity_tiled(**args, progress=False), whole_raster(args), "circular")


def test_a_halo_without_the_extra_coarse_cell_changes_values(monkeypatch):
    # the comparison above is sharp enough to see a halo one coarsest cell short
    args = call_arguments("circular")
    reach_only = search_reach(args["levels"], 3, 5) - max(args["levels"])
    monkeypatch.setattr(blocks.NativeCall, "halo", property(lambda self: reach_only))
    short = connectivity_tiled(**args, tile_size=32, progress=False)
    assert not np.array_equal(short, whole_raster(args), equal_nan=True)


def test_larger_mask_is_read_where_it_overlaps():
    args = call_arguments("circular", shape=(40, 30))
    wide = np.ones((45, 36), bool)
    wide[:40, :30] = args["mask"]
    tiled = connectivity_tiled(**{**args, "mask": wide}, tile_size=16, progress=False)
    assert_same_values(tiled, whole_raster(args), "circular")


@pytest.mark.parametrize("override, message", [
    ({"traversal": np.ones((40, 29), np.float32)}, "traversal of shape"),
    ({"mask": np.zeros((39, 30), bool)}, "does not cover"),
    ({"transgrid_list": [np.ones((40, 31, 2), np.float32)]}, "transition grid 0"),
    ({"levels": [1, 2, 3]}, "levels must be 1, 2, 4"),
    ({"window_size": 4}, "window_size"),
    ({"condition": np.full((40, 30), 50.0, np.float32)}, r"condition values span 50 to 50, outside \[0, 1\]"),
    ({"traversal": np.full((40, 30), -np.inf, np.float32)}, "traversal holds infinite values"),
    ({"lambdas": []}, "give one or more positive"),
    ({"lambdas": [2.0, 0.0]}, "give one or more positive"),
    ({"max_cost": float("nan")}, "max_cost nan: give a finite number of at least 1"),
    ({"max_cost": 0.2}, "max_cost 0.2: give a finite number of at least 1; below 1, degraded cells"),
])
def test_inputs_that_cannot_be_tiled_are_refused(override, message):
    args = {**call_arguments("circular", shape=(40, 30)), **override}
    with pytest.raises(ValueError, match=message):
        connectivity_tiled(**args, progress=False)


@pytest.mark.parametrize("run", ["tiled", "dask"])
@pytest.mark.parametrize("override, message", [
    ({"mask": np.ones((40, 30), bool)}, "no focal cell"),
    ({"traversal": np.full((40, 30), np.nan, np.float32)}, "traversal has 1,200 cells without data"),
])
def test_runs_that_may_not_mean_what_they_say_warn(run, override, message):
    from velkan_tools import connectivity_dask

    args = {**call_arguments("circular", shape=(40, 30)), **override}
    with pytest.warns(UserWarning, match=message):
        if run == "tiled":
            connectivity_tiled(**args, progress=False)
        else:
            connectivity_dask(**args)


def test_ctrl_c_stops_between_tiles(monkeypatch):
    calls = interrupt_second_native_call(monkeypatch)
    with pytest.raises(KeyboardInterrupt):
        connectivity_tiled(**call_arguments("circular", shape=(40, 30)), tile_size=10, progress=False)
    assert len(calls) == 2  # no tile ran after the interrupt


def test_progress_bar_counts_focal_cells_to_the_end(capsys):
    args = call_arguments("circular", shape=(40, 30))
    focal = int((~args["mask"]).sum())
    connectivity_tiled(**args, tile_size=16, progress=True)
    assert f"100%|██████████| {focal / 1000:.2f}k/{focal / 1000:.2f}k" in capsys.readouterr().err
    connectivity_tiled(**args, tile_size=16, progress=False)
    assert capsys.readouterr().err == ""
